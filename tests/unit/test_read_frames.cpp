// Modbus TCP read requests and the shared request header, byte by byte.
#include "driver_fixture.h"

namespace {

struct ReadCase {
    int station, area, regAddr, count;
    QByteArray unitOnward; // bytes 6..11
    int replyLen;
};

} // namespace

TEST_F(DriverTest, ReadFramesByteByByte) {
    const ReadCase cases[] = {
        {1, 1, 100, 10, bytes({1, 3, 0x00, 0x64, 0x00, 0x0A}), 29},
        {17, 0, 0, 1, bytes({0x11, 4, 0, 0, 0, 1}), 11},
        {1, 2, 10, 1, bytes({1, 3, 0x13, 0x92, 0, 1}), 11},      // area 2 starts at 5000
        {300, 1, 0, 1, bytes({0x2C, 3, 0, 0, 0, 1}), 11},        // unit: low 8 bits
        {1, 2, 61000, 2, bytes({1, 3, 0x01, 0xD0, 0, 2}), 13},   // 66000 wraps to 464
        {1, 1, -1, 40000, bytes({1, 3, 0xFF, 0xFF, 0x9C, 0x40}), 9 + 14464}, // 80000 mod 65536
        {1, 1, 0, 65537, bytes({1, 3, 0, 0, 0, 1}), 11},
    };
    for (const ReadCase &c : cases) {
        SCOPED_TRACE(c.unitOnward.toHex().constData());
        d.protocolQueue.clear();
        RW_VAR var = readVar(c.station, c.area, c.regAddr, c.count, 7, 8);
        var.value = bytes({9});
        d.ReadRegister(&var);
        ASSERT_EQ(d.protocolQueue.size(), 1);
        const Protocol &p = d.protocolQueue.first();
        EXPECT_EQ(p.frame.toHex(), (bytes({0, 0, 0, 0, 0, 6}) + c.unitOnward).toHex());
        EXPECT_EQ(p.frameLen, 12);
        EXPECT_EQ(p.replyLen, c.replyLen);
        EXPECT_EQ(p.replyHeadLen, 9);
        EXPECT_EQ(p.dataLen, c.replyLen - 9);
        EXPECT_EQ(p.var.hostTag1, 8);
        EXPECT_EQ(p.var.value, var.value);
        EXPECT_EQ(info.framesExpected, 1);
        EXPECT_EQ(info.framesDone, 0);
    }
}

TEST_F(DriverTest, ReadOfStationZeroOrUnknownAreaQueuesNothing) {
    for (RW_VAR var : {readVar(0, 1, 0, 1), readVar(1, 3, 0, 1), readVar(1, -1, 0, 1)}) {
        info.framesExpected = 7;
        info.framesDone = 5;
        d.ReadAnalog(&var);
        EXPECT_TRUE(d.protocolQueue.isEmpty());
        EXPECT_EQ(info.framesExpected, 7);
        EXPECT_EQ(info.framesDone, 5);
    }
}

TEST(ModbusHeader, LengthCountsTheTailAndFieldsKeepTheirLowBits) {
    EXPECT_EQ(mbapFrame(0x1FF, 16, 0x12345, 7).toHex(), bytes({0, 0, 0, 0, 0, 11, 0xFF, 16, 0x23, 0x45}).toHex());
    EXPECT_EQ(mbapFrame(1, 5, 3, 2).toHex(), bytes({0, 0, 0, 0, 0, 6, 1, 5, 0, 3}).toHex());
}
