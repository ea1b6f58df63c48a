// Host value reads (GetRegisterData) and writes (SetRegisterData,
// WriteDataToLocal) against the register images and the per-station store.
#include "driver_fixture.h"

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

namespace {

struct ReadCase {
    std::string name;
    int regType;
    const char *address;
    int count;
    QByteArray expected;
};

void PrintTo(const ReadCase &c, std::ostream *os) { *os << c.name; }

// Images: Input[3] 0xA1B2, Holding[3] 0x1234, Holding[4..5] 0x5678 0x1234,
// Ext[3] 0xCAFE, Holding[1023] 0xBEEF, and sentinels right behind the ends of
// InputImage and HoldingImage (the images lie back to back in the object).
std::vector<ReadCase> singleStationReads() {
    return {
        {"Word", 7, "3", 1, bytes({0x34, 0x12})},
        {"WordArea0", 6, "3", 1, bytes({0xB2, 0xA1})},
        {"WordArea2", 8, "3", 1, bytes({0xFE, 0xCA})},
        {"ByteOddIsHighHalf", 4, "7", 1, bytes({0x12, 0})},
        {"ByteEvenIsLowHalf", 4, "6", 1, bytes({0x34, 0})},
        {"BytesAcrossRegisters", 4, "7", 2, bytes({0x12, 0, 0x78, 0})},
        {"ByteArea0", 3, "7", 1, bytes({0xA1, 0})},
        {"ByteArea2", 5, "6", 1, bytes({0xFE, 0})},
        {"Bit", 1, "6.2", 1, bytes({1})},
        {"Bits", 1, "6.0", 8, bytes({0, 0, 1, 0, 1, 1, 0, 0})},
        {"BitOfHighByte", 1, "7.1", 2, bytes({1, 0})},
        {"BitArea0", 0, "6.1", 1, bytes({1})},
        {"BitArea2", 2, "7.7", 1, bytes({1})},
        {"DoubleWords", 10, "2", 2, bytes({0x78, 0x56, 0x34, 0x12})},
        {"DoubleWordCountOneIsUpperRegister", 10, "2", 1, bytes({0x34, 0x12})},
        {"DoubleWordOddCountDropsLast", 10, "2", 3, bytes({0x78, 0x56, 0x34, 0x12})},
        {"DoubleWordArea0", 9, "1", 2, bytes({0, 0, 0xB2, 0xA1})},
        {"DoubleWordArea2", 11, "1", 2, bytes({0, 0, 0xFE, 0xCA})},
        {"CountZero", 7, "3", 0, QByteArray()},
        {"CountNegative", 10, "2", -3, QByteArray()},
        {"UnknownType", 12, "3", 1, QByteArray()},
        // Out of the image: zero bytes in the layout of the kind.
        {"WordPastEnd", 7, "1023", 3, bytes({0xEF, 0xBE, 0, 0, 0, 0})},
        {"WordArea0PastEnd", 6, "1024", 1, bytes({0, 0})},
        {"WordArea2PastEnd", 8, "8192", 1, bytes({0, 0})},
        {"BytePastEnd", 4, "2048", 1, bytes({0, 0})},
        {"BitPastEnd", 1, "2048.0", 2, bytes({0, 0})},
        {"DoubleWordPastEnd", 10, "512", 2, bytes({0, 0, 0, 0})},
        {"DoubleWordCountOneLastRegister", 10, "511", 1, bytes({0xEF, 0xBE})},
        {"HugeWordAddress", 7, "2147483647", 2, bytes({0, 0, 0, 0})},
        {"HugeDoubleWordAddress", 10, "2147483647", 2, bytes({0, 0, 0, 0})},
        {"HugeBitAddress", 1, "268435455.7", 2, bytes({0, 0})},
    };
}

class SingleStationReads : public DriverTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(SingleStationReads, ReadTheImages) {
    const ReadCase &c = GetParam();
    d.InputImage[3] = 0xA1B2;
    d.HoldingImage[0] = 0xDEAD; // directly behind InputImage
    d.HoldingImage[3] = 0x1234;
    d.HoldingImage[4] = 0x5678;
    d.HoldingImage[5] = 0x1234;
    d.HoldingImage[1023] = 0xBEEF;
    d.ExtHoldingImage[0] = 0xDEAD; // directly behind HoldingImage
    d.ExtHoldingImage[3] = 0xCAFE;
    for (int station : {1, 77}) { // the station does not matter with one station
        QByteArray data = bytes({9, 9});
        EXPECT_EQ(d.GetRegisterData(c.regType, QString::fromLatin1(c.address), station, data,
                                    c.count),
                  1);
        EXPECT_EQ(data.toHex(), c.expected.toHex()) << "station " << station;
    }
    EXPECT_TRUE(d.extendList.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SingleStationReads, ::testing::ValuesIn(singleStationReads()),
                         [](const auto &info) { return info.param.name; });

using ValueReads = DriverTest;

TEST_F(ValueReads, RefusedReadsLeaveDataAlone) {
    struct Case {
        int regType;
        const char *address;
        int count;
    } cases[] = {{0, "12", 1}, {1, "1.2.3", 1}, {7, "99999999999", 1}, {7, "1", 65537},
                 {10, "1", INT_MAX}};
    for (int multi : {0, 1}) {
        info.multiStation = multi;
        for (const Case &c : cases) {
            QByteArray data = bytes({9, 9});
            EXPECT_EQ(d.GetRegisterData(c.regType, QString::fromLatin1(c.address), 1, data,
                                        c.count),
                      0)
                << c.address << " " << c.count;
            EXPECT_EQ(data, bytes({9, 9}));
        }
    }
    EXPECT_TRUE(d.extendList.isEmpty());
}

TEST_F(ValueReads, LargestCountIsServed) {
    QByteArray data;
    EXPECT_EQ(d.GetRegisterData(1, QStringLiteral("0.0"), 1, data, 65536), 1);
    EXPECT_EQ(data.size(), 65536);
}

class MultiStationReads : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        info.multiStation = 1;
    }
    void setRecord(int station, int area, int reg, QByteArray value) {
        d.extendList[d.ExtendFindSameVar(station, area, reg)].value = value;
    }
    QByteArray read(int station, int regType, const char *address, int count) {
        QByteArray data;
        EXPECT_EQ(d.GetRegisterData(regType, QString::fromLatin1(address), station, data, count),
                  1);
        return data;
    }
};

TEST_F(MultiStationReads, EveryKindFromTheStationsRecords) {
    setRecord(1, 1, 3, bytes({0x34, 0x12}));
    setRecord(1, 1, 4, bytes({0x78, 0x56}));
    setRecord(1, 1, 5, bytes({0x34, 0x12}));
    setRecord(2, 1, 3, bytes({0xCD, 0xAB})); // another station: not read
    setRecord(1, 2, 3, bytes({0xFE, 0xCA}));
    setRecord(1, 0, 3, bytes({0xB2, 0xA1}));
    EXPECT_EQ(read(1, 7, "3", 1), bytes({0x34, 0x12}));
    EXPECT_EQ(read(2, 7, "3", 1), bytes({0xCD, 0xAB}));
    EXPECT_EQ(read(1, 8, "3", 1), bytes({0xFE, 0xCA}));
    EXPECT_EQ(read(1, 6, "3", 1), bytes({0xB2, 0xA1}));
    EXPECT_EQ(read(1, 4, "7", 2), bytes({0x12, 0, 0x78, 0}));
    EXPECT_EQ(read(1, 1, "6.0", 8), bytes({0, 0, 1, 0, 1, 1, 0, 0}));
    EXPECT_EQ(read(1, 1, "7.1", 1), bytes({1}));
    EXPECT_EQ(read(1, 10, "2", 2), bytes({0x78, 0x56, 0x34, 0x12}));
    // One register of a double word: the lower one here (the upper in an image).
    EXPECT_EQ(read(1, 10, "2", 1), bytes({0x78, 0x56}));
}

// Bytes a record does not hold read as 0.
TEST_F(MultiStationReads, ShortRecordsReadAsZero) {
    setRecord(1, 1, 3, QByteArray());
    setRecord(1, 1, 4, bytes({0x5A}));
    EXPECT_EQ(read(1, 7, "3", 2), bytes({0, 0, 0x5A, 0}));
    EXPECT_EQ(read(1, 4, "8", 2), bytes({0x5A, 0, 0, 0}));
    EXPECT_EQ(read(1, 1, "8.0", 2), bytes({0, 1}));
}

TEST_F(MultiStationReads, ReadingCreatesRecordsOnlyInsideTheAddressRange) {
    EXPECT_EQ(read(9, 7, "100", 2), bytes({0, 0, 0, 0}));
    ASSERT_EQ(d.extendList.size(), 2);
    EXPECT_EQ(d.extendList[0].station, 9);
    EXPECT_EQ(d.extendList[0].area, 1);
    EXPECT_EQ(d.extendList[0].regAddr, 100);
    EXPECT_EQ(d.extendList[1].regAddr, 101);

    EXPECT_EQ(read(9, 7, "65535", 3), bytes({0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(d.extendList.size(), 3); // only register 65535 exists
    EXPECT_EQ(read(9, 10, "40000", 2), bytes({0, 0, 0, 0}));
    EXPECT_EQ(read(9, 7, "2147483647", 2), bytes({0, 0, 0, 0}));
    EXPECT_EQ(read(9, 1, "268435455.7", 2), bytes({0, 0}));
    EXPECT_EQ(read(9, 12, "1", 2), QByteArray());
    EXPECT_EQ(d.extendList.size(), 3);
}

// --- local stores -------------------------------------------------------

class LocalStore : public DriverTest {
protected:
    int set(int regType, const char *address, QByteArray value, int count, int station = 1) {
        return d.SetRegisterData(QStringLiteral("v"), regType, QString::fromLatin1(address),
                                 station, value, count, 11, 12);
    }
};

TEST_F(LocalStore, LocalOnlyWritesEveryKindWithoutQueuing) {
    ASSERT_NE(info.writeMode, 2);
    d.HoldingImage[3] = 0x00FF;
    EXPECT_EQ(set(7, "10", bytes({0x34, 0x12}), 1), 1);
    EXPECT_EQ(set(4, "7", bytes({1, 2, 3}), 3), 1); // bytes 7, 8, 9
    EXPECT_EQ(set(2, "1.1", bytes({1}), 1), 1);     // bit 9 of register 0
    EXPECT_EQ(set(11, "3", bytes({0x78, 0x56, 0x34, 0x12}), 1), 1);
    EXPECT_EQ(set(10, "20", bytes({1, 0, 0, 0, 2, 0, 0, 0}), 2), 1); // registers 40..43
    EXPECT_EQ(d.HoldingImage[10], 0x1234);
    EXPECT_EQ(d.HoldingImage[3], 0x01FF);
    EXPECT_EQ(d.HoldingImage[4], 0x0302);
    EXPECT_EQ(d.ExtHoldingImage[0], 0x0200);
    EXPECT_EQ(d.ExtHoldingImage[6], 0x5678);
    EXPECT_EQ(d.ExtHoldingImage[7], 0x1234);
    EXPECT_EQ(d.HoldingImage[40], 1);
    EXPECT_EQ(d.HoldingImage[42], 2);
    EXPECT_TRUE(d.writeQueue.isEmpty());
}

TEST_F(LocalStore, LocalOnlyIgnoresTypesWithoutStore) {
    for (int type : {0, 3, 6, 9, 12})
        EXPECT_EQ(set(type, type < 3 ? "0.0" : "0", bytes({1, 1, 1, 1}), 1), 1);
    EXPECT_EQ(d.InputImage[0], 0);
    EXPECT_EQ(d.HoldingImage[0], 0);
}

// Elements the value does not hold completely are skipped.
TEST_F(LocalStore, IncompleteElementsAreSkipped) {
    d.HoldingImage[6] = 0x1111;
    d.HoldingImage[7] = 0x2222;
    set(10, "3", bytes({0x78, 0x56, 0x34}), 1);
    set(7, "8", bytes({0x34}), 1);
    set(4, "18", bytes({0x5A}), 3);
    EXPECT_EQ(d.HoldingImage[6], 0x1111);
    EXPECT_EQ(d.HoldingImage[7], 0x2222);
    EXPECT_EQ(d.HoldingImage[8], 0);
    EXPECT_EQ(d.HoldingImage[9], 0x005A);
    EXPECT_EQ(d.HoldingImage[10], 0);
}

// In an image any bit value but 1 clears; in a station record only 0 clears
// and other values keep the bit.
TEST_F(LocalStore, BitValuesOtherThanZeroAndOne) {
    d.HoldingImage[0] = 0x0003;
    set(1, "0.0", bytes({2, 1}), 2);
    EXPECT_EQ(d.HoldingImage[0], 0x0002);

    info.multiStation = 1;
    d.extendList[d.ExtendFindSameVar(1, 1, 0)].value = bytes({0x03, 0});
    set(1, "0.0", bytes({2, 0, 1}), 3);
    EXPECT_EQ(d.extendList[d.ExtendFindSameVar(1, 1, 0)].value, bytes({0x05, 0}));
}

// Nothing outside an image is written: not past its end, where the next image
// starts, and not at a negative address, which C's division would map to
// register 0.
TEST_F(LocalStore, NothingOutsideAnImageIsWritten) {
    d.ExtHoldingImage[0] = 0x7777; // directly behind HoldingImage
    set(7, "1023", bytes({1, 0, 2, 0}), 2);
    set(4, "2048", bytes({1}), 1);
    set(1, "2048.0", bytes({1}), 1);
    set(10, "511", bytes({1, 0, 0, 0, 2, 0, 0, 0}), 2);
    set(8, "8192", bytes({1, 0}), 1);
    set(7, "2147483647", bytes({1, 0, 2, 0}), 2);
    EXPECT_EQ(d.HoldingImage[1023], 0);
    EXPECT_EQ(d.HoldingImage[1022], 1);
    EXPECT_EQ(d.ExtHoldingImage[0], 0x7777);

    struct Case {
        int regType;
        quint16 expected; // element 1 of each write is register 0's first element
    } cases[] = {{1, 0x0001}, {4, 0x0001}, {7, 0x0101}, {10, 0x0101}};
    for (const Case &c : cases) {
        d.HoldingImage[0] = 0;
        RW_VAR var;
        var.regType = c.regType;
        var.regAddr = -1;
        var.count = 2;
        var.value = bytes({1, 1, 1, 1, 1, 1, 1, 1});
        d.WriteDataToLocal(&var);
        EXPECT_EQ(d.HoldingImage[0], c.expected) << c.regType;
    }
    EXPECT_EQ(d.InputImage[kInputRegs - 1], 0); // directly in front of HoldingImage
}

TEST_F(LocalStore, StationRecordsHoldExactlyTheWrittenRegister) {
    info.multiStation = 1;
    set(7, "100", bytes({0x34, 0x12}), 1, 9);
    ASSERT_EQ(d.extendList.size(), 1);
    EXPECT_EQ(d.extendList[0].station, 9);
    EXPECT_EQ(d.extendList[0].area, 1);
    EXPECT_EQ(d.extendList[0].value, bytes({0x34, 0x12}));

    set(11, "50", bytes({0x78, 0x56, 0x34, 0x12}), 1, 9);
    EXPECT_EQ(d.extendList[d.ExtendFindSameVar(9, 2, 100)].value, bytes({0x78, 0x56}));
    EXPECT_EQ(d.extendList[d.ExtendFindSameVar(9, 2, 101)].value, bytes({0x34, 0x12}));

    d.extendList[d.ExtendFindSameVar(9, 1, 3)].value = bytes({0x34, 0x12, 0, 0});
    set(4, "7", bytes({0x5A}), 1, 9);
    EXPECT_EQ(d.extendList[d.ExtendFindSameVar(9, 1, 3)].value.left(2), bytes({0x34, 0x5A}));

    const int records = d.extendList.size();
    set(7, "65536", bytes({1, 0}), 1, 9);
    set(10, "40000", bytes({1, 0, 0, 0}), 1, 9);
    EXPECT_EQ(d.extendList.size(), records);
    EXPECT_TRUE(std::all_of(d.HoldingImage, d.HoldingImage + kHoldingRegs,
                            [](quint16 r) { return r == 0; }));
}

// --- queued writes ------------------------------------------------------

class QueuedWrites : public LocalStore {
protected:
    void SetUp() override {
        LocalStore::SetUp();
        info.writeMode = 2;
    }
    struct Piece {
        int regAddr, count;
        QByteArray value;
    };
    void expectPieces(const std::vector<Piece> &pieces) {
        ASSERT_EQ(d.writeQueue.size(), int(pieces.size()));
        for (int i = 0; i < d.writeQueue.size(); ++i) {
            EXPECT_EQ(d.writeQueue[i].regAddr, pieces[i].regAddr) << i;
            EXPECT_EQ(d.writeQueue[i].count, pieces[i].count) << i;
            EXPECT_EQ(d.writeQueue[i].value.toHex(), pieces[i].value.toHex()) << i;
        }
    }
};

TEST_F(QueuedWrites, RecordCarriesTheHostsKeysAndSettings) {
    info.remoteMode = 1;
    info.localNodeId = 6;
    info.defaultStation = 4;
    EXPECT_EQ(set(7, "10", bytes({1, 2}), 1, 99), 1);
    const RW_VAR &w = d.writeQueue.first();
    EXPECT_EQ(w.hostTag0, 11);
    EXPECT_EQ(w.hostTag1, 12);
    EXPECT_EQ(w.accessKind, 1);
    EXPECT_EQ(w.remoteMode, 1);
    EXPECT_EQ(w.nodeId, 6);
    EXPECT_EQ(w.result, 0);
    EXPECT_EQ(w.label, QStringLiteral("v"));
    EXPECT_EQ(w.address, QStringLiteral("10"));
    EXPECT_EQ(w.regType, 7);
    EXPECT_EQ(w.station, 4); // one station: the default one
    EXPECT_EQ(w.aux0, 0);
    EXPECT_EQ(w.aux1, 0);

    info.multiStation = 1;
    set(8, "10", bytes({1, 2}), 1, 99);
    EXPECT_EQ(d.writeQueue.last().station, 99);
}

TEST_F(QueuedWrites, WordsSplitIntoPiecesOfMaxRegs) {
    info.maxRegsPerFrame = 4;
    QByteArray value;
    for (int i = 0; i < 20; ++i)
        value.append(static_cast<char>(i));
    EXPECT_EQ(set(8, "100", value, 10), 3);
    expectPieces({{100, 4, value.mid(0, 8)}, {104, 4, value.mid(8, 8)}, {108, 2, value.mid(16, 4)}});
}

// A double-word count counts registers; missing value bytes are sent as 0.
TEST_F(QueuedWrites, DoubleWordsSplitAndPad) {
    info.maxRegsPerFrame = 4;
    EXPECT_EQ(set(10, "3", bytes({1, 2, 3, 4, 5}), 5), 1);
    expectPieces({{3, 3, bytes({1, 2, 3, 4, 5, 0, 0, 0, 0, 0, 0, 0})}});

    d.writeQueue.clear();
    info.maxRegsPerFrame = 2;
    EXPECT_EQ(set(11, "0", bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), 6), 2);
    expectPieces({{0, 2, bytes({1, 2, 3, 4, 5, 6, 7, 8})}, {2, 1, bytes({9, 10, 11, 12})}});
}

TEST_F(QueuedWrites, BitsAndBytesOneRecordPerElement) {
    EXPECT_EQ(set(1, "2.3", bytes({1, 0, 1}), 3), 3);
    expectPieces({{19, 1, bytes({1})}, {20, 1, bytes({0})}, {21, 1, bytes({1})}});
    d.writeQueue.clear();
    EXPECT_EQ(set(4, "7", bytes({0x5A}), 2), 2);
    expectPieces({{7, 1, bytes({0x5A})}, {8, 1, bytes({0})}});
}

TEST_F(QueuedWrites, RefusedWritesQueueAndStoreNothing) {
    d.lastFailed = true;
    struct Case {
        int regType;
        const char *address;
        int count;
    } cases[] = {
        {6, "1", 1},           {0, "1.1", 1},         {12, "1", 1},         {1, "5", 1},
        {7, "1", 0},           {10, "1", -1},         {7, "1", 65537},      {10, "1", INT_MAX},
        {7, "2147483647", 2},  {4, "2147483647", 2},  {7, "99999999999", 1}};
    for (const Case &c : cases)
        EXPECT_EQ(set(c.regType, c.address, bytes({1, 1, 1, 1}), c.count), 0)
            << c.regType << " " << c.address << " " << c.count;
    EXPECT_TRUE(d.writeQueue.isEmpty());
    EXPECT_EQ(d.HoldingImage[1], 0);
    EXPECT_EQ(d.HoldingImage[0], 0);
}

TEST_F(QueuedWrites, LargestAddressAndCountAreServed) {
    EXPECT_EQ(set(7, "2147483647", bytes({1, 0}), 1), 1);
    EXPECT_EQ(d.writeQueue.first().regAddr, INT_MAX);
    d.writeQueue.clear();
    info.maxRegsPerFrame = 100000;
    EXPECT_EQ(set(7, "0", QByteArray(), 65536), 1);
    EXPECT_EQ(d.writeQueue.first().count, 65536);
    EXPECT_EQ(d.writeQueue.first().value.size(), 2 * 65536);
}

// The store shows a queued value at once only while the last exchange has
// failed; otherwise the frame builder stores it when it frames the write.
TEST_F(QueuedWrites, StoredAtOnceOnlyAfterAFailure) {
    set(7, "10", bytes({0x34, 0x12}), 1);
    set(1, "0.0", bytes({1}), 1);
    EXPECT_EQ(d.HoldingImage[10], 0);
    EXPECT_EQ(d.HoldingImage[0], 0);

    d.lastFailed = true;
    info.maxRegsPerFrame = 1;
    set(7, "20", bytes({0x34, 0x12, 0x78, 0x56}), 2);
    set(1, "0.0", bytes({1, 1}), 2);
    EXPECT_EQ(d.HoldingImage[20], 0x1234);
    EXPECT_EQ(d.HoldingImage[21], 0x5678);
    EXPECT_EQ(d.HoldingImage[0], 0x0003);
}

TEST(ValuesWithoutSetUp, NoSettingsRecordRefusesWrites) {
    Modbus_RTU_Master d;
    QByteArray data;
    EXPECT_EQ(d.SetRegisterData(QString(), 7, QStringLiteral("1"), 1, bytes({1, 0}), 1, 0, 0), 0);
    EXPECT_EQ(d.GetRegisterData(7, QStringLiteral("1"), 1, data, 1), 1);
    EXPECT_EQ(data, bytes({0, 0}));
}

} // namespace
