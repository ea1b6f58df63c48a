// The driver object. All state of the plug-in lives in one ModbusTcpDriver;
// the plug-in owns exactly one, and each exported entry point hands its call
// to a member of it (plugin_entry_points.cpp). Unit tests build private ones.
//
// Threads. The host's communication thread alone calls nextRequest and
// handleReply, and alone touches the prepared frames. Other host threads
// queue requests, rebuild the cyclic plan, switch stations and read and write
// values. Lock order: queueMutex_ before stationGate_'s lock and before
// storeMutex_, never the reverse; none is recursive. Both host callbacks run
// with queueMutex_ held, so a callback must not call a queue entry point.
#ifndef DRIVER_H
#define DRIVER_H

#include "plc_driver.h"
#include "register_store.h"
#include "station_gate.h"

#include <QMutex>
#include <QVector>

#include <atomic>
#include <vector>

class DriverProbe;

// Records with the same two host keys belong to one host request.
inline bool sameHostKeys(const RW_VAR &a, const RW_VAR &b) {
    return a.hostTag0 == b.hostTag0 && a.hostTag1 == b.hostTag1;
}

struct PlannedRead;

class ModbusTcpDriver {
public:
    ModbusTcpDriver();
    ~ModbusTcpDriver();
    ModbusTcpDriver(const ModbusTcpDriver &) = delete;
    ModbusTcpDriver &operator=(const ModbusTcpDriver &) = delete;

    // Set-up (driver.cpp).
    void setComInfo(ComInfo *info);
    void setCallbacks(CompletionCallback completion, NotifyCallback notify);

    // Queues and the cyclic plan (request_queues.cpp, read_planning.cpp).
    int appendCyclicBlock(RW_VAR *block);
    int queueOnceRead(RW_VAR *var, int mode);
    int queueWrite(RW_VAR *var, int mode);
    int rebuildReadList(QList<HOSTVAR> *vars);

    // The communication loop (scheduler.cpp, reply_judgement.cpp).
    Protocol *nextRequest();
    void switchStation(int station, int op);
    RW_VAR *handleReply(QByteArray *reply, int length);

    // Host value access (value_access.cpp).
    int readValues(int regType, const QString &address, int station, QByteArray &data, int count);
    int writeValues(const QString &label, int regType, const QString &address, int station,
                    const QByteArray &value, int count, int hostTag0, int hostTag1);

private:
    friend class DriverProbe; // the unit tests' view of the queues and the store

    // Which queue the frame in flight serves.
    enum class Serving { Nothing, Cyclic, Write, OnceRead };

    // aux0 of the read half of a byte write, whose reply is merged.
    static constexpr int kByteWriteReadHalf = -1;

    // A prepared frame and what the judgement of its reply needs to know.
    struct PendingFrame {
        Protocol protocol;
        bool modbus = true; // a Modbus TCP frame, not a remote-area record
    };

    bool multiStation() const { return settings_->multiStation != 0; }
    int maxRegsPerRequest() const;
    // Multi-station mode names stations by their unit identifier: 0..255.
    bool isStationRefused(int station) const;
    void reportCompletion(const RW_VAR &var, int status);

    // request_queues.cpp
    bool queueOnceReadPieces(RW_VAR *var, qint64 first, qint64 count);
    int queueWriteRecords(const std::vector<RW_VAR> &records);

    // read_planning.cpp
    std::vector<PlannedRead> planReads(const QList<HOSTVAR> &vars) const;
    void mergeIntoBlocks(const std::vector<PlannedRead> &reads, const RW_VAR &blockTemplate);

    // scheduler.cpp
    using FrameBuilder = bool (ModbusTcpDriver::*)(const RW_VAR &);
    bool serveQueueHead(QList<RW_VAR> &queue, FrameBuilder build);
    void serveCyclicBlock(FrameBuilder build);
    void dropRequest(QList<RW_VAR> &queue, int index);

    // request_frames.cpp: each returns false, queueing nothing, when the
    // record cannot become a frame.
    bool buildReadFrame(const RW_VAR &var);
    bool buildWriteFrames(const RW_VAR &var);
    bool buildCoilWrite(const RW_VAR &var);
    bool buildByteWrite(const RW_VAR &var);
    bool buildWordWrite(const RW_VAR &var);
    bool buildDoubleWordWrite(const RW_VAR &var);
    void queueWriteMultiple(const RW_VAR &var, int start, int registers);
    QByteArray startFrame(int station, modbus::FunctionCode function, int address, int tail);
    Protocol &queueFrame(const QByteArray &frame, int replyLen, const RW_VAR &var, bool modbus = true);
    void expectFrames(int frames);

    // remote_records.cpp
    bool buildRemoteRead(const RW_VAR &var);
    bool buildRemoteWrite(const RW_VAR &var);

    // reply_judgement.cpp
    int judgeReply(const QByteArray &reply, int length);
    bool storeReplyData(const QByteArray &reply);
    bool finishRequest(const RW_VAR &served, bool local, bool ok);
    void giveUp(bool told);
    int resultCode(int judgement) const;

    // reply_storage.cpp: false when the reply lacks what must be stored.
    bool storeReply(const QByteArray &reply);
    bool mergeByteWrite(const QByteArray &reply);

    // value_access.cpp
    void storeWrittenValue(const RW_VAR &var);
    int queueWritePieces(RW_VAR record, const QByteArray &value);

    ComInfo *settings_ = nullptr;
    CompletionCallback completionCallback_ = nullptr;
    NotifyCallback notifyCallback_ = nullptr;

    // Guarded by queueMutex_.
    QMutex queueMutex_;
    QList<RW_VAR> cyclicBlocks_; // the cyclic read list, in register terms
    QList<RW_VAR> writes_;       // pending writes; the head is the one in flight
    QList<RW_VAR> onceReads_;    // pending one-shot reads, in register terms
    Serving serving_ = Serving::Nothing;
    int writeTurns_ = 0;    // writes issued in a row
    int onceReadTurns_ = 0; // one-shot reads issued in a row
    int cycleProgress_ = 0; // successful exchanges towards a full pass
    RW_VAR resultRecord_;   // what handleReply returns; written on the loop thread

    // The communication thread's own. Frames are only appended while none is
    // pending (two for a byte write), so the first stays put while the host
    // holds it.
    QVector<PendingFrame> frames_;
    quint16 lastTransactionId_ = 0;
    std::atomic<bool> lastExchangeFailed_{false}; // also read by writeValues

    StationGate stationGate_;

    QMutex storeMutex_; // guards store_
    RegisterStore store_;
};

#endif // DRIVER_H
