// Reply storage into the images and the per-station store, the byte-write
// merge, and host value reads and writes against both stores.
#include "driver_fixture.h"

#include <climits>
#include <string>

namespace {

const int kInput = 0, kHolding = kInputRegs, kExt = kInputRegs + kHoldingRegs; // offsets in images()
using Changes = std::vector<std::pair<int, quint16>>; // index in images(), new value

class Values : public DriverTest {
protected:
    // All three images back to back.
    std::vector<quint16> images() const {
        std::vector<quint16> all(d.InputImage, d.InputImage + kInputRegs);
        all.insert(all.end(), d.HoldingImage, d.HoldingImage + kHoldingRegs);
        all.insert(all.end(), d.ExtHoldingImage, d.ExtHoldingImage + kExtRegs);
        return all;
    }
    std::vector<quint16> imagesWith(const Changes &changes) const {
        std::vector<quint16> all = images();
        for (const auto &change : changes)
            all[change.first] = change.second;
        return all;
    }
    // Stores a block-read reply (9 header bytes, then data) for `var`.
    void store(const RW_VAR &var, const QByteArray &data) {
        Protocol p;
        p.replyHeadLen = 9;
        p.dataLen = 4;
        p.var = var;
        d.protocolQueue = {p};
        QByteArray reply = bytes({0, 0, 0, 0, 0, int(3 + data.size()), 1, 3, int(data.size())}) + data;
        d.SaveToLocalDataErea(&reply);
    }
    QByteArray &record(int station, int area, int regAddr) {
        return d.extendList[d.ExtendFindSameVar(station, area, regAddr)].value;
    }
    QByteArray get(int regType, const char *address, int count, int station = 1) {
        QByteArray data = bytes({9, 9});
        EXPECT_EQ(d.GetRegisterData(regType, QString::fromLatin1(address), station, data, count), 1);
        return data;
    }
    int set(int regType, const char *address, QByteArray value, int count, int station = 1) {
        return d.SetRegisterData(QStringLiteral("v"), regType, QString::fromLatin1(address),
                                 station, value, count, 11, 12);
    }
};

const QByteArray kData = bytes({0x12, 0x34, 0xAB, 0xCD});

// Registers land in their area's image; registers a short reply lacks, or
// that fall outside the image, are left alone.
TEST_F(Values, BlockRepliesIntoImages) {
    const struct {
        int area, regAddr;
        QByteArray data;
        Changes changed;
    } cases[] = {
        {1, 10, kData, {{kHolding + 10, 0x1234}, {kHolding + 11, 0xABCD}}},
        {2, 0, kData, {{kExt, 0x1234}, {kExt + 1, 0xABCD}}},
        {0, 5, kData, {{kInput + 5, 0x1234}, {kInput + 6, 0xABCD}}},
        {1, 10, kData.left(3), {{kHolding + 10, 0x1234}}},
        {3, 10, kData, {}},
        {1, 1023, kData, {{kHolding + 1023, 0x1234}}},
        {2, 8191, kData, {{kExt + 8191, 0x1234}}},
        {1, -1, kData, {{kHolding, 0xABCD}}},
        {1, INT_MAX, kData, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.regAddr);
        const std::vector<quint16> expected = imagesWith(c.changed);
        store(readVar(1, c.area, c.regAddr, 2), c.data);
        EXPECT_EQ(images(), expected);
        info.multiStation = 1; // the same reply in multi-station mode leaves the images
        store(readVar(1, c.area, c.regAddr, 2), c.data);
        info.multiStation = 0;
        EXPECT_EQ(images(), expected);
    }
}

TEST_F(Values, BlockRepliesIntoStationRecords) {
    for (auto key : {std::make_pair(3, 65536), {3, -1}, {-1, 0}, {1, INT_MIN}})
        EXPECT_EQ(d.ExtendFindSameVar(3, key.first, key.second), -1);
    info.multiStation = 1;
    store(readVar(2, 1, 10, 2), kData);
    EXPECT_EQ(record(2, 1, 10), bytes({0x34, 0x12}));
    EXPECT_EQ(record(2, 1, 11), bytes({0xCD, 0xAB}));
    store(readVar(2, 1, 10, 2), kData.left(3)); // one byte short
    EXPECT_EQ(record(2, 1, 10), bytes({0x34, 0x12}));
    EXPECT_TRUE(record(2, 1, 11).isEmpty());
    const int before = d.extendList.size();
    store(readVar(2, 1, 65535, 2), kData); // register 65536 does not exist
    store(readVar(2, 1, -1, 2), kData);    // nor does -1
    store(readVar(2, 3, 0, 2), kData);
    EXPECT_EQ(d.extendList.size(), before + 2);
    EXPECT_EQ(record(2, 1, 65535), bytes({0x34, 0x12}));
    EXPECT_EQ(record(2, 1, 0), bytes({0xCD, 0xAB}));
}

// Byte 0x5A written into register 3, which reads back as 0x1234: the new byte
// is the high half for an odd byte address and the low half for an even one.
TEST_F(Values, ByteWriteMerge) {
    const struct {
        bool multi;
        int regType, byteAddr;
        int image; // index in images(), -1 for none
        quint16 merged;
    } cases[] = {
        {false, 4, 7, kHolding + 3, 0x5A34}, {false, 4, 6, kHolding + 3, 0x125A},
        {false, 5, 7, kExt + 3, 0x5A34},     {false, 5, 6, kExt + 3, 0x125A},
        {true, 4, 7, -1, 0x5A34},            {true, 5, 6, -1, 0x125A},
        {false, 4, 2048, -1, 0x125A},        {false, 5, 16384, -1, 0x125A}, // past the image
        {false, 4, -2, -1, 0x125A},          {true, 4, -1, -1, 0x5A34},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.byteAddr);
        info.multiStation = c.multi;
        RW_VAR var = writeVar(4, c.regType, c.byteAddr, bytes({0x5A}));
        var.aux0 = -1;
        Protocol read, write;
        read.var = var;
        write.frame = bytes({0, 0, 0, 0, 0, 6, 4, 6, 0, 3, 0, 0});
        d.protocolQueue = {read, write};
        d.writeQueue = {writeVar(4, c.regType, c.byteAddr, bytes({0x77}))}; // not where the byte comes from
        const std::vector<quint16> expected = c.image < 0 ? images() : imagesWith({{c.image, c.merged}});
        const int records = d.extendList.size();
        QByteArray reply = bytes({0, 0, 0, 0, 0, 5, 4, 3, 2, 0x12, 0x34});
        d.SaveToLocalDataErea(&reply);
        EXPECT_EQ(images(), expected);
        EXPECT_EQ(d.protocolQueue[1].frame.mid(10), bytes({c.merged >> 8, c.merged & 0xFF}));
        if (c.multi && c.byteAddr >= 0)
            EXPECT_EQ(record(4, getPlcType(c.regType), 3), bytes({c.merged & 0xFF, c.merged >> 8}));
        else
            EXPECT_EQ(d.extendList.size(), records);

        d.protocolQueue = {read}; // the write frame already gone: nothing at all
        d.SaveToLocalDataErea(&reply);
        EXPECT_EQ(images(), expected);
    }
}

// Images: Input[3] 0xA1B2, Holding[3] 0x1234, Holding[4..5] 0x5678 0x1234,
// Ext[3] 0xCAFE, Holding[1023] 0xBEEF, and sentinels right behind the ends of
// InputImage and HoldingImage.
TEST_F(Values, ReadsFromImages) {
    d.InputImage[3] = 0xA1B2;
    d.HoldingImage[0] = 0xDEAD;
    d.HoldingImage[3] = d.HoldingImage[5] = 0x1234;
    d.HoldingImage[4] = 0x5678;
    d.HoldingImage[1023] = 0xBEEF;
    d.ExtHoldingImage[0] = 0xDEAD;
    d.ExtHoldingImage[3] = 0xCAFE;
    const struct {
        int regType;
        const char *address;
        int count;
        QByteArray expected;
    } cases[] = {
        {7, "3", 1, bytes({0x34, 0x12})},
        {6, "3", 1, bytes({0xB2, 0xA1})},
        {8, "3", 1, bytes({0xFE, 0xCA})},
        {4, "7", 2, bytes({0x12, 0, 0x78, 0})}, // odd byte high half, even byte low half
        {1, "6.0", 8, bytes({0, 0, 1, 0, 1, 1, 0, 0})},
        {10, "2", 2, bytes({0x78, 0x56, 0x34, 0x12})},
        {10, "2", 1, bytes({0x34, 0x12})}, // one register: the upper one
        {10, "2", 3, bytes({0x78, 0x56, 0x34, 0x12})}, // an odd last register is dropped
        {11, "1", 2, bytes({0, 0, 0xFE, 0xCA})},
        {7, "3", 0, QByteArray()},
        {12, "3", 1, QByteArray()},
        // out of the image: zero bytes in the layout of the kind
        {7, "1023", 3, bytes({0xEF, 0xBE, 0, 0, 0, 0})},
        {8, "8192", 1, bytes({0, 0})},
        {4, "2048", 1, bytes({0, 0})},
        {1, "2048.0", 2, bytes({0, 0})},
        {10, "512", 2, bytes({0, 0, 0, 0})},
        {10, "511", 1, bytes({0xEF, 0xBE})},
        {10, "2147483647", 2, bytes({0, 0, 0, 0})},
        {1, "268435455.7", 2, bytes({0, 0})},
    };
    for (const auto &c : cases)
        for (int station : {1, 77}) // the station does not matter with one station
            EXPECT_EQ(get(c.regType, c.address, c.count, station).toHex(), c.expected.toHex())
                << "type " << c.regType << " at " << c.address << " count " << c.count;
    EXPECT_TRUE(d.extendList.isEmpty());
    EXPECT_EQ(get(1, "0.0", 65536).size(), 65536);
}

TEST_F(Values, RefusedReadsLeaveDataAlone) {
    const struct {
        int regType;
        const char *address;
        int count;
    } cases[] = {{0, "12", 1}, {7, "99999999999", 1}, {7, "1", 65537}, {10, "1", INT_MAX}};
    for (int multi : {0, 1}) {
        info.multiStation = multi;
        for (const auto &c : cases) {
            QByteArray data = bytes({9, 9});
            EXPECT_EQ(d.GetRegisterData(c.regType, QString::fromLatin1(c.address), 1, data, c.count), 0)
                << c.address << " " << c.count;
            EXPECT_EQ(data, bytes({9, 9}));
        }
    }
    EXPECT_TRUE(d.extendList.isEmpty());
}

TEST_F(Values, ReadsFromStationRecords) {
    info.multiStation = 1;
    record(1, 1, 3) = bytes({0x34, 0x12});
    record(1, 1, 4) = bytes({0x78, 0x56});
    record(2, 1, 3) = bytes({0xCD, 0xAB});
    record(1, 2, 3) = bytes({0xFE, 0xCA});
    record(1, 1, 8) = bytes({0x5A}); // bytes a record lacks read as 0
    EXPECT_EQ(get(7, "3", 1), bytes({0x34, 0x12}));
    EXPECT_EQ(get(7, "3", 1, 2), bytes({0xCD, 0xAB}));
    EXPECT_EQ(get(8, "3", 1), bytes({0xFE, 0xCA}));
    EXPECT_EQ(get(4, "7", 2), bytes({0x12, 0, 0x78, 0}));
    EXPECT_EQ(get(1, "6.0", 8), bytes({0, 0, 1, 0, 1, 1, 0, 0}));
    EXPECT_EQ(get(10, "2", 1), bytes({0x78, 0x56})); // one register: the lower one here
    EXPECT_EQ(get(7, "8", 2), bytes({0x5A, 0, 0, 0}));
    EXPECT_EQ(get(1, "16.0", 2), bytes({0, 1}));

    // Reading creates records, only inside the address range.
    const int records = d.extendList.size();
    EXPECT_EQ(get(7, "65535", 3, 9), bytes({0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(d.extendList.size(), records + 1); // only register 65535 exists
    EXPECT_EQ(get(7, "2147483647", 2, 9), bytes({0, 0, 0, 0}));
    EXPECT_EQ(get(1, "268435455.7", 2, 9), bytes({0, 0}));
    EXPECT_EQ(d.extendList.size(), records + 1);
}

// The local store of a write record: elements the value does not hold
// completely are skipped, and nothing outside an image is written (not past
// its end, where the next image starts, and not at a negative address, which
// C's division would map to register 0).
TEST_F(Values, WritesIntoImages) {
    const struct {
        int regType, regAddr, count;
        QByteArray value;
        Changes changed;
    } cases[] = {
        {7, 10, 1, bytes({0x34, 0x12}), {{kHolding + 10, 0x1234}}},
        {4, 7, 3, bytes({1, 2, 3}), {{kHolding + 3, 0x01FF}, {kHolding + 4, 0x0302}}},
        {2, 9, 1, bytes({1}), {{kExt, 0x0200}}},
        {11, 3, 1, bytes({0x78, 0x56, 0x34, 0x12}), {{kExt + 6, 0x5678}, {kExt + 7, 0x1234}}},
        {10, 20, 2, bytes({1, 0, 0, 0, 2, 0, 0, 0}), {{kHolding + 40, 1}, {kHolding + 42, 2}}},
        {1, 55, 2, bytes({2, 1}), {{kHolding + 3, 0x017F}}}, // any value but 1 clears
        {6, 0, 1, bytes({1, 1}), {}}, {12, 0, 1, bytes({1, 1}), {}}, // area 0 and unknown types
        {10, 3, 1, bytes({0x78, 0x56, 0x34}), {}},
        {7, 8, 1, bytes({0x34}), {}},
        {4, 18, 3, bytes({0x5A}), {{kHolding + 9, 0x005A}}},
        {7, 1023, 2, bytes({1, 0, 2, 0}), {{kHolding + 1023, 1}}},
        {10, 511, 2, bytes({1, 0, 0, 0, 2, 0, 0, 0}), {{kHolding + 1022, 1}}},
        {1, 16384, 1, bytes({1}), {}}, {8, 8192, 1, bytes({1, 0}), {}},
        {7, INT_MAX, 2, bytes({1, 0, 2, 0}), {}},
        {1, -1, 2, bytes({1, 1}), {{kHolding, 0x0001}}}, // element 1 is register 0's first
        {4, -1, 2, bytes({1, 1}), {{kHolding, 0x0001}}},
        {7, -1, 2, bytes({1, 1, 1, 1}), {{kHolding, 0x0101}}},
        {10, -1, 2, bytes({1, 1, 1, 1, 1, 1, 1, 1}), {{kHolding, 0x0101}, {kHolding + 1, 0x0101}}},
    };
    for (const auto &c : cases) {
        std::fill(std::begin(d.HoldingImage), std::end(d.HoldingImage), 0);
        std::fill(std::begin(d.ExtHoldingImage), std::end(d.ExtHoldingImage), 0);
        d.HoldingImage[3] = 0x00FF;
        const std::vector<quint16> expected = imagesWith(c.changed);
        RW_VAR var = writeVar(1, c.regType, c.regAddr, c.value, c.count);
        d.WriteDataToLocal(&var);
        EXPECT_EQ(images(), expected) << "type " << c.regType << " at " << c.regAddr;
    }
}

// Station records hold exactly the registers written; in a record only 0
// clears a bit and other values keep it.
TEST_F(Values, WritesIntoStationRecords) {
    info.multiStation = 1;
    EXPECT_EQ(set(7, "100", bytes({0x34, 0x12}), 1, 9), 1);
    ASSERT_EQ(d.extendList.size(), 1);
    EXPECT_EQ(std::make_tuple(d.extendList[0].station, d.extendList[0].area, d.extendList[0].value),
              std::make_tuple(9, 1, bytes({0x34, 0x12})));
    set(11, "50", bytes({0x78, 0x56, 0x34, 0x12}), 1, 9);
    EXPECT_EQ(record(9, 2, 100) + record(9, 2, 101), bytes({0x78, 0x56, 0x34, 0x12}));
    record(9, 1, 3) = bytes({0x34, 0x12, 0, 0});
    set(4, "7", bytes({0x5A}), 1, 9);
    EXPECT_EQ(record(9, 1, 3), bytes({0x34, 0x5A}));
    record(9, 1, 0) = bytes({0x03, 0});
    set(1, "0.0", bytes({2, 0, 1}), 3, 9);
    EXPECT_EQ(record(9, 1, 0), bytes({0x05, 0}));

    const int records = d.extendList.size();
    set(7, "65536", bytes({1, 0}), 1, 9);
    set(10, "40000", bytes({1, 0, 0, 0}), 1, 9);
    EXPECT_EQ(d.extendList.size(), records);
    EXPECT_TRUE(std::all_of(d.HoldingImage, d.HoldingImage + kHoldingRegs, [](quint16 r) { return r == 0; }));
}

// Words and double words go in pieces of the request size, bits and bytes one
// element per record; missing value bytes are sent as 0.
TEST_F(Values, QueuedWritesSplitIntoPieces) {
    info.writeMode = 2;
    QByteArray counting;
    for (int i = 0; i < 20; ++i)
        counting.append(static_cast<char>(i));
    struct Piece {
        int regAddr, count;
        QByteArray value;
    };
    const struct {
        int regType;
        const char *address;
        int count, maxRegs;
        QByteArray value;
        std::vector<Piece> pieces;
    } cases[] = {
        {8, "100", 10, 4, counting,
         {{100, 4, counting.mid(0, 8)}, {104, 4, counting.mid(8, 8)}, {108, 2, counting.mid(16, 4)}}},
        {10, "3", 5, 4, bytes({1, 2, 3, 4, 5}), {{3, 3, bytes({1, 2, 3, 4, 5, 0, 0, 0, 0, 0, 0, 0})}}},
        {11, "0", 6, 2, counting.left(12), {{0, 2, counting.left(8)}, {2, 1, counting.mid(8, 4)}}},
        {1, "2.3", 3, 100, bytes({1, 0, 1}), {{19, 1, bytes({1})}, {20, 1, bytes({0})}, {21, 1, bytes({1})}}},
        {4, "7", 2, 100, bytes({0x5A}), {{7, 1, bytes({0x5A})}, {8, 1, bytes({0})}}},
        {7, "2147483647", 1, 100, bytes({1, 0}), {{INT_MAX, 1, bytes({1, 0})}}},
        {7, "0", 65536, 100000, QByteArray(), {{0, 65536, QByteArray(2 * 65536, '\0')}}},
    };
    for (const auto &c : cases) {
        d.writeQueue.clear();
        info.maxRegsPerFrame = c.maxRegs;
        EXPECT_EQ(set(c.regType, c.address, c.value, c.count), int(c.pieces.size()));
        ASSERT_EQ(d.writeQueue.size(), int(c.pieces.size()));
        for (int i = 0; i < d.writeQueue.size(); ++i) {
            const RW_VAR &w = d.writeQueue[i];
            EXPECT_EQ(std::make_tuple(w.regAddr, w.count, w.value.toHex()),
                      std::make_tuple(c.pieces[i].regAddr, c.pieces[i].count, c.pieces[i].value.toHex()))
                << "type " << c.regType << " piece " << i;
        }
    }
}

TEST_F(Values, RefusedWritesQueueAndStoreNothing) {
    info.writeMode = 2;
    d.lastFailed = true;
    const struct {
        int regType;
        const char *address;
        int count;
    } cases[] = {
        {6, "1", 1}, {0, "1.1", 1}, {12, "1", 1}, {1, "5", 1}, {7, "1", 0}, {10, "1", -1},
        {7, "1", 65537}, {10, "1", INT_MAX}, {7, "2147483647", 2}, {4, "2147483647", 2},
    };
    for (const auto &c : cases)
        EXPECT_EQ(set(c.regType, c.address, bytes({1, 1, 1, 1}), c.count), 0)
            << c.regType << " " << c.address << " " << c.count;
    EXPECT_TRUE(d.writeQueue.isEmpty());
    EXPECT_TRUE(std::all_of(d.HoldingImage, d.HoldingImage + kHoldingRegs, [](quint16 r) { return r == 0; }));

    Modbus_RTU_Master unset; // no settings record
    EXPECT_EQ(unset.SetRegisterData(QString(), 7, QStringLiteral("1"), 1, bytes({1, 0}), 1, 0, 0), 0);
}

// The store shows a queued value once: when its frame is built, or at once
// while the last exchange has failed (then not again when framed). A remote
// write shows at once whatever the last exchange did.
TEST_F(Values, StoreShowsAQueuedValueOnce) {
    info.writeMode = 2;
    set(7, "10", bytes({0x34, 0x12}), 1);
    EXPECT_EQ(d.HoldingImage[10], 0);
    RW_VAR framed = d.writeQueue.takeFirst();
    d.WriteRegister(&framed);
    EXPECT_EQ(d.HoldingImage[10], 0x1234);

    d.lastFailed = true;
    info.maxRegsPerFrame = 1;
    set(7, "20", bytes({0x34, 0x12, 0x78, 0x56}), 2);
    set(1, "0.0", bytes({1, 1}), 2);
    EXPECT_EQ(std::make_tuple(int(d.HoldingImage[20]), int(d.HoldingImage[21]), int(d.HoldingImage[0])),
              std::make_tuple(0x1234, 0x5678, 0x0003));
    RW_VAR later = writeVar(1, 8, 10, bytes({0x78, 0x56}));
    d.WriteRegister(&later);
    EXPECT_EQ(d.ExtHoldingImage[10], 0);

    info.remoteMode = 1;
    callbackLog() = CallbackLog{};
    RW_VAR remote = writeVar(1, 7, 30, bytes({0x34, 0x12}));
    d.Remote_WriteVar(&remote);
    EXPECT_EQ(d.HoldingImage[30], 0x1234);
    EXPECT_TRUE(log().notifies.empty());
}

} // namespace
