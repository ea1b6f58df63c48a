// Remote-area request records: layout, length byte, checksum, and which
// records are framed at all.
#include "driver_fixture.h"

namespace {

quint8 sumOf(const QByteArray &data) {
    unsigned sum = 0;
    for (char c : data)
        sum += static_cast<quint8>(c);
    return static_cast<quint8>(sum);
}

class RemoteFrames : public DriverTest {
protected:
    RW_VAR var;

    void SetUp() override {
        DriverTest::SetUp();
        info.remoteMode = 1;
        var.hostTag0 = 0x1FF; // low 8 bits travel
        var.accessKind = 0;
        var.nodeId = 0x102;
        var.station = 3;
        var.regType = 2;
        var.regAddr = 0x12345678;
        var.count = 10;
        var.aux0 = -1;
        var.aux1 = 0x0A0B0C0D;
        info.framesDone = 9;
        info.framesExpected = 9;
    }

    // Bytes 1..20 of the record for `var`.
    static QByteArray header(const RW_VAR &v) {
        return bytes({v.hostTag0 & 0xFF, v.accessKind & 0xFF, v.nodeId & 0xFF, v.station & 0xFF,
                      (v.regType >> 8) & 0xFF, v.regType & 0xFF, 0x12, 0x34, 0x56, 0x78,
                      (v.count >> 8) & 0xFF, v.count & 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0A, 0x0B,
                      0x0C, 0x0D});
    }
};

TEST_F(RemoteFrames, ReadRecord) {
    d.Remote_ReadVar(&var);
    ASSERT_EQ(d.protocolQueue.size(), 1);
    const Protocol &p = d.protocolQueue.first();
    QByteArray expected = bytes({22}) + header(var);
    expected += static_cast<char>(sumOf(expected));
    EXPECT_EQ(p.frame.toHex(), expected.toHex());
    EXPECT_EQ(p.frameLen, 22);
    EXPECT_EQ(p.replyLen, 29);
    EXPECT_EQ(p.replyHeadLen, 9);
    EXPECT_EQ(p.dataLen, 20);
    EXPECT_EQ(p.var.aux1, var.aux1);
    EXPECT_EQ(info.framesExpected, 1);
    EXPECT_EQ(info.framesDone, 0);
}

TEST_F(RemoteFrames, ReadsOnlyRealStationsAndAreas) {
    struct Case {
        int station, regType;
    } cases[] = {{0, 1}, {1, 3}, {1, 11}, {1, -1}};
    for (const Case &c : cases) {
        var.station = c.station;
        var.regType = c.regType;
        d.Remote_ReadVar(&var);
        EXPECT_TRUE(d.protocolQueue.isEmpty()) << c.station << " " << c.regType;
    }
    EXPECT_EQ(info.framesExpected, 9);
    EXPECT_EQ(info.framesDone, 9);
}

TEST_F(RemoteFrames, WriteRecordCarriesValueAndChecksum) {
    var.accessKind = 1;
    var.regType = 7;
    var.regAddr = 0x12345678; // outside every image: framed, but not stored
    var.value = bytes({0xDE, 0xAD, 0xBE, 0xEF});
    d.Remote_WriteVar(&var);
    ASSERT_EQ(d.protocolQueue.size(), 1);
    const Protocol &p = d.protocolQueue.first();
    QByteArray expected = bytes({26}) + header(var) + var.value;
    expected += static_cast<char>(sumOf(expected));
    EXPECT_EQ(p.frame.toHex(), expected.toHex());
    EXPECT_EQ(p.frameLen, 26);
    EXPECT_EQ(p.replyLen, 12);
    EXPECT_EQ(p.replyHeadLen, 0);
    EXPECT_EQ(p.dataLen, 0);
    EXPECT_EQ(info.framesExpected, 1);
    EXPECT_EQ(info.framesDone, 0);
}

TEST_F(RemoteFrames, WriteToStationZeroExpectsNoReply) {
    var.station = 0;
    var.regType = 7;
    d.Remote_WriteVar(&var);
    ASSERT_EQ(d.protocolQueue.size(), 1);
    EXPECT_EQ(d.protocolQueue.first().replyLen, 0);
}

// The length byte wraps modulo 256; the record keeps its full length and the
// checksum covers all of it, also beyond the 16-bit length a sum call takes.
TEST_F(RemoteFrames, LongWritesWrapTheLengthByte) {
    struct Case {
        int valueBytes, lengthByte;
    } cases[] = {{233, 255}, {234, 0}, {300, 66}, {70000, (70022) & 0xFF}};
    for (const Case &c : cases) {
        d.protocolQueue.clear();
        var.value = QByteArray(c.valueBytes, '\0');
        for (int i = 0; i < c.valueBytes; ++i)
            var.value[i] = static_cast<char>(i % 7);
        d.Remote_WriteVar(&var);
        ASSERT_EQ(d.protocolQueue.size(), 1);
        const QByteArray &frame = d.protocolQueue.first().frame;
        ASSERT_EQ(frame.size(), 22 + c.valueBytes);
        EXPECT_EQ(quint8(frame[0]), c.lengthByte) << c.valueBytes;
        EXPECT_EQ(quint8(frame.back()), sumOf(frame.left(frame.size() - 1))) << c.valueBytes;
    }
}

// A remote write shows in the store at once, whatever the last exchange did.
TEST_F(RemoteFrames, WriteStoresLocallyEvenAfterAFailure) {
    d.lastFailed = true;
    var.regType = 7;
    var.regAddr = 10;
    var.count = 1;
    var.value = bytes({0x34, 0x12});
    d.Remote_WriteVar(&var);
    EXPECT_EQ(d.HoldingImage[10], 0x1234);
    EXPECT_TRUE(log().notifies.empty());
}

} // namespace
