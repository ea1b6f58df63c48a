// Host values through the real communication loop: SetRegisterData, the
// frames ComCommunication hands out, replies of a PLC model, DataCom, and
// GetRegisterData; a scripted host; and a host thread beside the loop.
#include "driver_fixture.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <thread>

namespace {

int be16(const QByteArray &b, int at) {
    return static_cast<quint8>(b[at]) << 8 | static_cast<quint8>(b[at + 1]);
}

// A Modbus TCP request or reply: the prefix with its length, unit, then the PDU.
QByteArray modbus(int unit, const QByteArray &pdu) {
    return bytes({0, 0, 0, 0, (pdu.size() + 1) >> 8, pdu.size() + 1, unit}) + pdu;
}

// A PLC model: 16-bit registers per unit, wire addresses 0..65535. Coil c
// below 5000 is bit c % 16 of holding register c / 16, coil 5000 + c bit
// c % 16 of register 5000 + c / 16. It also answers remote-area records.
class Plc {
public:
    std::vector<QByteArray> requests;

    quint16 &holding(int unit, int reg) { return table(unit, false)[reg & 0xFFFF]; }
    quint16 &input(int unit, int reg) { return table(unit, true)[reg & 0xFFFF]; }

    QByteArray answer(const QByteArray &request, bool remote) {
        requests.push_back(request);
        return remote ? answerRecord(request) : answerModbus(request);
    }

private:
    std::map<std::pair<int, bool>, std::vector<quint16>> tables;

    std::vector<quint16> &table(int unit, bool inputArea) {
        std::vector<quint16> &t = tables[{unit, inputArea}];
        t.resize(0x10000);
        return t;
    }
    QByteArray readReply(int unit, bool inputArea, int addr, int qty) {
        QByteArray data = bytes({2 * qty});
        for (int k = 0; k < qty; ++k) {
            const quint16 reg = table(unit, inputArea)[(addr + k) & 0xFFFF];
            data += bytes({reg >> 8, reg & 0xFF});
        }
        return data;
    }
    QByteArray answerModbus(const QByteArray &req) {
        const int unit = static_cast<quint8>(req[6]), fn = static_cast<quint8>(req[7]);
        const int addr = be16(req, 8), arg = be16(req, 10);
        QByteArray pdu = req.mid(7, 5);
        if (fn == 3 || fn == 4)
            pdu = req.mid(7, 1) + readReply(unit, fn == 4, addr, arg);
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
        if (regType > 2)
            return QByteArray(12, '\0');
        return QByteArray(8, '\0') + readReply(unit, regType == 0,
                                               be16(rec, 9) + (regType == 2 ? 5000 : 0), be16(rec, 11));
    }
};

class RoundTrip : public DriverTest {
protected:
    Plc plc;

    void wire(Modbus_RTU_Master &drv) {
        drv.SetComInfo(&info);
        drv.RegistCallBackFuncIntf(recordCompletion, recordNotify);
    }
    // Runs the loop until `done` holds, at most `limit` exchanges.
    void pump(Modbus_RTU_Master &drv, const std::function<bool()> &done, int limit = 200) {
        for (int i = 0; i < limit && !done(); ++i)
            if (Protocol *p = drv.ComCommunication()) {
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
    QByteArray get(Modbus_RTU_Master &drv, int regType, const char *address, int count, int station = 1) {
        QByteArray data;
        EXPECT_EQ(drv.GetRegisterData(regType, QString::fromLatin1(address), station, data, count), 1);
        return data;
    }
    int set(Modbus_RTU_Master &drv, int regType, const char *address, QByteArray value, int count,
            int tag, int station = 1) {
        return drv.SetRegisterData(QString(), regType, QString::fromLatin1(address), station, value,
                                   count, tag, 0);
    }
    int onceRead(Modbus_RTU_Master &drv, int regType, const char *address, int count, int tag,
                 int station = 1) {
        RW_VAR var = variable(regType, address, count, tag);
        var.station = station;
        return drv.AddListOnceReadVar(&var, 0);
    }
};

// Every writable kind in both areas, with one station and several: write,
// check the frames and the completion, then fetch the value back into a fresh
// driver with a one-shot read and read it there. Holding registers 3 and 5003
// hold 0x1234 first, so byte writes show both halves merged with the PLC's.
TEST_F(RoundTrip, EveryKindSetSendReadBack) {
    const struct {
        int regType;
        const char *address;
        int count;
        QByteArray value;
        std::vector<QByteArray> writePdus;
        QByteArray readPdu;
    } cases[] = {
        {1, "2.3", 2, bytes({1, 1}), {bytes({5, 0, 19, 0xFF, 0}), bytes({5, 0, 20, 0xFF, 0})},
         bytes({3, 0, 1, 0, 1})},
        {2, "2.3", 2, bytes({1, 1}), {bytes({5, 0x13, 0x9B, 0xFF, 0}), bytes({5, 0x13, 0x9C, 0xFF, 0})},
         bytes({3, 0x13, 0x89, 0, 1})},
        {4, "6", 2, bytes({0xAB, 0x5A}),
         {bytes({3, 0, 3, 0, 1}), bytes({6, 0, 3, 0x12, 0xAB}), bytes({3, 0, 3, 0, 1}),
          bytes({6, 0, 3, 0x5A, 0xAB})},
         bytes({3, 0, 3, 0, 1})},
        {5, "6", 2, bytes({0xAB, 0x5A}),
         {bytes({3, 0x13, 0x8B, 0, 1}), bytes({6, 0x13, 0x8B, 0x12, 0xAB}),
          bytes({3, 0x13, 0x8B, 0, 1}), bytes({6, 0x13, 0x8B, 0x5A, 0xAB})},
         bytes({3, 0x13, 0x8B, 0, 1})},
        {7, "10", 2, bytes({0x34, 0x12, 0x78, 0x56}),
         {bytes({16, 0, 10, 0, 2, 4, 0x12, 0x34, 0x56, 0x78})}, bytes({3, 0, 10, 0, 2})},
        {8, "10", 2, bytes({0x34, 0x12, 0x78, 0x56}),
         {bytes({16, 0x13, 0x92, 0, 2, 4, 0x12, 0x34, 0x56, 0x78})}, bytes({3, 0x13, 0x92, 0, 2})},
        {10, "3", 2, bytes({0x78, 0x56, 0x34, 0x12}),
         {bytes({16, 0, 6, 0, 2, 4, 0x56, 0x78, 0x12, 0x34})}, bytes({3, 0, 6, 0, 2})},
        {11, "3", 2, bytes({0x78, 0x56, 0x34, 0x12}),
         {bytes({16, 0x13, 0x8E, 0, 2, 4, 0x56, 0x78, 0x12, 0x34})}, bytes({3, 0x13, 0x8E, 0, 2})},
    };
    info.writeMode = 2;
    for (int multi : {0, 1})
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << "type " << c.regType << (multi ? ", stations" : ""));
            info.multiStation = multi;
            callbackLog() = CallbackLog{};
            plc = Plc();
            const int unit = multi ? 5 : info.defaultStation;
            plc.holding(unit, 3) = plc.holding(unit, 5003) = 0x1234;
            Modbus_RTU_Master writer, reader;
            wire(writer);
            wire(reader);
            ASSERT_GE(set(writer, c.regType, c.address, c.value, c.count, 21, 5), 1);
            pumpQueues(writer);
            ASSERT_EQ(plc.requests.size(), c.writePdus.size());
            for (size_t i = 0; i < c.writePdus.size(); ++i)
                EXPECT_EQ(plc.requests[i].toHex(), modbus(unit, c.writePdus[i]).toHex()) << i;
            EXPECT_EQ(log().completions, (Calls{{42, 21, 0, 1}}));

            ASSERT_EQ(onceRead(reader, c.regType, c.address, c.count, 23, 5), 1);
            pumpQueues(reader);
            EXPECT_EQ(plc.requests.back().toHex(), modbus(unit, c.readPdu).toHex());
            EXPECT_EQ(get(reader, c.regType, c.address, c.count, 5).toHex(),
                      get(writer, c.regType, c.address, c.count, 5).toHex());
            EXPECT_EQ(log().completions.back(), (CompletionCall{42, 23, 0, 1}));
        }
}

// A host's life: a cyclic plan over every element kind, then writes and
// one-shot reads of every kind, all through the loop.
TEST_F(RoundTrip, ScriptedHostLoop) {
    plc.input(1, 0) = 0x0005;    // bits 0.0 .. 0.2: 1 0 1
    plc.holding(1, 10) = 0xBEEF; // byte 20 0xEF, byte 21 0xBE
    plc.holding(1, 5100) = 0x1234;
    plc.holding(1, 5101) = 0x5678;
    plc.holding(1, 60) = 0x5678; // double word 30
    plc.holding(1, 61) = 0x1234;
    QList<HOSTVAR> plan{hostVar(0, "0.0", 3), hostVar(4, "20", 2), hostVar(8, "100", 2), hostVar(10, "30", 2)};
    d.ReCreatReadVarList(&plan);
    pump(d, [&] { return info.cycleDone == 1; });
    EXPECT_EQ(get(d, 0, "0.0", 3), bytes({1, 0, 1}));
    EXPECT_EQ(get(d, 4, "20", 2), bytes({0xEF, 0, 0xBE, 0}));
    EXPECT_EQ(get(d, 8, "100", 2), bytes({0x34, 0x12, 0x78, 0x56}));
    EXPECT_EQ(get(d, 10, "30", 2), bytes({0x78, 0x56, 0x34, 0x12}));

    info.writeMode = 2;
    set(d, 1, "0.5", bytes({1}), 1, 1);
    set(d, 5, "1", bytes({0x77}), 1, 2);
    plc.input(1, 7) = 0x0102;
    onceRead(d, 3, "14", 2, 3);
    onceRead(d, 2, "1.0", 16, 4);
    pumpQueues(d);

    EXPECT_EQ(plc.holding(1, 0), 1 << 5);
    EXPECT_EQ(plc.holding(1, 5000), 0x7700);
    EXPECT_EQ(get(d, 3, "14", 2), bytes({0x02, 0, 0x01, 0}));
    // Bits 8..23 of area 2: the high byte of register 0 (0x77, written above), then 0.
    EXPECT_EQ(get(d, 2, "1.0", 16), bytes({1, 1, 1, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    std::vector<int> finished;
    for (const CompletionCall &call : log().completions)
        finished.push_back(call.status == 1 ? call.hostTag0 : -call.hostTag0);
    std::sort(finished.begin(), finished.end());
    EXPECT_EQ(finished, (std::vector<int>{1, 2, 3, 4}));
}

// Remote framing carries the same values: a word write, then a read back.
TEST_F(RoundTrip, RemoteRecords) {
    info.remoteMode = 1;
    info.writeMode = 2;
    set(d, 8, "10", bytes({0x34, 0x12}), 1, 1);
    pumpQueues(d);
    ASSERT_EQ(plc.requests.size(), 1u);
    EXPECT_EQ(plc.requests[0].mid(5, 8).toHex(), bytes({0, 8, 0, 0, 0, 10, 0, 1}).toHex());
    EXPECT_EQ(plc.requests[0].mid(21, 2), bytes({0x34, 0x12}));
    plc.holding(1, 5011) = 0xCAFE;
    onceRead(d, 8, "11", 1, 2);
    pumpQueues(d);
    EXPECT_EQ(get(d, 8, "10", 2), bytes({0x34, 0x12, 0xFE, 0xCA}));
    EXPECT_EQ(log().completions, (Calls{{42, 1, 0, 1}, {42, 2, 0, 1}}));
}

// A host thread writes, queues reads, switches a station and reads values
// while the communication thread runs the loop: no deadlock (queue lock
// before data lock everywhere), every request completes, and the PLC and the
// store end with the last value.
TEST_F(RoundTrip, HostThreadBesideTheLoop) {
    info.writeMode = 2;
    std::atomic<bool> hostDone{false};
    std::thread loop([&] {
        for (int exchanges = 0; exchanges < 10000;) {
            const bool lastRound = hostDone; // every request is queued by now
            if (Protocol *p = d.ComCommunication()) {
                QByteArray reply = plc.answer(p->frame, false);
                d.DataCom(&reply, reply.size());
                ++exchanges;
            } else if (lastRound && d.writeQueue.isEmpty() && d.onceQueue.isEmpty()) {
                break;
            } else {
                std::this_thread::yield();
            }
        }
    });
    for (int v = 1; v <= 300; ++v) {
        set(d, 7, "50", bytes({v & 0xFF, v >> 8}), 1, v);
        RW_VAR read = readVar(1, 1, v % 100, 2, -v);
        d.AddListOnceReadVar(&read, 1);
        d.EnCommStation(3, v % 2);
        QByteArray data;
        d.GetRegisterData(7, QStringLiteral("50"), 1, data, 1);
        EXPECT_EQ(data.size(), 2);
    }
    hostDone = true;
    loop.join();
    EXPECT_TRUE(d.writeQueue.isEmpty() && d.onceQueue.isEmpty());
    EXPECT_EQ(plc.holding(1, 50), 300);
    EXPECT_EQ(get(d, 7, "50", 1), bytes({300 & 0xFF, 300 >> 8}));
    int reads = 0;
    for (const CompletionCall &call : log().completions)
        reads += call.hostTag0 < 0 && call.status == 1;
    EXPECT_EQ(reads, 300);
}

} // namespace
