// Shared set-up for unit tests: a private driver object wired to a ComInfo
// record and to callbacks that record every call, record builders, the
// replies a well-behaved PLC gives, and DriverProbe, the tests' one view of
// the driver's private state (its queues, its store and its two locks).
#ifndef DRIVER_FIXTURE_H
#define DRIVER_FIXTURE_H

#include "driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <tuple>
#include <vector>

class DriverProbe {
public:
    explicit DriverProbe(ModbusTcpDriver &driver) : d_(driver) {}
    QList<RW_VAR> &writes() { return d_.writes_; }
    QList<RW_VAR> &onceReads() { return d_.onceReads_; }
    QList<RW_VAR> &cyclicBlocks() { return d_.cyclicBlocks_; }
    // Area 0..2 of the store as the current mode sees it.
    RegisterArea area(int station, int area) { return d_.store_.area(d_.multiStation(), station, area); }
    qint64 stationRegistersAllocated() const { return d_.store_.stations().allocatedRegisters(); }
    QMutex &queueMutex() { return d_.queueMutex_; }
    QMutex &storeMutex() { return d_.storeMutex_; }

private:
    ModbusTcpDriver &d_;
};

using Call = std::tuple<int, int, int, int>; // hostHandle, hostTag0, hostTag1, status
using Calls = std::vector<Call>;

struct CallbackLog {
    Calls completions;
    std::vector<int> notifies; // hostTag0 of each notifyCallback call
};
inline CallbackLog callbacks;

inline int recordCompletion(int handle, int tag0, int tag1, int status) {
    callbacks.completions.emplace_back(handle, tag0, tag1, status);
    return 0;
}

inline int recordNotify(QList<RW_VAR> list, int tag0, int flag) {
    EXPECT_TRUE(list.isEmpty() && flag == 1);
    callbacks.notifies.push_back(tag0);
    return 0;
}

inline QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

// Records and host variables are built field by field in declaration order.
// A read record in register terms (area 0..2), as the read queues hold it.
inline RW_VAR readVar(int station, int area, int regAddr, int count, int tag0 = 0, int tag1 = 0) {
    return RW_VAR{tag0, tag1, 0, 0, 0, 0, {}, {}, area, regAddr, station, count, 0, 0, {}};
}

// A write record as the write queue holds it (element address, type 0..11).
inline RW_VAR writeVar(int station, int regType, int regAddr, const QByteArray &value, int count = 1,
                       int tag0 = 0, int tag1 = 0) {
    return RW_VAR{tag0, tag1, PLC_ACCESS_WRITE, 0, 0, 0, {}, {}, regType, regAddr, station, count, 0, 0, value};
}

// A host's request before conversion: type and address text.
inline RW_VAR variable(int regType, const char *address, int count, int tag0 = 0) {
    return RW_VAR{tag0, 0, 0, 0, 0, 0, {}, QString::fromLatin1(address), regType, 0, 0, count, 0, 0, {}};
}

inline HOSTVAR hostVar(int regType, const char *address, int count, int station = 0, const char *label = "") {
    return HOSTVAR{0, quint8(regType), quint8(station), 0, 0, QString::fromLatin1(address),
                   QString::fromLatin1(label), count};
}

// A Modbus TCP reply to `frame`: its transaction and protocol identifiers,
// the length, its unit, then `pdu`.
inline QByteArray replyFrame(const QByteArray &frame, const QByteArray &pdu) {
    const int length = pdu.size() + 1;
    return frame.left(4) + bytes({length >> 8, length & 0xFF, frame[6]}) + pdu;
}

// The answer to a read: byte count and `data` (zero bytes up to the expected
// length by default).
inline QByteArray readReply(const Protocol &p, QByteArray data = QByteArray()) {
    if (data.isNull())
        data = QByteArray(qMax(p.replyLen - 9, 0), '\0');
    return replyFrame(p.frame, p.frame.mid(7, 1) + char(data.size()) + data);
}

// The echo that confirms a write: function, address and value or quantity.
inline QByteArray echo(const Protocol &p) { return replyFrame(p.frame, p.frame.mid(7, 5)); }

// What a well-behaved PLC answers; nothing where no reply is expected.
inline QByteArray replyTo(const Protocol &p) {
    if (p.replyLen == 0)
        return QByteArray();
    const int function = static_cast<quint8>(p.frame[7]);
    return function == 5 || function == 6 || function == 16 ? echo(p) : readReply(p);
}

class DriverTest : public ::testing::Test {
protected:
    ModbusTcpDriver d;
    DriverProbe probe{d};
    ComInfo info{};

    void SetUp() override {
        callbacks = {};
        info.maxRegsPerFrame = 100;
        info.defaultStation = 1;
        info.retryLimit = 2;
        info.hostHandle = 42;
        d.setComInfo(&info);
        d.setCallbacks(recordCompletion, recordNotify);
    }

    // Records queued unchanged, as mode 1 does: writes to the write queue,
    // anything else to the one-shot reads.
    void queue(std::initializer_list<RW_VAR> vars) {
        for (RW_VAR var : vars)
            var.accessKind == PLC_ACCESS_WRITE ? d.queueWrite(&var, PLC_ADD_AS_IS)
                                               : d.queueOnceRead(&var, PLC_ADD_AS_IS);
    }

    // The next frame. A cyclic turn that finds no block (after five writes or
    // one-shot reads in a row) yields none and re-opens the queues' turns.
    Protocol *nextFrame() {
        Protocol *p = d.nextRequest();
        return p ? p : d.nextRequest();
    }

    // Hands a reply to handleReply (its length unless told): the result code.
    int answer(QByteArray reply, int length = -1) {
        return d.handleReply(&reply, length < 0 ? reply.size() : length)->result;
    }
    int fail() { return answer(QByteArray()); }
    // Answers the frame in flight as the PLC would.
    int succeed() { return answer(replyTo(*d.nextRequest())); }
    // Serves one request (or n) and answers it: the hostTag1 served, -1 for none.
    int exchange() {
        Protocol *p = d.nextRequest();
        if (!p)
            return -1;
        const int tag = p->var.hostTag1;
        answer(replyTo(*p));
        return tag;
    }
    std::vector<int> exchanges(int n) {
        std::vector<int> served(n);
        std::generate(served.begin(), served.end(), [this] { return exchange(); });
        return served;
    }

    QByteArray get(int regType, const char *address, int count, int station = 1) {
        QByteArray data = bytes({9, 9});
        EXPECT_EQ(d.readValues(regType, QString::fromLatin1(address), station, data, count), 1);
        return data;
    }
    int set(int regType, const char *address, QByteArray value, int count, int station = 1) {
        return d.writeValues(QStringLiteral("v"), regType, QString::fromLatin1(address), station, value,
                             count, 11, 12);
    }
};

#endif // DRIVER_FIXTURE_H
