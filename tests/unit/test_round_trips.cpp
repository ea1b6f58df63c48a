// Host values through the real communication loop: a value write, the
// frames the driver hands out, replies of a PLC model, reply handling and
// value reads; and a host thread beside the loop. Cyclic plans and the
// remote-area framing run end to end against the simulated PLC.
#include "driver_fixture.h"

#include <atomic>
#include <map>
#include <thread>

namespace {

int be16(const QByteArray &b, int at) {
    return static_cast<quint8>(b[at]) << 8 | static_cast<quint8>(b[at + 1]);
}

// A Modbus TCP request after its transaction id: protocol id, length, unit,
// then the PDU.
QByteArray modbus(int unit, const QByteArray &pdu) {
    return bytes({0, 0, int(pdu.size() + 1) >> 8, int(pdu.size() + 1), unit}) + pdu;
}

// A PLC model: 16-bit registers per unit, wire addresses 0..65535. Coil c
// below 5000 is bit c % 16 of holding register c / 16, coil 5000 + c bit
// c % 16 of register 5000 + c / 16..
class Plc {
public:
    std::vector<QByteArray> requests;

    quint16 &holding(int unit, int reg) { return table(unit, false)[reg & 0xFFFF]; }

    QByteArray answer(const QByteArray &req) {
        requests.push_back(req);
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
        return unit == 0 ? QByteArray() : replyFrame(req, pdu);
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
};

class RoundTrip : public DriverTest {
protected:
    Plc plc;

    void wire(ModbusTcpDriver &drv) {
        drv.setComInfo(&info);
        drv.setCallbacks(recordCompletion, recordNotify);
    }
    // Runs the loop until it is idle: two calls in a row without a frame (a
    // cyclic turn without a block re-opens the queues' turns, so the second
    // finds the queues empty).
    void pumpQueues(ModbusTcpDriver &drv) {
        for (int i = 0, idle = 0; i < 200; ++i) {
            Protocol *p = drv.nextRequest();
            if (!p && ++idle == 2)
                return;
            if (p) {
                idle = 0;
                QByteArray reply = plc.answer(p->frame);
                drv.handleReply(&reply, reply.size());
            }
        }
        FAIL() << "loop did not finish";
    }
    QByteArray get(ModbusTcpDriver &drv, int regType, const char *address, int count, int station = 1) {
        QByteArray data;
        EXPECT_EQ(drv.readValues(regType, QString::fromLatin1(address), station, data, count), 1);
        return data;
    }
    int set(ModbusTcpDriver &drv, int regType, const char *address, QByteArray value, int count,
            int tag, int station = 1) {
        return drv.writeValues(QString(), regType, QString::fromLatin1(address), station, value,
                               count, tag, 0);
    }
    int onceRead(ModbusTcpDriver &drv, int regType, const char *address, int count, int tag,
                 int station = 1) {
        RW_VAR var = variable(regType, address, count, tag);
        var.station = station;
        return drv.queueOnceRead(&var, PLC_ADD_MERGED);
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
    info.writeMode = PLC_WRITE_TO_PLC;
    for (int multi : {0, 1})
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << "type " << c.regType << (multi ? ", stations" : ""));
            info.multiStation = multi;
            callbackLog() = CallbackLog{};
            plc = Plc();
            const int unit = multi ? 5 : info.defaultStation;
            plc.holding(unit, 3) = plc.holding(unit, 5003) = 0x1234;
            ModbusTcpDriver writer, reader;
            wire(writer);
            wire(reader);
            ASSERT_GE(set(writer, c.regType, c.address, c.value, c.count, 21, 5), 1);
            pumpQueues(writer);
            ASSERT_EQ(plc.requests.size(), c.writePdus.size());
            for (size_t i = 0; i < c.writePdus.size(); ++i)
                EXPECT_EQ(plc.requests[i].mid(2).toHex(), modbus(unit, c.writePdus[i]).toHex()) << i;
            EXPECT_EQ(log().completions, (Calls{{42, 21, 0, 1}}));

            ASSERT_EQ(onceRead(reader, c.regType, c.address, c.count, 23, 5), 1);
            pumpQueues(reader);
            EXPECT_EQ(plc.requests.back().mid(2).toHex(), modbus(unit, c.readPdu).toHex());
            EXPECT_EQ(get(reader, c.regType, c.address, c.count, 5).toHex(),
                      get(writer, c.regType, c.address, c.count, 5).toHex());
            EXPECT_EQ(log().completions.back(), (CompletionCall{42, 23, 0, 1}));
        }
}

// A host thread writes, queues reads, switches a station and reads values
// while the communication thread runs the loop: no deadlock (queue lock
// before data lock everywhere), every request completes, and the PLC and the
// store end with the last value.
TEST_F(RoundTrip, HostThreadBesideTheLoop) {
    info.writeMode = PLC_WRITE_TO_PLC;
    std::atomic<bool> hostDone{false};
    std::thread loop([&] {
        for (int exchanges = 0, idle = 0; exchanges < 10000;) {
            const bool lastRound = hostDone; // every request is queued by now
            if (Protocol *p = d.nextRequest()) {
                QByteArray reply = plc.answer(p->frame);
                d.handleReply(&reply, reply.size());
                ++exchanges;
                idle = 0;
            } else if (lastRound && ++idle == 2) { // both queues empty, as in pumpQueues
                break;
            } else {
                std::this_thread::yield();
            }
        }
    });
    for (int v = 1; v <= 300; ++v) {
        set(d, 7, "50", bytes({v & 0xFF, v >> 8}), 1, v);
        RW_VAR read = readVar(1, 1, v % 100, 2, -v);
        d.queueOnceRead(&read, PLC_ADD_AS_IS);
        d.switchStation(3, v % 2);
        QByteArray data;
        d.readValues(7, QStringLiteral("50"), 1, data, 1);
        EXPECT_EQ(data.size(), 2);
    }
    hostDone = true;
    loop.join();
    EXPECT_EQ(plc.holding(1, 50), 300);
    EXPECT_EQ(get(d, 7, "50", 1), bytes({300 & 0xFF, 300 >> 8}));
    int reads = 0;
    for (const CompletionCall &call : log().completions)
        reads += call.hostTag0 < 0 && call.status == 1;
    EXPECT_EQ(reads, 300);
}

} // namespace
