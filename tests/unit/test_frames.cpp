// Request frames byte by byte: Modbus TCP reads, every kind of write
// (including the read-then-write pair of a byte) and remote-area records.
#include "driver_fixture.h"

#include <climits>

namespace {

// A Modbus TCP request: transaction 0, protocol 0, length, unit, then the PDU.
QByteArray tcp(int unit, const QByteArray &pdu) {
    const int length = pdu.size() + 1;
    return bytes({0, 0, 0, 0, length >> 8 & 0xFF, length & 0xFF, unit}) + pdu;
}

using Frames = DriverTest;

TEST_F(Frames, Reads) {
    const struct {
        int station, area, regAddr, count;
        QByteArray pdu;
        int replyLen;
    } cases[] = {
        {1, 1, 100, 10, bytes({3, 0x00, 0x64, 0x00, 0x0A}), 29},
        {17, 0, 0, 1, bytes({4, 0, 0, 0, 1}), 11},
        {300, 2, 10, 1, bytes({3, 0x13, 0x92, 0, 1}), 11},     // area 2 starts at 5000; unit 300 & 0xFF
        {1, 2, 61000, 2, bytes({3, 0x01, 0xD0, 0, 2}), 13},    // 66000 wraps to 464
        {1, 1, -1, 40000, bytes({3, 0xFF, 0xFF, 0x9C, 0x40}), 9 + 14464}, // 80000 mod 65536
        {1, 1, 0, 65537, bytes({3, 0, 0, 0, 1}), 11},
    };
    for (const auto &c : cases) {
        d.protocolQueue.clear();
        RW_VAR var = readVar(c.station, c.area, c.regAddr, c.count, 7, 8);
        d.ReadRegister(&var);
        ASSERT_EQ(d.protocolQueue.size(), 1);
        const Protocol &p = d.protocolQueue.first();
        EXPECT_EQ(p.frame.toHex(), tcp(c.station & 0xFF, c.pdu).toHex());
        EXPECT_EQ(std::make_tuple(p.frameLen, p.replyLen, p.replyHeadLen, p.dataLen),
                  std::make_tuple(12, c.replyLen, 9, c.replyLen - 9));
        EXPECT_EQ(p.var.hostTag1, 8);
        EXPECT_EQ(std::make_pair(info.framesExpected, info.framesDone), std::make_pair(1, 0));
    }
}

TEST_F(Frames, Writes) {
    QByteArray wide = bytes({16, 0, 0, 0, 200, 400 & 0xFF}) + QByteArray(400, '\x11');
    QByteArray sparse = bytes({16, 0, 0, 0, 100, 200, 0, 0x7F}) + QByteArray(198, '\0');
    const struct {
        int regType, regAddr, station, count;
        QByteArray value;
        std::vector<QByteArray> pdus;
    } cases[] = {
        {7, 100, 1, 1, bytes({0x34, 0x12}), {bytes({6, 0, 100, 0x12, 0x34})}},
        {8, 100, 1, 1, bytes({0x34, 0x12}), {bytes({6, 0x13, 0xEC, 0x12, 0x34})}},
        {7, 100, 1, 2, bytes({1, 2, 3, 4}), {bytes({16, 0, 100, 0, 2, 4, 2, 1, 4, 3})}},
        {7, 0, 1, 100, bytes({0x7F}), {sparse}},          // a short value sends zeros
        {7, 100, 1, 1, QByteArray(), {bytes({6, 0, 100, 0, 0})}},
        {7, 0, 1, 200, QByteArray(400, '\x11'), {wide}},  // byte count keeps 8 bits
        {7, 100, 0, 1, bytes({0x34, 0x12}), {bytes({6, 0, 100, 0x12, 0x34})}}, // broadcast
        {10, 3, 1, 1, bytes({0x78, 0x56, 0x34, 0x12}),
         {bytes({16, 0, 6, 0, 2, 4, 0x56, 0x78, 0x12, 0x34})}},
        {10, 0, 1, 1, bytes({0x78}), {bytes({16, 0, 0, 0, 2, 4, 0, 0x78, 0, 0})}},
        {10, INT_MAX, 1, 1, bytes({1, 0, 0, 0}), // 2 x address without overflow, low 16 bits
         {bytes({16, 0xFF, 0xFE, 0, 2, 4, 0, 1, 0, 0})}},
        {1, 99, 1, 1, bytes({2}), {bytes({5, 0, 99, 0xFF, 0})}}, // any non-zero is on
        {2, 3, 1, 7, bytes({1, 1}), {bytes({5, 0x13, 0x8B, 0xFF, 0})}}, // count ignored
        {4, 7, 3, 1, bytes({0x5A}), {bytes({3, 0, 3, 0, 1}), bytes({6, 0, 3, 0, 0})}},
        {5, 7, 3, 1, bytes({0x5A}), {bytes({3, 0x13, 0x8B, 0, 1}), bytes({6, 0x13, 0x8B, 0, 0})}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.regType << " at " << c.regAddr);
        callbackLog() = CallbackLog{};
        d.protocolQueue.clear();
        RW_VAR var = writeVar(c.station, c.regType, c.regAddr, c.value, c.count, 5);
        d.WriteRegister(&var);
        ASSERT_EQ(d.protocolQueue.size(), int(c.pdus.size()));
        for (int i = 0; i < d.protocolQueue.size(); ++i) {
            const Protocol &p = d.protocolQueue[i];
            const bool readHalf = c.pdus[i][0] == 3; // reads the register a byte merges into
            EXPECT_EQ(p.frame.toHex(), tcp(c.station, c.pdus[i]).toHex());
            EXPECT_EQ(p.frameLen, p.frame.size());
            EXPECT_EQ(p.replyLen, c.station == 0 ? 0 : readHalf ? 11 : 12);
            EXPECT_EQ(std::make_pair(p.var.accessKind, p.var.aux0),
                      readHalf ? std::make_pair(0, -1) : std::make_pair(1, 0));
            EXPECT_EQ(p.var.value, c.value);
        }
        EXPECT_EQ(info.framesExpected, int(c.pdus.size()));
        EXPECT_EQ(log().notifies, std::vector<int>{5});
    }
    d.RegistCallBackFuncIntf(nullptr, nullptr); // no notify callback: skipped
    RW_VAR var = writeVar(1, 7, 10, bytes({0x34, 0x12}));
    d.WriteRegister(&var);
}

quint8 sumOf(const QByteArray &data) {
    unsigned sum = 0;
    for (char c : data)
        sum += static_cast<quint8>(c);
    return static_cast<quint8>(sum);
}

// Remote records: length byte, hostTag0, accessKind, nodeId, station (low 8
// bits each), regType and count (16 bits), regAddr, aux0, aux1 (32 bits), the
// value of a write, then the 8-bit sum of everything before it.
QByteArray record(const RW_VAR &v) {
    QByteArray out = bytes({0, v.hostTag0, v.accessKind, v.nodeId, v.station, v.regType >> 8,
                            v.regType});
    for (int shift : {24, 16, 8, 0})
        out += static_cast<char>(v.regAddr >> shift);
    out += bytes({v.count >> 8, v.count});
    for (int field : {v.aux0, v.aux1})
        for (int shift : {24, 16, 8, 0})
            out += static_cast<char>(field >> shift);
    out += v.value;
    out[0] = static_cast<char>(out.size() + 1);
    return out + static_cast<char>(sumOf(out));
}

TEST_F(Frames, RemoteRecords) {
    info.remoteMode = 1;
    const struct {
        int accessKind, station, regType;
        QByteArray value;
        int replyLen, replyHeadLen; // replyLen -2: no record at all
    } cases[] = {
        {0, 3, 2, {}, 29, 9},
        {0, 0, 1, {}, -2, 0}, {0, 1, 3, {}, -2, 0}, {0, 1, 11, {}, -2, 0}, {0, 1, -1, {}, -2, 0},
        {1, 3, 7, bytes({0xDE, 0xAD, 0xBE, 0xEF}), 12, 0},
        {1, 0, 7, bytes({1, 0}), 0, 0}, // station 0 answers nothing
    };
    for (const auto &c : cases) {
        d.protocolQueue.clear();
        RW_VAR var = readVar(c.station, c.regType, 0x12345678, 10, 0x1FF);
        var.accessKind = c.accessKind;
        var.nodeId = 0x102;
        var.aux0 = -1;
        var.aux1 = 0x0A0B0C0D;
        var.value = c.value;
        c.accessKind ? d.Remote_WriteVar(&var) : d.Remote_ReadVar(&var);
        if (c.replyLen == -2) {
            EXPECT_TRUE(d.protocolQueue.isEmpty()) << c.station << " " << c.regType;
            continue;
        }
        ASSERT_EQ(d.protocolQueue.size(), 1);
        const Protocol &p = d.protocolQueue.first();
        EXPECT_EQ(p.frame.toHex(), record(var).toHex());
        EXPECT_EQ(std::make_tuple(p.frameLen, p.replyLen, p.replyHeadLen, p.dataLen),
                  std::make_tuple(p.frame.size(), c.replyLen, c.replyHeadLen,
                                  c.replyHeadLen ? 20 : 0));
    }
}

// The length byte wraps modulo 256; the record keeps its full length and the
// sum covers all of it, also beyond the 16-bit length a sum call takes.
TEST_F(Frames, LongRemoteWritesWrapTheLengthByte) {
    info.remoteMode = 1;
    for (int valueBytes : {233, 234, 300, 70000}) {
        d.protocolQueue.clear();
        QByteArray value(valueBytes, '\0');
        for (int i = 0; i < valueBytes; ++i)
            value[i] = static_cast<char>(i % 7);
        RW_VAR var = writeVar(1, 7, 5000, value);
        d.Remote_WriteVar(&var);
        ASSERT_EQ(d.protocolQueue.size(), 1);
        const QByteArray &frame = d.protocolQueue.first().frame;
        EXPECT_EQ(frame.toHex(), record(var).toHex());
        EXPECT_EQ(quint8(frame[0]), (22 + valueBytes) & 0xFF);
    }
}

} // namespace
