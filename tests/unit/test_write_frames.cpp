// Modbus TCP write frames, byte by byte, and what WriteRegister does around
// them: the host notification and the local store.
#include "driver_fixture.h"

#include <climits>
#include <string>
#include <vector>

namespace {

struct ExpectedFrame {
    QByteArray bytes;
    int replyLen;
};

struct WriteCase {
    std::string name;
    int regType;
    int regAddr;
    int station;
    int count;
    QByteArray value;
    std::vector<ExpectedFrame> frames;
};

void PrintTo(const WriteCase &c, std::ostream *os) { *os << c.name; }

// Frame with the 6-byte Modbus TCP prefix (transaction 0, protocol 0, length).
QByteArray mbap(int length, std::initializer_list<int> rest) {
    QByteArray frame = bytes({0, 0, 0, 0, length >> 8, length & 0xFF});
    return frame + bytes(rest);
}

QByteArray filled(int size, char byte) { return QByteArray(size, byte); }

std::vector<WriteCase> writeCases() {
    // 200 words: byte count field keeps only the low 8 bits of 400.
    QByteArray wide = mbap(7 + 400, {1, 16, 0, 0, 0, 200, 400 & 0xFF});
    wide += filled(400, '\x11');
    // 100 words from a one-byte value: the rest goes out as 0, nothing past the value is read.
    QByteArray sparse = mbap(7 + 200, {1, 16, 0, 0, 0, 100, 200, 0, 0x7F});
    sparse += filled(198, '\0');
    return {
        {"WordOneRegister", 7, 100, 1, 1, bytes({0x34, 0x12}),
         {{mbap(6, {1, 6, 0, 100, 0x12, 0x34}), 12}}},
        {"WordArea2", 8, 100, 1, 1, bytes({0x34, 0x12}),
         {{mbap(6, {1, 6, 0x13, 0xEC, 0x12, 0x34}), 12}}},
        {"WordsFunction16", 7, 100, 1, 2, bytes({1, 2, 3, 4}),
         {{mbap(11, {1, 16, 0, 100, 0, 2, 4, 2, 1, 4, 3}), 12}}},
        {"WordCountZero", 7, 100, 1, 0, bytes({1, 2}),
         {{mbap(7, {1, 16, 0, 100, 0, 0, 0}), 12}}},
        {"WordValueShort", 7, 100, 1, 2, bytes({1, 2, 3}),
         {{mbap(11, {1, 16, 0, 100, 0, 2, 4, 2, 1, 0, 3}), 12}}},
        {"WordValueMuchShorter", 7, 0, 1, 100, bytes({0x7F}), {{sparse, 12}}},
        {"WordValueEmpty", 7, 100, 1, 1, QByteArray(), {{mbap(6, {1, 6, 0, 100, 0, 0}), 12}}},
        {"WordByteCountWraps", 7, 0, 1, 200, filled(400, '\x11'), {{wide, 12}}},
        {"WordAddressLow16Bits", 7, 65536 + 5, 1, 1, bytes({1, 0}),
         {{mbap(6, {1, 6, 0, 5, 0, 1}), 12}}},
        {"WordArea2AddressWraps", 8, 61000, 1, 1, bytes({1, 0}),
         {{mbap(6, {1, 6, 464 >> 8, 464 & 0xFF, 0, 1}), 12}}},
        {"WordBroadcast", 7, 100, 0, 1, bytes({0x34, 0x12}),
         {{mbap(6, {0, 6, 0, 100, 0x12, 0x34}), 0}}},
        {"UnitIsLow8BitsOfStation", 7, 1, 300, 1, bytes({0, 0}),
         {{mbap(6, {0x2C, 6, 0, 1, 0, 0}), 12}}},
        {"DoubleWord", 10, 3, 1, 1, bytes({0x78, 0x56, 0x34, 0x12}),
         {{mbap(11, {1, 16, 0, 6, 0, 2, 4, 0x56, 0x78, 0x12, 0x34}), 12}}},
        {"DoubleWordArea2", 11, 3, 1, 1, bytes({0x78, 0x56, 0x34, 0x12}),
         {{mbap(11, {1, 16, 0x13, 0x8E, 0, 2, 4, 0x56, 0x78, 0x12, 0x34}), 12}}},
        {"DoubleWordValueShort", 10, 0, 1, 1, bytes({0x78}),
         {{mbap(11, {1, 16, 0, 0, 0, 2, 4, 0, 0x78, 0, 0}), 12}}},
        {"DoubleWordCountZero", 10, 0, 1, 0, QByteArray(), {{mbap(7, {1, 16, 0, 0, 0, 0, 0}), 12}}},
        // 2 x regAddr is computed without overflow: only its low 16 bits go out.
        {"DoubleWordHugeAddress", 10, INT_MAX, 1, 1, bytes({1, 0, 0, 0}),
         {{mbap(11, {1, 16, 0xFF, 0xFE, 0, 2, 4, 0, 1, 0, 0}), 12}}},
        {"DoubleWordBroadcast", 10, 3, 0, 1, bytes({1, 2, 3, 4}),
         {{mbap(11, {0, 16, 0, 6, 0, 2, 4, 2, 1, 4, 3}), 0}}},
        {"BitOn", 1, 99, 1, 1, bytes({1}), {{mbap(6, {1, 5, 0, 99, 0xFF, 0}), 12}}},
        {"BitAnyNonZeroIsOn", 1, 99, 1, 1, bytes({2}), {{mbap(6, {1, 5, 0, 99, 0xFF, 0}), 12}}},
        {"BitOff", 1, 99, 1, 1, bytes({0}), {{mbap(6, {1, 5, 0, 99, 0, 0}), 12}}},
        {"BitEmptyValueIsOff", 1, 99, 1, 1, QByteArray(), {{mbap(6, {1, 5, 0, 99, 0, 0}), 12}}},
        {"BitCountIgnored", 2, 3, 1, 7, bytes({1, 1}),
         {{mbap(6, {1, 5, 0x13, 0x8B, 0xFF, 0}), 12}}},
        {"BitBroadcast", 1, 99, 0, 1, bytes({1}), {{mbap(6, {0, 5, 0, 99, 0xFF, 0}), 0}}},
        {"ByteReadThenWrite", 4, 7, 3, 1, bytes({0x5A}),
         {{mbap(6, {3, 3, 0, 3, 0, 1}), 11}, {mbap(6, {3, 6, 0, 3, 0, 0}), 12}}},
        {"ByteArea2", 5, 7, 3, 1, bytes({0x5A}),
         {{mbap(6, {3, 3, 0x13, 0x8B, 0, 1}), 11}, {mbap(6, {3, 6, 0x13, 0x8B, 0, 0}), 12}}},
    };
}

class WriteFrames : public DriverTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteFrames, QueuesExactFrames) {
    const WriteCase &c = GetParam();
    RW_VAR var;
    var.hostTag0 = 5;
    var.accessKind = 1;
    var.regType = c.regType;
    var.regAddr = c.regAddr;
    var.station = c.station;
    var.count = c.count;
    var.value = c.value;
    var.label = QStringLiteral("label");
    info.framesDone = 9;
    info.framesExpected = 9;

    d.WriteRegister(&var);

    ASSERT_EQ(d.protocolQueue.size(), int(c.frames.size()));
    for (int i = 0; i < d.protocolQueue.size(); ++i) {
        const Protocol &p = d.protocolQueue[i];
        EXPECT_EQ(p.frame.toHex(), c.frames[i].bytes.toHex()) << "frame " << i;
        EXPECT_EQ(p.frameLen, p.frame.size());
        EXPECT_EQ(p.replyLen, c.frames[i].replyLen);
        EXPECT_EQ(p.replyHeadLen, 0);
        EXPECT_EQ(p.dataLen, 0);
        EXPECT_EQ(p.var.value, c.value);
        EXPECT_EQ(p.var.label, var.label);
    }
    EXPECT_EQ(info.framesExpected, int(c.frames.size()));
    EXPECT_EQ(info.framesDone, 0);
    EXPECT_EQ(log().notifies, std::vector<int>{5});
}

INSTANTIATE_TEST_SUITE_P(AllKinds, WriteFrames, ::testing::ValuesIn(writeCases()),
                         [](const auto &info) { return info.param.name; });

using WriteRegisterTest = DriverTest;

RW_VAR writeVar(int regType, int regAddr, int station, QByteArray value, int count = 1) {
    RW_VAR var;
    var.hostTag0 = 7;
    var.accessKind = 1;
    var.regType = regType;
    var.regAddr = regAddr;
    var.station = station;
    var.count = count;
    var.value = value;
    return var;
}

// The read half carries the variable marked for storing its reply (read,
// aux0 -1); the write half carries it unchanged.
TEST_F(WriteRegisterTest, ByteWriteMarksOnlyTheReadCopy) {
    RW_VAR var = writeVar(4, 6, 3, bytes({0x5A}));
    d.WriteRegister(&var);
    ASSERT_EQ(d.protocolQueue.size(), 2);
    EXPECT_EQ(d.protocolQueue[0].var.accessKind, 0);
    EXPECT_EQ(d.protocolQueue[0].var.aux0, -1);
    EXPECT_EQ(d.protocolQueue[1].var.accessKind, 1);
    EXPECT_EQ(d.protocolQueue[1].var.aux0, 0);
    EXPECT_EQ(var.accessKind, 1); // the queued record itself is untouched
}

// A byte write to station 0 needs a reply it cannot get: no frame, frame
// counters untouched, yet the host is told and the store shows the byte.
TEST_F(WriteRegisterTest, ByteWriteToStationZeroQueuesNothingButStillNotifiesAndStores) {
    info.framesExpected = 5;
    info.framesDone = 4;
    RW_VAR var = writeVar(4, 7, 0, bytes({0x5A}));
    d.WriteRegister(&var);
    EXPECT_TRUE(d.protocolQueue.isEmpty());
    EXPECT_EQ(info.framesExpected, 5);
    EXPECT_EQ(info.framesDone, 4);
    EXPECT_EQ(log().notifies, std::vector<int>{7});
    EXPECT_EQ(d.HoldingImage[3], 0x5A00);
}

TEST_F(WriteRegisterTest, ReadOnlyAndUnknownTypesDoNothing) {
    for (int type : {0, 3, 6, 9, 12, -1}) {
        RW_VAR var = writeVar(type, 1, 1, bytes({1, 1, 1, 1}));
        d.WriteRegister(&var);
    }
    EXPECT_TRUE(d.protocolQueue.isEmpty());
    EXPECT_TRUE(log().notifies.empty());
    for (int reg = 0; reg < 4; ++reg) {
        EXPECT_EQ(d.InputImage[reg], 0);
        EXPECT_EQ(d.HoldingImage[reg], 0);
    }
}

// The store shows a framed value at once, unless the last exchange failed
// (then SetRegisterData has already stored it when it was queued).
TEST_F(WriteRegisterTest, LocalStoreFollowsLastFailed) {
    RW_VAR first = writeVar(7, 10, 1, bytes({0x34, 0x12}));
    d.WriteRegister(&first);
    EXPECT_EQ(d.HoldingImage[10], 0x1234);

    d.lastFailed = true;
    RW_VAR second = writeVar(8, 10, 1, bytes({0x78, 0x56}));
    d.WriteRegister(&second);
    EXPECT_EQ(d.ExtHoldingImage[10], 0);
    EXPECT_EQ(d.protocolQueue.size(), 2);
}

TEST_F(WriteRegisterTest, MissingNotifyCallbackIsSkipped) {
    d.RegistCallBackFuncIntf(nullptr, nullptr);
    RW_VAR var = writeVar(7, 10, 1, bytes({0x34, 0x12}));
    d.WriteRegister(&var);
    EXPECT_EQ(d.protocolQueue.size(), 1);
}

} // namespace
