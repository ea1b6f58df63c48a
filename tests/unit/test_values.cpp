// Reply storage into the images and the per-station registers, the
// byte-write merge, and host value reads and writes against both stores.
#include "driver_fixture.h"

#include <climits>

namespace {

const int kInput = 0, kHolding = 1024, kExt = 2048; // offsets in images()
using Changes = std::vector<std::pair<int, quint16>>; // index in images(), new value

const QByteArray kData = bytes({0x12, 0x34, 0xAB, 0xCD});

class Values : public DriverTest {
protected:
    // The three images back to back, as one station's word reads see them.
    std::vector<quint16> images() {
        const bool multi = info.multiStation;
        info.multiStation = 0;
        const QByteArray all = get(6, "0", 1024) + get(7, "0", 1024) + get(8, "0", 8192);
        info.multiStation = multi;
        std::vector<quint16> out;
        for (int i = 0; i + 1 < all.size(); i += 2)
            out.push_back(quint16(quint8(all[i]) | quint8(all[i + 1]) << 8));
        return out;
    }
    std::vector<quint16> imagesWith(const Changes &changes) {
        std::vector<quint16> all = images();
        for (const auto &change : changes)
            all[change.first] = change.second;
        return all;
    }
    // Answers a one-shot read of data.size() / 2 registers with `data`.
    int storeReply(int station, int area, int regAddr, const QByteArray &data) {
        queue({readVar(station, area, regAddr, data.size() / 2)});
        return answer(readReply(*nextFrame(), data));
    }
    void seed(int station, int area, int reg, quint16 value) { probe.area(station, area).set(reg, value); }
};

// An accepted reply's registers land in their area's image, as far as the
// image reaches; with several stations in the station's own registers, which
// span every address, and never in the images.
TEST_F(Values, BlockRepliesIntoTheStore) {
    const struct { int area, regAddr; QByteArray data; Changes changed; } cases[] = {
        {1, 10, kData, {{kHolding + 10, 0x1234}, {kHolding + 11, 0xABCD}}},
        {2, 0, kData, {{kExt, 0x1234}, {kExt + 1, 0xABCD}}},
        {0, 5, kData, {{kInput + 5, 0x1234}, {kInput + 6, 0xABCD}}},
        {1, 1023, kData, {{kHolding + 1023, 0x1234}}}, {2, 8191, kData, {{kExt + 8191, 0x1234}}},
        {1, 65534, kData, {}}, {2, 60535, kData.left(2), {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "area " << c.area << " at " << c.regAddr);
        const std::vector<quint16> expected = imagesWith(c.changed);
        EXPECT_EQ(storeReply(1, c.area, c.regAddr, c.data), 1);
        EXPECT_EQ(images(), expected);
        info.multiStation = 1;
        EXPECT_EQ(storeReply(2, c.area, c.regAddr, c.data), 1);
        const QByteArray regs = get(6 + c.area, QByteArray::number(c.regAddr).constData(), 2, 2);
        EXPECT_EQ(regs.toHex(), (bytes({0x34, 0x12, 0xCD, 0xAB}).left(c.data.size()) +
                                 QByteArray(4 - c.data.size(), '\0')).toHex());
        info.multiStation = 0;
        EXPECT_EQ(images(), expected);
    }
}

// Byte 0x5A written into register 3, which the PLC reads back as 0x1234: the
// new byte is the high half for an odd byte address and the low half for an
// even one; the merged register goes to the PLC and into the store.
TEST_F(Values, ByteWriteMerge) {
    // image: the index in images(), -1 for none.
    const struct { bool multi; int regType, byteAddr; int image; quint16 merged; } cases[] = {
        {false, 4, 7, kHolding + 3, 0x5A34}, {false, 4, 6, kHolding + 3, 0x125A},
        {false, 5, 7, kExt + 3, 0x5A34},     {false, 5, 6, kExt + 3, 0x125A},
        {true, 4, 7, -1, 0x5A34},            {true, 5, 6, -1, 0x125A},
        {false, 4, 2048, -1, 0x125A},        {false, 5, 16384, -1, 0x125A}, // past the image
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.byteAddr);
        const std::vector<quint16> expected = c.image < 0 ? images() : imagesWith({{c.image, c.merged}});
        info.multiStation = c.multi;
        queue({writeVar(4, c.regType, c.byteAddr, bytes({0x5A}))});
        EXPECT_EQ(answer(readReply(*nextFrame(), bytes({0x12, 0x34}))), 1);
        Protocol *write = d.nextRequest();
        EXPECT_EQ(write->frame.mid(10).toHex(), bytes({c.merged >> 8, c.merged & 0xFF}).toHex());
        EXPECT_EQ(answer(echo(*write)), 1);
        if (c.multi) {
            EXPECT_EQ(get(c.regType + 3, "3", 1, 4), bytes({c.merged & 0xFF, c.merged >> 8}));
        }
        EXPECT_EQ(images(), expected);
    }
}

// Element layouts, the same in the images and in a station's registers:
// Input[3] 0xA1B2, Holding[3] 0x1234, Holding[4..5] 0x5678 0x1234, Ext[3]
// 0xCAFE, Holding[1023] 0xBEEF, and the first register behind each image.
// With one station the station does not matter; reading never allocates.
TEST_F(Values, ReadsFromBothStores) {
    // multi: what several stations read where it differs
    const struct { int regType; const char *address; int count; QByteArray expected, multi = {}; } cases[] = {
        {7, "3", 1, bytes({0x34, 0x12})}, {6, "3", 1, bytes({0xB2, 0xA1})}, {8, "3", 1, bytes({0xFE, 0xCA})},
        {4, "7", 2, bytes({0x12, 0, 0x78, 0})}, // odd byte high half, even byte low half
        {1, "6.0", 8, bytes({0, 0, 1, 0, 1, 1, 0, 0})}, {10, "2", 2, bytes({0x78, 0x56, 0x34, 0x12})},
        {10, "2", 1, bytes({0x34, 0x12}), bytes({0x78, 0x56})}, // one register: the upper one of an image
        {10, "2", 3, bytes({0x78, 0x56, 0x34, 0x12})}, // an odd last register is dropped
        {11, "1", 2, bytes({0, 0, 0xFE, 0xCA})}, {7, "3", 0, QByteArray()}, {12, "3", 1, QByteArray()},
        // out of the image: zero bytes in the layout of the kind
        {7, "1023", 3, bytes({0xEF, 0xBE, 0, 0, 0, 0})}, {8, "8192", 1, bytes({0, 0})},
        {4, "2048", 1, bytes({0, 0})}, {1, "2048.0", 2, bytes({0, 0})}, {10, "512", 2, bytes({0, 0, 0, 0})},
        {10, "511", 1, bytes({0xEF, 0xBE}), bytes({0, 0})}, {10, "2147483647", 2, bytes({0, 0, 0, 0})},
        {1, "268435455.7", 2, bytes({0, 0})},
    };
    for (int multi : {0, 1}) {
        info.multiStation = multi;
        for (auto [area, reg, value] : {std::tuple<int, int, quint16>{0, 3, 0xA1B2}, {1, 0, 0xDEAD}, {1, 3, 0x1234},
                                        {1, 5, 0x1234}, {1, 4, 0x5678}, {1, 1023, 0xBEEF}, {2, 0, 0xDEAD},
                                        {2, 3, 0xCAFE}})
            seed(1, area, reg, value);
        const qint64 allocated = probe.stationRegistersAllocated();
        for (const auto &c : cases)
            for (int station : multi ? std::vector<int>{1} : std::vector<int>{1, 77, 256})
                EXPECT_EQ(get(c.regType, c.address, c.count, station).toHex(),
                          (multi && !c.multi.isNull() ? c.multi : c.expected).toHex())
                    << "type " << c.regType << " at " << c.address << " count " << c.count << " multi " << multi;
        EXPECT_EQ(get(1, "0.0", 65536, 9).size(), 65536);
        EXPECT_EQ(probe.stationRegistersAllocated(), allocated);
    }
    // Every station 0..255 has every register of every area to itself.
    for (bool reading : {false, true})
        for (int station : {0, 1, 2, 255})
            for (int area = 0; area <= 2; ++area)
                for (int reg : {0, 1, 3, 65534, 65535}) {
                    const int value = station << 8 | area << 4 | (reg & 0xF);
                    if (!reading)
                        seed(station, area, reg, quint16(value));
                    else
                        EXPECT_EQ(get(6 + area, QByteArray::number(reg).constData(), 1, station),
                                  bytes({value & 0xFF, value >> 8})) << station << " " << area << " " << reg;
                }
    EXPECT_EQ(get(7, "65535", 3, 9), bytes({0, 0, 0, 0, 0, 0}));
}

// The local-only write path: elements the value does not hold completely are
// skipped, and nothing outside an image is written. Double-word counts count
// registers, two per double word. The cases share one store, each changing what it lists.
TEST_F(Values, WritesIntoImages) {
    const struct { int regType; const char *address; int count; QByteArray value; Changes changed; } cases[] = {
        {7, "10", 1, bytes({0x34, 0x12}), {{kHolding + 10, 0x1234}}},
        {4, "7", 3, bytes({1, 2, 3}), {{kHolding + 3, 0x01FF}, {kHolding + 4, 0x0302}}},
        {2, "1.1", 1, bytes({1}), {{kExt, 0x0200}}},
        {11, "3", 1, bytes({0x78, 0x56, 0x34, 0x12}), {{kExt + 6, 0x5678}, {kExt + 7, 0x1234}}},
        {10, "20", 4, bytes({1, 0, 0, 0, 2, 0, 0, 0}), {{kHolding + 40, 1}, {kHolding + 42, 2}}},
        {10, "30", 2, bytes({1, 0, 0, 0, 2, 0, 0, 0}), {{kHolding + 60, 1}}},
        {1, "6.7", 2, bytes({2, 1}), {{kHolding + 3, 0x017F}}}, // any value but 1 clears
        {6, "0", 1, bytes({1, 1}), {}}, {12, "0", 1, bytes({1, 1}), {}}, // area 0 and unknown types
        {10, "3", 1, bytes({0x78, 0x56, 0x34}), {}}, {7, "8", 1, bytes({0x34}), {}},
        {4, "18", 3, bytes({0x5A}), {{kHolding + 9, 0x005A}}},
        {10, "511", 4, bytes({1, 0, 0, 0, 2, 0, 0, 0}), {{kHolding + 1022, 1}}},
        {7, "1023", 2, bytes({1, 0, 2, 0}), {{kHolding + 1023, 1}}},
        {1, "2048.0", 1, bytes({1}), {}}, {8, "8192", 1, bytes({1, 0}), {}},
        {7, "2147483647", 2, bytes({1, 0, 2, 0}), {}},
    };
    for (const auto &c : cases) {
        seed(1, 1, 3, 0x00FF);
        const std::vector<quint16> expected = imagesWith(c.changed);
        EXPECT_EQ(set(c.regType, c.address, c.value, c.count), 1);
        EXPECT_EQ(images(), expected) << "type " << c.regType << " at " << c.address;
    }
    // Found by fuzzing: a count near INT_MIN overflowed the register count of
    // double words. A count below 1 stores nothing, for every element kind.
    const std::vector<quint16> before = images();
    for (int type : {1, 4, 7, 10, 2, 5, 8, 11})
        for (int count : {0, -1, INT_MIN})
            set(type, type < 3 ? "0.0" : "3", bytes({0x78, 0x56, 0x34, 0x12}), count);
    EXPECT_EQ(images(), before);
    // A remote record may carry a negative element address: element -1 lies
    // in no register, element 0 in register 0.
    info.remoteMode = 1;
    const struct { int regType; QByteArray value; quint16 reg0, reg1; } negative[] = {
        {1, bytes({1, 1}), 0x0001, 0}, {4, bytes({1, 1}), 0x0001, 0}, {7, bytes({1, 1, 1, 1}), 0x0101, 0},
        {10, bytes({1, 1, 1, 1, 1, 1, 1, 1}), 0x0101, 0x0101}};
    for (const auto &c : negative) {
        seed(1, 1, 0, 0);
        seed(1, 1, 1, 0);
        queue({writeVar(1, c.regType, -1, c.value, 2)});
        answer(replyTo(*d.nextRequest()));
        EXPECT_EQ(images(), imagesWith({{kHolding, c.reg0}, {kHolding + 1, c.reg1}})) << c.regType;
    }
}

// Station registers hold the registers written and nothing beyond 65535; in
// a station's registers only 0 clears a bit and values other than 1 keep it.
TEST_F(Values, WritesIntoStationRegisters) {
    info.multiStation = 1;
    EXPECT_EQ(set(7, "100", bytes({0x34, 0x12}), 1, 9), 1);
    EXPECT_EQ(get(7, "100", 1, 9), bytes({0x34, 0x12}));
    set(11, "50", bytes({0x78, 0x56, 0x34, 0x12}), 1, 9);
    EXPECT_EQ(get(8, "100", 2, 9), bytes({0x78, 0x56, 0x34, 0x12}));
    set(7, "3", bytes({0x34, 0x12}), 1, 9);
    set(4, "7", bytes({0x5A}), 1, 9);
    EXPECT_EQ(get(7, "3", 1, 9), bytes({0x34, 0x5A}));
    set(7, "0", bytes({0x03, 0}), 1, 9);
    set(1, "0.0", bytes({2, 0, 1}), 3, 9);
    EXPECT_EQ(get(7, "0", 1, 9), bytes({0x05, 0}));

    const qint64 allocated = probe.stationRegistersAllocated();
    set(7, "65536", bytes({1, 0}), 1, 9);
    set(10, "40000", bytes({1, 0, 0, 0}), 1, 9);
    EXPECT_EQ(probe.stationRegistersAllocated(), allocated);
    EXPECT_EQ(images(), std::vector<quint16>(1024 + 1024 + 8192, 0));
}

// Words and double words go in pieces of the request size, bits and bytes one
// element per record; missing value bytes are sent as 0.
TEST_F(Values, QueuedWritesSplitIntoPieces) {
    info.writeMode = PLC_WRITE_TO_PLC;
    const QByteArray counting = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f10111213");
    struct Piece { int regAddr, count; QByteArray value; };
    const struct { int regType; const char *address; int count, maxRegs; QByteArray value;
                   std::vector<Piece> pieces; } cases[] = {
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
        probe.writes().clear();
        info.maxRegsPerFrame = c.maxRegs;
        EXPECT_EQ(set(c.regType, c.address, c.value, c.count), int(c.pieces.size()));
        ASSERT_EQ(probe.writes().size(), int(c.pieces.size()));
        for (int i = 0; i < probe.writes().size(); ++i) {
            const RW_VAR &w = probe.writes()[i];
            EXPECT_EQ(std::make_tuple(w.regAddr, w.count, w.value.toHex()),
                      std::make_tuple(c.pieces[i].regAddr, c.pieces[i].count, c.pieces[i].value.toHex()))
                << "type " << c.regType << " piece " << i;
        }
    }
}

// Refused value reads and writes answer 0 and change nothing: a read leaves
// its data alone, a write queues and stores nothing, even while the last
// exchange has failed (when a queued value shows at once). With several
// stations a station that is no unit identifier 0..255 is refused, and
// nothing is created for it.
TEST_F(Values, RefusedReadsAndWritesChangeNothing) {
    info.writeMode = PLC_WRITE_TO_PLC;
    queue({readVar(1, 1, 0, 1)});
    d.nextRequest();
    fail();
    // read: reads refuse it too
    const struct { int regType; const char *address; int count, station; bool read; } cases[] = {
        {1, "12", 1, 1, true}, {7, "99999999999", 1, 1, true}, {7, "1", 65537, 1, true},
        {10, "1", INT_MAX, 1, true}, {6, "1", 1, 1, false}, {0, "1.1", 1, 1, false}, {12, "1", 1, 1, false},
        {7, "1", 0, 1, false}, {10, "1", -1, 1, false}, {7, "2147483647", 2, 1, false},
        {4, "2147483647", 2, 1, false}, {7, "1", 1, -1, true}, {7, "1", 1, 256, true}, {1, "0.0", 1, INT_MIN, true},
    };
    for (int multi : {0, 1}) {
        info.multiStation = multi;
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << "row " << &c - cases << " multi " << multi);
            const bool refused = multi || c.station == 1; // one station takes any
            QByteArray data = bytes({9, 9});
            const int read = d.readValues(c.regType, QString::fromLatin1(c.address), c.station, data, c.count);
            EXPECT_EQ(read == 0 && data == bytes({9, 9}), c.read && refused);
            if (refused) {
                EXPECT_EQ(set(c.regType, c.address, bytes({1, 1, 1, 1}), c.count, c.station), 0);
            }
        }
    }
    EXPECT_TRUE(probe.writes().isEmpty());
    EXPECT_EQ(probe.stationRegistersAllocated(), 0);
    EXPECT_EQ(images(), std::vector<quint16>(1024 + 1024 + 8192, 0));

    ModbusTcpDriver unset; // no settings record
    EXPECT_EQ(unset.writeValues(QString(), 7, QStringLiteral("1"), 1, bytes({1, 0}), 1, 0, 0), 0);
}

// The store shows a queued value once: when its frame is built, or at once
// while the last exchange has failed (then not when framed). A remote write
// shows at once whatever the last exchange did.
TEST_F(Values, StoreShowsAQueuedValueOnce) {
    info.writeMode = PLC_WRITE_TO_PLC;
    set(7, "10", bytes({0x34, 0x12}), 1);
    EXPECT_EQ(get(7, "10", 1), bytes({0, 0}));
    exchange();
    EXPECT_EQ(get(7, "10", 1), bytes({0x34, 0x12}));

    info.retryLimit = 0;
    queue({readVar(1, 1, 0, 1)});
    d.nextRequest();
    fail();
    queue({writeVar(1, 8, 10, bytes({0x78, 0x56}))});
    d.nextRequest();
    EXPECT_EQ(get(8, "10", 1), bytes({0, 0}));
    info.maxRegsPerFrame = 1;
    set(7, "20", bytes({0x34, 0x12, 0x78, 0x56}), 2);
    set(1, "0.0", bytes({1, 1}), 2);
    EXPECT_EQ(get(7, "20", 2), bytes({0x34, 0x12, 0x78, 0x56}));
    EXPECT_EQ(get(7, "0", 1), bytes({3, 0}));

    fail(); // gives up the framed write and drops the others
    info.remoteMode = 1;
    callbacks = {};
    queue({writeVar(1, 7, 30, bytes({0x34, 0x12}))});
    d.nextRequest();
    EXPECT_EQ(get(7, "30", 1), bytes({0x34, 0x12}));
    EXPECT_TRUE(callbacks.notifies.empty());
}

} // namespace
