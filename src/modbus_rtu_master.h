// The driver object: all state of the plug-in lives in one Modbus_RTU_Master.
// The plug-in owns exactly one (PLC_driver, defined with the exported entry
// points); unit tests build private ones.
#ifndef MODBUS_RTU_MASTER_H
#define MODBUS_RTU_MASTER_H

#include "plc_driver.h"

#include <QHash>
#include <QMap>
#include <QMutex>
#include <QVector>

#include <atomic>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#define PLC_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PLC_TSAN 1
#endif
#endif
#ifdef PLC_TSAN
#include <sanitizer/tsan_interface.h>
#endif

// Scoped lock on one of the driver's QMutexes. QtCore is not instrumented, so
// in a ThreadSanitizer build the lock is announced to the sanitizer by hand;
// elsewhere this is a plain QMutexLocker.
class DriverLock {
public:
    explicit DriverLock(QMutex &mutex) : m(mutex) {
        m.lock();
#ifdef PLC_TSAN
        __tsan_acquire(&m);
#endif
    }
    ~DriverLock() {
#ifdef PLC_TSAN
        __tsan_release(&m);
#endif
        m.unlock();
    }
    DriverLock(const DriverLock &) = delete;
    DriverLock &operator=(const DriverLock &) = delete;

private:
    QMutex &m;
};

// One 16-bit register of one station, in multi-station mode.
struct EXTENDVAR {
    int station = 0;
    int area = 0;
    int regAddr = 0;
    QByteArray value; // byte 0 low-order, byte 1 high-order; missing bytes read as 0
};

// One variable of a read plan in register terms, with the host's record whose
// texts the block copies when this variable opens it.
struct PlannedRead {
    int regType = 0; // area 0..2
    int station = 0;
    int regAddr = 0;
    int count = 0;
    const HOSTVAR *host = nullptr;
};

// Prepared request frames. Held in place, not one heap node per frame as in a
// QList, so that a steady exchange allocates nothing but the frame's bytes;
// frames are only appended while the queue is empty (two for a byte write), so
// the first one stays put while the host holds it.
using ProtocolQueue = QVector<Protocol>;

enum : int {
    kInputRegs = 1024,   // area 0, function 4
    kHoldingRegs = 1024, // area 1, function 3
    kExtRegs = 8192,     // area 2, function 3 at register + 5000
    kExtOffset = 5000,
    kQueueCap = 1024,    // one-shot and write queues
    kTurnLimit = 4,      // a queue is served while its turn counter is <= 4
};

// Register area (0..2) of a type code 0..11; 255 for anything else.
int getPlcType(int regType);
// Address text to number: "byte.bit" for bit types 0..2 (-1 when malformed),
// a decimal number for 3..11, 0 for any other type.
int StringAddressToInt(int regType, const QString &address);
// The first ten bytes of a Modbus TCP request: the application header
// (transaction 0, protocol 0, length, unit = low 8 bits of station), the
// function code and the big-endian low 16 bits of address. tailBytes is the
// number of bytes the caller appends after the address; the length field
// already counts them (low 16 bits) and the array has room for them.
QByteArray mbapFrame(int station, int function, int address, int tailBytes);

class Modbus_RTU_Master {
public:
    Modbus_RTU_Master();
    ~Modbus_RTU_Master();
    Modbus_RTU_Master(const Modbus_RTU_Master &) = delete;
    Modbus_RTU_Master &operator=(const Modbus_RTU_Master &) = delete;

    // --- state, in the order of the design ---
    ComInfo *comInfo = nullptr;
    QList<RW_VAR> readList;      // cyclic read blocks, in register terms
    QList<RW_VAR> writeQueue;    // pending writes; the head is the one in flight
    QList<RW_VAR> onceQueue;     // pending one-shot reads, in register terms
    ProtocolQueue protocolQueue; // prepared frames; the first is in flight
    QList<EXTENDVAR> extendList; // per-station registers, append-only
    QHash<quint64, int> extendIndex; // (station, area, regAddr) -> index in extendList
    QMap<int, int> disabledStations; // switched-off stations -> 0
    CompletionCallback completionCallback = nullptr;
    NotifyCallback notifyCallback = nullptr;
    // Lock order: listMutex before stationMutex and before dataMutex, never the
    // reverse. Both callbacks run with listMutex held. All three are
    // non-recursive.
    QMutex listMutex;    // readList, writeQueue, onceQueue, serving state, resultRecord
    QMutex dataMutex;    // the three images, extendList and extendIndex
    QMutex stationMutex; // disabledStations
    RW_VAR resultRecord;
    int servingMode = 100; // 1 write, 2 one-shot read, 0 cyclic read; 100 before the first
    int writeTurns = 0;
    int onceTurns = 0;
    int cycleProgress = 0;
    std::atomic<bool> lastFailed{false};
    quint16 InputImage[kInputRegs];
    quint16 HoldingImage[kHoldingRegs];
    quint16 ExtHoldingImage[kExtRegs];

    // The register image of area 0..2 and its size in registers.
    struct Image {
        quint16 *regs;
        int size;
    };
    Image imageOfArea(int area) {
        return area == 0 ? Image{InputImage, kInputRegs}
             : area == 1 ? Image{HoldingImage, kHoldingRegs}
                         : Image{ExtHoldingImage, kExtRegs};
    }

    // --- set-up (Func_Initi) ---
    void SetComInfo(ComInfo *info);
    void RegistCallBackFuncIntf(CompletionCallback completion, NotifyCallback notify);
    int maxRegs() const; // maxRegsPerFrame, never below 1

    // --- queues and read planning (Func_Initi) ---
    int AddListReadVar(RW_VAR *var);
    int AddListOnceReadVar(RW_VAR *var, int mode);
    int AddListWriteVar(RW_VAR *var, int mode);
    int ReCreatReadVarList(QList<HOSTVAR> *vars);
    void sortByRegAddr(std::vector<PlannedRead> *plan); // stable, ascending regAddr
    int WordVarReCreat(const std::vector<PlannedRead> &plan, const RW_VAR &blockTemplate,
                       int maxRegs, int blocks);

    // --- scheduler and reply handling (modbus_rtu_master) ---
    Protocol *ComCommunication();
    void EnCommStation(int station, int op);
    bool Ethernetcontains(int station);
    RW_VAR *DataCom(QByteArray *reply, int length);
    int DealDataOfLocalArea(QByteArray *reply, int length);
    int DealDataOfRemoteArea(QByteArray *reply, int length);
    int CheckGetData(QByteArray *reply, int length);
    int GetDriverReturnValue(int code);
    int SwitchErrorReturn(int base);
    static void passRetValue(const RW_VAR &source, RW_VAR &target);

    // --- request frames (Func_Read, Func_Write, Func_Remote) ---
    void ReadRegister(RW_VAR *var);
    void ReadAnalog(RW_VAR *var);
    void WriteRegister(RW_VAR *var);
    void WriteBool(RW_VAR *var);
    void WriteByte(RW_VAR *var);
    void WriteShort(RW_VAR *var);
    void WriteInt(RW_VAR *var);
    void Remote_ReadVar(RW_VAR *var);
    void Remote_WriteVar(RW_VAR *var);

    // --- reply storage and the per-station store (Func_DealData) ---
    void SaveToLocalDataErea(QByteArray *reply);
    void SaveWordToUS(QByteArray *reply, quint16 *image, int imageRegs);
    void SpecialRegisterSave(QByteArray *reply, quint16 *image, int imageRegs);
    int ExtendFindSameVar(int station, int area, int regAddr);

    // --- host value access (Func_GetOrSetData) ---
    int GetRegisterData(int regType, const QString &address, int station, QByteArray &data,
                        int count);
    int SetRegisterData(const QString &label, int regType, const QString &address, int station,
                        const QByteArray &value, int count, int hostTag0, int hostTag1);
    void WriteDataToLocal(RW_VAR *var);
};

#endif // MODBUS_RTU_MASTER_H
