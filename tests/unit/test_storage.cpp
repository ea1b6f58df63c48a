// Reply storage into the images and the per-station store, and the merge of
// a byte write into the register it belongs to.
#include "driver_fixture.h"

#include <climits>

namespace {

// A block-read reply header (9 bytes) followed by the given data bytes.
QByteArray blockReply(const QByteArray &data) {
    return bytes({0, 0, 0, 0, 0, 3 + data.size(), 1, 3, data.size()}) + data;
}

class StorageTest : public DriverTest {
protected:
    std::vector<quint16> images() const {
        std::vector<quint16> all(d.InputImage, d.InputImage + kInputRegs);
        all.insert(all.end(), d.HoldingImage, d.HoldingImage + kHoldingRegs);
        all.insert(all.end(), d.ExtHoldingImage, d.ExtHoldingImage + kExtRegs);
        return all;
    }
    void store(const RW_VAR &var, int dataLen, QByteArray reply) {
        Protocol p;
        p.replyHeadLen = 9;
        p.dataLen = dataLen;
        p.var = var;
        d.protocolQueue = {p};
        d.SaveToLocalDataErea(&reply);
    }
    QByteArray record(int station, int area, int regAddr) {
        return d.extendList[d.ExtendFindSameVar(station, area, regAddr)].value;
    }
};

const QByteArray kData = bytes({0x12, 0x34, 0xAB, 0xCD});
const int kInput = 0, kHolding = kInputRegs, kExt = kInputRegs + kHoldingRegs; // offsets in images()

} // namespace

// Registers land in their area's image; registers a short reply lacks, or
// that fall outside the image, are left alone.
TEST_F(StorageTest, BlockStorageIntoImages) {
    const struct {
        int regType, regAddr;
        QByteArray data;
        std::vector<std::pair<int, quint16>> changed; // index in images()
    } cases[] = {
        {1, 10, kData, {{kHolding + 10, 0x1234}, {kHolding + 11, 0xABCD}}},
        {2, 0, kData, {{kExt, 0x1234}, {kExt + 1, 0xABCD}}},
        {0, 5, kData, {{kInput + 5, 0x1234}, {kInput + 6, 0xABCD}}},
        {1, 10, kData.left(3), {{kHolding + 10, 0x1234}}},
        {1, 10, kData.left(1), {}},
        {3, 10, kData, {}},
        {6, 10, kData, {}},
        {1, 1023, kData, {{kHolding + 1023, 0x1234}}},
        {0, 1023, kData, {{kInput + 1023, 0x1234}}},
        {2, 8191, kData, {{kExt + 8191, 0x1234}}},
        {1, -1, kData, {{kHolding, 0xABCD}}},
        {1, INT_MAX, kData, {}},
        {1, INT_MIN, kData, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.regAddr);
        std::vector<quint16> expected = images();
        for (const auto &reg : c.changed)
            expected[reg.first] = reg.second;
        store(readVar(1, c.regType, c.regAddr, 2), 4, blockReply(c.data));
        EXPECT_EQ(images(), expected);
        info.multiStation = 1; // the same reply in multi-station mode leaves the images
        store(readVar(1, c.regType, c.regAddr, 2), 4, blockReply(c.data));
        info.multiStation = 0;
        EXPECT_EQ(images(), expected);
    }
}

TEST_F(StorageTest, PerStationLookupIsAppendOnlyAndBounded) {
    EXPECT_EQ(d.ExtendFindSameVar(3, 1, 40), 0);
    EXPECT_EQ(d.extendList.first().value, QByteArray(4, '\0'));
    EXPECT_EQ(d.ExtendFindSameVar(3, 1, 40), 0);
    EXPECT_EQ(d.ExtendFindSameVar(4, 1, 40), 1);
    EXPECT_EQ(d.ExtendFindSameVar(3, 2, 40), 2);
    EXPECT_EQ(d.ExtendFindSameVar(3, 0, 65535), 3);
    EXPECT_EQ(d.ExtendFindSameVar(3, 1, 0), 4);
    EXPECT_EQ(d.ExtendFindSameVar(-1, 1, 40), 5);
    for (auto key : {std::make_pair(3, 65536), {3, -1}, {-1, 0}, {1, INT_MIN}})
        EXPECT_EQ(d.ExtendFindSameVar(3, key.first, key.second), -1);
    EXPECT_EQ(d.extendList.size(), 6);
    EXPECT_EQ(d.ExtendFindSameVar(4, 1, 40), 1);
    EXPECT_EQ(d.extendList[1].station, 4);
}

TEST_F(StorageTest, BlockStorageIntoStationRecords) {
    info.multiStation = 1;
    store(readVar(2, 1, 10, 2), 4, blockReply(kData));
    EXPECT_EQ(record(2, 1, 10), bytes({0x34, 0x12}));
    EXPECT_EQ(record(2, 1, 11), bytes({0xCD, 0xAB}));
    store(readVar(2, 1, 10, 2), 4, blockReply(kData.left(3))); // one byte short
    EXPECT_EQ(record(2, 1, 10), bytes({0x34, 0x12}));
    EXPECT_TRUE(record(2, 1, 11).isEmpty());
    const int before = d.extendList.size();
    store(readVar(2, 1, 65535, 2), 4, blockReply(kData)); // register 65536 does not exist
    store(readVar(2, 1, -1, 2), 4, blockReply(kData));    // nor does -1
    store(readVar(2, 3, 0, 2), 4, blockReply(kData));
    EXPECT_EQ(d.extendList.size(), before + 2);
    EXPECT_EQ(record(2, 1, 65535), bytes({0x34, 0x12}));
    EXPECT_EQ(record(2, 1, 0), bytes({0xCD, 0xAB}));
}

// Byte 0x5A written into register 3, which reads back as 0x1234: the new byte
// is the high half for an odd byte address and the low half for an even one.
TEST_F(StorageTest, ByteWriteMerge) {
    const struct {
        bool multi;
        int regType, byteAddr, station;
        int image; // index in images(), -1 for none
        quint16 merged;
    } cases[] = {
        {false, 4, 7, 1, kHolding + 3, 0x5A34}, {false, 4, 6, 1, kHolding + 3, 0x125A},
        {false, 5, 7, 1, kExt + 3, 0x5A34},     {false, 5, 6, 1, kExt + 3, 0x125A},
        {true, 4, 7, 4, -1, 0x5A34},            {true, 5, 6, 4, -1, 0x125A},
        {false, 4, 2048, 1, -1, 0x125A},        {false, 5, 16384, 1, -1, 0x125A}, // past the image
        {false, 4, -2, 1, -1, 0x125A},          {true, 4, -1, 4, -1, 0x5A34},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.byteAddr);
        info.multiStation = c.multi;
        RW_VAR var = readVar(c.station, c.regType, c.byteAddr, 1);
        var.aux0 = -1;
        var.value = bytes({0x5A});
        Protocol read, write;
        read.var = var;
        write.frame = bytes({0, 0, 0, 0, 0, 6, c.station, 6, 0, 3, 0, 0});
        d.protocolQueue = {read, write};
        RW_VAR head = var; // the merge takes the byte from its own frame
        head.value = bytes({0x77});
        d.writeQueue = {head};
        std::vector<quint16> expected = images();
        if (c.image >= 0)
            expected[c.image] = c.merged;
        const int records = d.extendList.size();
        QByteArray reply = bytes({0, 0, 0, 0, 0, 5, c.station, 3, 2, 0x12, 0x34});
        d.SaveToLocalDataErea(&reply);
        EXPECT_EQ(images(), expected);
        EXPECT_EQ(d.protocolQueue[1].frame.mid(10), bytes({c.merged >> 8, c.merged & 0xFF}));
        if (c.multi && c.byteAddr >= 0)
            EXPECT_EQ(record(c.station, getPlcType(c.regType), 3), bytes({c.merged & 0xFF, c.merged >> 8}));
        else
            EXPECT_EQ(d.extendList.size(), records);

        d.protocolQueue = {read}; // the write frame already gone: nothing at all
        const std::vector<quint16> now = images();
        d.SaveToLocalDataErea(&reply);
        EXPECT_EQ(images(), now);
    }
}
