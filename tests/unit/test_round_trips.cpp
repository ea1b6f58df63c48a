// Host values through the real communication loop: SetRegisterData, the
// frames ComCommunication hands out, replies of a PLC model, DataCom, and
// GetRegisterData; a cyclic plan with writes and one-shot reads; and a host
// thread writing while the loop runs.
#include "driver_fixture.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

int be16(const QByteArray &b, int at) {
    return static_cast<quint8>(b[at]) << 8 | static_cast<quint8>(b[at + 1]);
}

void appendBe16(QByteArray &b, int v) {
    b.append(static_cast<char>(v >> 8));
    b.append(static_cast<char>(v));
}

// A Modbus TCP request or reply: the prefix with its length, unit, then the PDU.
QByteArray modbus(int unit, const QByteArray &pdu) {
    QByteArray frame = bytes({0, 0, 0, 0});
    appendBe16(frame, pdu.size() + 1);
    return frame + bytes({unit}) + pdu;
}

// A PLC model: 16-bit registers per unit, wire addresses 0..65535. Coils are
// the bits of the holding registers: coil c below 5000 is bit c % 16 of
// register c / 16, coil 5000 + c bit c % 16 of register 5000 + c / 16. It
// also answers remote-area records from the same registers.
class Plc {
public:
    std::vector<QByteArray> requests;

    quint16 &holding(int unit, int reg) { return table(holding_, unit)[reg & 0xFFFF]; }
    quint16 &input(int unit, int reg) { return table(input_, unit)[reg & 0xFFFF]; }

    QByteArray answer(const QByteArray &request, bool remote) {
        requests.push_back(request);
        return remote ? answerRecord(request) : answerModbus(request);
    }

private:
    std::map<int, std::vector<quint16>> holding_, input_;

    static std::vector<quint16> &table(std::map<int, std::vector<quint16>> &m, int unit) {
        std::vector<quint16> &t = m[unit];
        t.resize(0x10000);
        return t;
    }

    QByteArray readReply(const QByteArray &head, int unit, bool inputArea, int addr, int qty) {
        QByteArray reply = head + bytes({2 * qty});
        for (int k = 0; k < qty; ++k)
            appendBe16(reply, inputArea ? input(unit, addr + k) : holding(unit, addr + k));
        return reply;
    }

    QByteArray answerModbus(const QByteArray &req) {
        const int unit = static_cast<quint8>(req[6]), fn = static_cast<quint8>(req[7]);
        const int addr = be16(req, 8), arg = be16(req, 10);
        QByteArray pdu = req.mid(7, 5);
        if (fn == 3 || fn == 4)
            pdu = readReply(req.mid(7, 1), unit, fn == 4, addr, arg);
        else if (fn == 6)
            holding(unit, addr) = static_cast<quint16>(arg);
        else if (fn == 16)
            for (int k = 0; k < arg; ++k)
                holding(unit, addr + k) = static_cast<quint16>(be16(req, 13 + 2 * k));
        else if (fn == 5) {
            const int base = addr >= 5000 ? 5000 : 0, bit = addr - base;
            quint16 &reg = holding(unit, base + bit / 16);
            reg = static_cast<quint16>(arg ? reg | 1 << bit % 16 : reg & ~(1 << bit % 16));
        }
        return unit == 0 ? QByteArray() : modbus(unit, pdu);
    }

    // Reads of areas 0..2 come back like Modbus reads, nine bytes in front.
    QByteArray answerRecord(const QByteArray &rec) {
        const int unit = static_cast<quint8>(rec[4]), regType = be16(rec, 5);
        const int regAddr = be16(rec, 9), count = be16(rec, 11);
        if (regType > 2)
            return QByteArray(12, '\0');
        return QByteArray(8, '\0') +
               readReply(QByteArray(), unit, regType == 0, regAddr + (regType == 2 ? 5000 : 0),
                         count);
    }
};

class RoundTrip : public DriverTest {
protected:
    Plc plc;

    // Runs the loop until `done` holds, at most `limit` exchanges.
    void pump(Modbus_RTU_Master &drv, const std::function<bool()> &done, int limit = 200) {
        for (int i = 0; i < limit && !done(); ++i) {
            Protocol *p = drv.ComCommunication();
            if (!p)
                continue;
            QByteArray reply = plc.answer(p->frame, info.remoteMode != 0);
            drv.DataCom(&reply, reply.size());
        }
        ASSERT_TRUE(done()) << "loop did not finish";
    }
    void pumpQueues(Modbus_RTU_Master &drv) {
        pump(drv, [&] {
            return drv.writeQueue.isEmpty() && drv.onceQueue.isEmpty() && drv.protocolQueue.isEmpty();
        });
    }
    QByteArray get(Modbus_RTU_Master &drv, int regType, const char *address, int station,
                   int count) {
        QByteArray data;
        EXPECT_EQ(drv.GetRegisterData(regType, QString::fromLatin1(address), station, data, count), 1);
        return data;
    }
    int onceRead(Modbus_RTU_Master &drv, int regType, const char *address, int station, int count,
                 int tag0) {
        RW_VAR var;
        var.hostTag0 = tag0;
        var.regType = regType;
        var.address = QString::fromLatin1(address);
        var.station = station;
        var.count = count;
        return drv.AddListOnceReadVar(&var, 0);
    }
};

struct Case {
    std::string name;
    int regType;
    const char *address;
    int count;
    QByteArray value;
    std::vector<QByteArray> writePdus;
    QByteArray readPdu; // the one-shot read that fetches the value back
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

// Holding registers 3 and 5003 hold 0x1234 before each case, so the byte
// writes show that both halves are merged with what the PLC holds.
std::vector<Case> cases() {
    return {
        {"Bits", 1, "2.3", 2, bytes({1, 1}),
         {bytes({5, 0, 19, 0xFF, 0}), bytes({5, 0, 20, 0xFF, 0})}, bytes({3, 0, 1, 0, 1})},
        {"BitsArea2", 2, "2.3", 2, bytes({1, 1}),
         {bytes({5, 0x13, 0x9B, 0xFF, 0}), bytes({5, 0x13, 0x9C, 0xFF, 0})},
         bytes({3, 0x13, 0x89, 0, 1})},
        {"Bytes", 4, "6", 2, bytes({0xAB, 0x5A}),
         {bytes({3, 0, 3, 0, 1}), bytes({6, 0, 3, 0x12, 0xAB}), bytes({3, 0, 3, 0, 1}),
          bytes({6, 0, 3, 0x5A, 0xAB})},
         bytes({3, 0, 3, 0, 1})},
        {"BytesArea2", 5, "6", 2, bytes({0xAB, 0x5A}),
         {bytes({3, 0x13, 0x8B, 0, 1}), bytes({6, 0x13, 0x8B, 0x12, 0xAB}),
          bytes({3, 0x13, 0x8B, 0, 1}), bytes({6, 0x13, 0x8B, 0x5A, 0xAB})},
         bytes({3, 0x13, 0x8B, 0, 1})},
        {"Words", 7, "10", 2, bytes({0x34, 0x12, 0x78, 0x56}),
         {bytes({16, 0, 10, 0, 2, 4, 0x12, 0x34, 0x56, 0x78})}, bytes({3, 0, 10, 0, 2})},
        {"WordsArea2", 8, "10", 2, bytes({0x34, 0x12, 0x78, 0x56}),
         {bytes({16, 0x13, 0x92, 0, 2, 4, 0x12, 0x34, 0x56, 0x78})}, bytes({3, 0x13, 0x92, 0, 2})},
        {"DoubleWord", 10, "3", 2, bytes({0x78, 0x56, 0x34, 0x12}),
         {bytes({16, 0, 6, 0, 2, 4, 0x56, 0x78, 0x12, 0x34})}, bytes({3, 0, 6, 0, 2})},
        {"DoubleWordArea2", 11, "3", 2, bytes({0x78, 0x56, 0x34, 0x12}),
         {bytes({16, 0x13, 0x8E, 0, 2, 4, 0x56, 0x78, 0x12, 0x34})}, bytes({3, 0x13, 0x8E, 0, 2})},
    };
}

class ValueRoundTrip : public RoundTrip,
                       public ::testing::WithParamInterface<std::tuple<Case, bool>> {};

// Write, check the frames and the completion, then fetch the value back into a
// fresh driver with a one-shot read and read it there.
TEST_P(ValueRoundTrip, SetSendReadBack) {
    const Case &c = std::get<0>(GetParam());
    info.multiStation = std::get<1>(GetParam());
    info.writeMode = 2;
    const int unit = info.multiStation ? 5 : info.defaultStation;
    plc.holding(unit, 3) = plc.holding(unit, 5003) = 0x1234;

    ASSERT_GE(d.SetRegisterData(QStringLiteral("v"), c.regType, QString::fromLatin1(c.address), 5,
                                c.value, c.count, 21, 22),
              1);
    pumpQueues(d);
    ASSERT_EQ(plc.requests.size(), c.writePdus.size());
    for (size_t i = 0; i < c.writePdus.size(); ++i)
        EXPECT_EQ(plc.requests[i].toHex(), modbus(unit, c.writePdus[i]).toHex()) << i;
    const std::vector<CompletionCall> done{{42, 21, 22, 1}};
    EXPECT_EQ(log().completions, done);
    const QByteArray written = get(d, c.regType, c.address, 5, c.count);

    Modbus_RTU_Master fresh;
    fresh.SetComInfo(&info);
    fresh.RegistCallBackFuncIntf(recordCompletion, recordNotify);
    ASSERT_EQ(onceRead(fresh, c.regType, c.address, 5, c.count, 23), 1);
    pumpQueues(fresh);
    EXPECT_EQ(plc.requests.back().toHex(), modbus(unit, c.readPdu).toHex());
    EXPECT_EQ(get(fresh, c.regType, c.address, 5, c.count).toHex(), written.toHex());
    EXPECT_EQ(log().completions.back(), (CompletionCall{42, 23, 0, 1}));
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, ValueRoundTrip, ::testing::Combine(::testing::ValuesIn(cases()), ::testing::Bool()),
    [](const auto &info) {
        return std::get<0>(info.param).name + (std::get<1>(info.param) ? "Stations" : "Single");
    });

// A write split into pieces is one host request: one success report after
// the last piece, or one failure report when a piece is given up.
TEST_F(RoundTrip, PiecesOfOneWriteReportOnce) {
    info.writeMode = 2;
    info.maxRegsPerFrame = 4;
    EXPECT_EQ(d.SetRegisterData(QString(), 7, QStringLiteral("0"), 1, QByteArray(20, '\x01'), 10,
                                3, 4),
              3);
    pumpQueues(d);
    EXPECT_EQ(plc.requests.size(), 3u);
    EXPECT_EQ(log().completions, (std::vector<CompletionCall>{{42, 3, 4, 1}}));

    // The PLC falls silent: the first piece is given up after its retries.
    d.SetRegisterData(QString(), 7, QStringLiteral("0"), 1, QByteArray(20, '\x01'), 10, 3, 4);
    for (int i = 0; i < 10 && !d.writeQueue.isEmpty(); ++i) {
        ASSERT_NE(d.ComCommunication(), nullptr);
        QByteArray none;
        d.DataCom(&none, 0);
    }
    EXPECT_TRUE(d.writeQueue.isEmpty());
    EXPECT_EQ(log().completions, (std::vector<CompletionCall>{{42, 3, 4, 1}, {42, 3, 4, 2}}));
}

// A host's life: a cyclic plan over every element kind, then writes and
// one-shot reads of every kind, all through the loop.
TEST_F(RoundTrip, ScriptedHostLoop) {
    plc.input(1, 0) = 0x0005;     // bits 0.0 .. 0.2: 1 0 1
    plc.holding(1, 10) = 0xBEEF;  // byte 20 0xEF, byte 21 0xBE
    plc.holding(1, 5100) = 0x1234;
    plc.holding(1, 5101) = 0x5678;
    plc.holding(1, 60) = 0x5678;  // double word 30
    plc.holding(1, 61) = 0x1234;
    const struct {
        int type;
        const char *address;
        int count;
    } cyclic[] = {{0, "0.0", 3}, {4, "20", 2}, {8, "100", 2}, {10, "30", 2}};
    QList<HOSTVAR> plan;
    for (const auto &c : cyclic) {
        HOSTVAR v;
        v.regType = static_cast<quint8>(c.type);
        v.address = QString::fromLatin1(c.address);
        v.count = c.count;
        plan.append(v);
    }
    d.ReCreatReadVarList(&plan);
    pump(d, [&] { return info.cycleDone == 1; });
    EXPECT_EQ(get(d, 0, "0.0", 1, 3), bytes({1, 0, 1}));
    EXPECT_EQ(get(d, 4, "20", 1, 2), bytes({0xEF, 0, 0xBE, 0}));
    EXPECT_EQ(get(d, 8, "100", 1, 2), bytes({0x34, 0x12, 0x78, 0x56}));
    EXPECT_EQ(get(d, 10, "30", 1, 2), bytes({0x78, 0x56, 0x34, 0x12}));

    info.writeMode = 2;
    const auto set = [&](int type, const char *address, QByteArray value, int count, int tag) {
        d.SetRegisterData(QString(), type, QString::fromLatin1(address), 1, value, count, tag, 0);
    };
    set(1, "0.5", bytes({1}), 1, 1);
    set(5, "1", bytes({0x77}), 1, 2);
    set(7, "200", bytes({0x22, 0x11}), 1, 3);
    set(11, "40", bytes({4, 3, 2, 1}), 2, 4);
    plc.input(1, 7) = 0x0102;
    plc.holding(1, 300) = 0xCAFE;
    onceRead(d, 3, "14", 1, 2, 5);
    onceRead(d, 2, "1.0", 1, 16, 6);
    onceRead(d, 7, "300", 1, 1, 7);
    onceRead(d, 9, "3", 1, 2, 8);
    pumpQueues(d);

    EXPECT_EQ(plc.holding(1, 0), 1 << 5);
    EXPECT_EQ(plc.holding(1, 5000), 0x7700);
    EXPECT_EQ(plc.holding(1, 200), 0x1122);
    EXPECT_EQ(plc.holding(1, 5080), 0x0304);
    EXPECT_EQ(plc.holding(1, 5081), 0x0102);
    EXPECT_EQ(get(d, 3, "14", 1, 2), bytes({0x02, 0, 0x01, 0}));
    // Bits 8..23 of area 2: the high byte of register 0 (0x77, written above), then 0.
    EXPECT_EQ(get(d, 2, "1.0", 1, 16), bytes({1, 1, 1, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(get(d, 7, "300", 1, 1), bytes({0xFE, 0xCA}));
    EXPECT_EQ(get(d, 9, "3", 1, 2), bytes({0, 0, 0x02, 0x01}));
    std::vector<int> finished;
    for (const CompletionCall &call : log().completions) {
        EXPECT_EQ(call.status, 1) << call.hostTag0;
        finished.push_back(call.hostTag0);
    }
    std::sort(finished.begin(), finished.end());
    EXPECT_EQ(finished, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
}

// Remote framing carries the same values: a word write, then a read back.
TEST_F(RoundTrip, RemoteRecords) {
    info.remoteMode = 1;
    info.writeMode = 2;
    d.SetRegisterData(QString(), 8, QStringLiteral("10"), 1, bytes({0x34, 0x12}), 1, 1, 0);
    pumpQueues(d);
    ASSERT_EQ(plc.requests.size(), 1u);
    EXPECT_EQ(plc.requests[0].mid(5, 8).toHex(), bytes({0, 8, 0, 0, 0, 10, 0, 1}).toHex());
    EXPECT_EQ(plc.requests[0].mid(21, 2), bytes({0x34, 0x12}));
    EXPECT_EQ(get(d, 8, "10", 1, 1), bytes({0x34, 0x12}));

    plc.holding(1, 5011) = 0xCAFE;
    onceRead(d, 8, "11", 1, 1, 2);
    pumpQueues(d);
    EXPECT_EQ(get(d, 8, "11", 1, 1), bytes({0xFE, 0xCA}));
    EXPECT_EQ(log().completions, (std::vector<CompletionCall>{{42, 1, 0, 1}, {42, 2, 0, 1}}));
}

// A host thread writes and reads values while the communication thread runs
// the loop: no deadlock (list lock before data lock everywhere), and the PLC
// and the store end with the last value.
TEST_F(RoundTrip, HostThreadsWhileTheLoopRuns) {
    info.writeMode = 2;
    std::atomic<bool> writing{true};
    std::thread loop([&] {
        for (int exchanges = 0; exchanges < 10000;) {
            const bool lastRound = !writing; // every write is queued by now
            Protocol *p = d.ComCommunication();
            if (p) {
                QByteArray reply = plc.answer(p->frame, false);
                d.DataCom(&reply, reply.size());
                ++exchanges;
            } else if (lastRound) {
                break;
            } else {
                std::this_thread::yield();
            }
        }
    });
    for (int v = 1; v <= 300; ++v) {
        d.SetRegisterData(QString(), 7, QStringLiteral("50"), 1, bytes({v & 0xFF, v >> 8}), 1, v, 0);
        QByteArray data;
        d.GetRegisterData(7, QStringLiteral("50"), 1, data, 1);
        EXPECT_EQ(data.size(), 2);
    }
    writing = false;
    loop.join();
    EXPECT_TRUE(d.writeQueue.isEmpty());
    EXPECT_EQ(plc.holding(1, 50), 300);
    EXPECT_EQ(get(d, 7, "50", 1, 1), bytes({300 & 0xFF, 300 >> 8}));
}

} // namespace
