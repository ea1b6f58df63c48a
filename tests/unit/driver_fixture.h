// Shared set-up for unit tests: a private driver object wired to a ComInfo
// record and to callbacks that record every call, and small record builders.
#ifndef DRIVER_FIXTURE_H
#define DRIVER_FIXTURE_H

#include "modbus_rtu_master.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <vector>

struct CompletionCall {
    int hostHandle, hostTag0, hostTag1, status;
    bool operator==(const CompletionCall &o) const {
        return hostHandle == o.hostHandle && hostTag0 == o.hostTag0 && hostTag1 == o.hostTag1 &&
               status == o.status;
    }
};
using Calls = std::vector<CompletionCall>;

struct CallbackLog {
    Calls completions;
    std::vector<int> notifies; // hostTag0 of each notifyCallback call
};

inline CallbackLog &callbackLog() {
    static CallbackLog log;
    return log;
}

inline int recordCompletion(int handle, int tag0, int tag1, int status) {
    callbackLog().completions.push_back({handle, tag0, tag1, status});
    return 0;
}

inline int recordNotify(QList<RW_VAR> list, int tag0, int flag) {
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(flag, 1);
    callbackLog().notifies.push_back(tag0);
    return 0;
}

inline QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

// A read record in register terms (area 0..2), as the read queues hold it.
inline RW_VAR readVar(int station, int area, int regAddr, int count, int tag0 = 0, int tag1 = 0) {
    RW_VAR var;
    var.hostTag0 = tag0;
    var.hostTag1 = tag1;
    var.regType = area;
    var.regAddr = regAddr;
    var.station = station;
    var.count = count;
    return var;
}

// A write record as the write queue holds it (element address, type 0..11).
inline RW_VAR writeVar(int station, int regType, int regAddr, const QByteArray &value,
                       int count = 1, int tag0 = 0, int tag1 = 0) {
    RW_VAR var = readVar(station, regType, regAddr, count, tag0, tag1);
    var.accessKind = 1;
    var.value = value;
    return var;
}

// A host's request before conversion: type and address text.
inline RW_VAR variable(int regType, const char *address, int count, int tag0 = 0) {
    RW_VAR var;
    var.hostTag0 = tag0;
    var.regType = regType;
    var.address = QString::fromLatin1(address);
    var.count = count;
    return var;
}

inline HOSTVAR hostVar(int regType, const char *address, int count, int station = 0,
                       const char *label = "") {
    HOSTVAR var;
    var.regType = quint8(regType);
    var.address = QString::fromLatin1(address);
    var.count = count;
    var.station = quint8(station);
    var.label = QString::fromLatin1(label);
    return var;
}

// hostTag0 of each record of a queue.
inline std::vector<int> tags(const QList<RW_VAR> &queue) {
    std::vector<int> out;
    for (const RW_VAR &r : queue)
        out.push_back(r.hostTag0);
    return out;
}

// A reply of the expected length to a Modbus TCP frame: the request's header
// and function code, then zero bytes.
inline QByteArray replyFor(const Protocol &p) {
    QByteArray reply = p.frame.left(qMin(8, qMax(p.replyLen, 0)));
    reply.append(QByteArray(qMax(p.replyLen - reply.size(), 0), '\0'));
    return reply;
}

class DriverTest : public ::testing::Test {
protected:
    std::unique_ptr<Modbus_RTU_Master> driver = std::make_unique<Modbus_RTU_Master>();
    Modbus_RTU_Master &d = *driver;
    ComInfo info{};

    void SetUp() override {
        callbackLog() = CallbackLog{};
        info.maxRegsPerFrame = 100;
        info.defaultStation = 1;
        info.retryLimit = 2;
        info.localNodeId = 0;
        info.hostHandle = 42;
        d.SetComInfo(&info);
        d.RegistCallBackFuncIntf(recordCompletion, recordNotify);
    }

    const CallbackLog &log() const { return callbackLog(); }

    // Hands a reply to DataCom: the result code.
    int answer(QByteArray reply) { return d.DataCom(&reply, reply.size())->result; }
    int fail() { return answer(QByteArray()); }
    int succeed() { return answer(replyFor(d.protocolQueue.first())); }
    // Serves one request and answers it: the hostTag1 served, -1 for none.
    int exchange() {
        Protocol *p = d.ComCommunication();
        if (!p)
            return -1;
        const int tag = p->var.hostTag1;
        answer(replyFor(*p));
        return tag;
    }
};

#endif // DRIVER_FIXTURE_H
