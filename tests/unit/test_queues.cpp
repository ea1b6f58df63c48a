// The one-shot read queue (conversion, cutting, refusals, duplicates, cap),
// the write queue's in-place merge, and the read-list rebuild.
#include "driver_fixture.h"

#include <climits>
#include <tuple>

namespace {

using Request = std::tuple<int, int, int, int>; // station, regType (area), regAddr, count

std::vector<Request> requests(const QList<RW_VAR> &queue) {
    std::vector<Request> out;
    for (const RW_VAR &r : queue)
        out.emplace_back(r.station, r.regType, r.regAddr, r.count);
    return out;
}

using Queues = DriverTest;

TEST_F(Queues, OneShotReadsConvertToRegistersAndCut) {
    const struct {
        int regType;
        const char *address;
        int count, maxRegs;
        std::vector<Request> expected;
    } cases[] = {
        {7, "100", 250, 100, {{1, 1, 100, 100}, {1, 1, 200, 100}, {1, 1, 300, 50}}},
        {0, "3.5", 10, 100, {{1, 0, 1, 2}}}, // bit 29: offset 13 + 10 bits span two registers
        {2, "2.0", 16, 100, {{1, 2, 1, 1}}},
        {4, "5", 2, 100, {{1, 1, 2, 2}}},    // byte 5 is the high half of register 2
        {9, "10", 3, 100, {{1, 0, 20, 4}}},  // count in registers, rounded up to whole double words
        {6, "0", 3, 0, {{1, 0, 0, 1}, {1, 0, 1, 1}, {1, 0, 2, 1}}}, // request size 0 counts as 1
        {12, "x", 3, 100, {{1, 12, 7, 3}}},  // unknown type: the host's register terms
    };
    for (const auto &c : cases) {
        d.onceQueue.clear();
        info.maxRegsPerFrame = c.maxRegs;
        RW_VAR var = variable(c.regType, c.address, c.count);
        var.regAddr = 7;
        var.station = 9; // replaced by the default station
        var.aux0 = var.aux1 = 7;
        EXPECT_EQ(d.AddListOnceReadVar(&var, 0), int(c.expected.size()));
        EXPECT_EQ(requests(d.onceQueue), c.expected) << "type " << c.regType << " at " << c.address;
        EXPECT_EQ(std::make_pair(d.onceQueue.last().aux0, d.onceQueue.last().aux1), std::make_pair(0, 0));
        EXPECT_EQ(requests({var}), std::vector<Request>{c.expected.back()}); // the caller sees the last
    }
}

TEST_F(Queues, OneShotReadsRefuseUnusableAddressesAndOverflow) {
    RW_VAR queued = variable(7, "500", 1);
    d.AddListOnceReadVar(&queued, 0);
    RW_VAR unknownAtTop = variable(12, "", 1);
    unknownAtTop.regAddr = INT_MAX;
    const std::pair<RW_VAR, int> cases[] = {
        {variable(1, "12", 1), 0},            // bit address without a full stop
        {variable(7, "99999999999", 1), 0},   // address beyond 32 bits
        {variable(9, "1073741824", 1), 0},    // double-word address * 2 overflows
        {variable(7, "2147483000", 1000), 0}, // last register beyond 32 bits
        {variable(11, "0", INT_MAX), 0},      // odd count rounded up overflows
        {unknownAtTop, 0},
        {variable(7, "1", 0), 1},             // no registers: the queue's size
        {variable(12, "", INT_MIN), 1},
    };
    for (auto [var, expected] : cases)
        EXPECT_EQ(d.AddListOnceReadVar(&var, 0), expected) << var.regType << " " << var.count;
}

TEST_F(Queues, OneShotDuplicatesAreDroppedByHostKeysStationAndRegisters) {
    info.maxRegsPerFrame = 10;
    const std::pair<RW_VAR, int> cases[] = {
        {variable(7, "10", 10, 1), 1},
        {variable(7, "10", 10, 1), 1},
        {variable(7, "10", 10, 2), 2}, // other host key
        {variable(7, "10", 11, 1), 3}, // other count
        {variable(7, "0", 30, 1), 5},  // the waiting middle piece is skipped
    };
    for (auto [var, expected] : cases)
        EXPECT_EQ(d.AddListOnceReadVar(&var, 0), expected);
    info.multiStation = 1; // now the record's own station counts
    RW_VAR station8 = variable(7, "10", 10, 1);
    station8.station = 8;
    EXPECT_EQ(d.AddListOnceReadVar(&station8, 0), 6);
}

TEST_F(Queues, OneShotQueueHoldsAtMost1024EvenForHugeCounts) {
    for (int i = 0; i < kQueueCap - 2; ++i)
        d.onceQueue.append(readVar(1, 1, 0, 1, i));
    info.maxRegsPerFrame = 1;
    RW_VAR huge = variable(7, "0", INT_MAX, -1); // must end at the cap, not after 2^31 pieces
    EXPECT_EQ(d.AddListOnceReadVar(&huge, 0), kQueueCap);
    EXPECT_EQ(requests(d.onceQueue.mid(kQueueCap - 2)), (std::vector<Request>{{1, 1, 0, 1}, {1, 1, 1, 1}}));
    RW_VAR unchanged = variable(7, "not parsed", 500);
    EXPECT_EQ(d.AddListOnceReadVar(&unchanged, 1), kQueueCap + 1); // mode 1: no conversion, no cap
    EXPECT_EQ(requests({d.onceQueue.last()}), (std::vector<Request>{{0, 7, 0, 500}}));
}

RW_VAR queuedWrite(int regAddr, int tag, int station = 1) {
    return writeVar(station, 7, regAddr, QByteArray::number(tag), 1, tag);
}

TEST_F(Queues, WritesMergeInPlaceButNeverIntoTheHead) {
    const struct {
        RW_VAR var;
        int mode;
        std::vector<int> expected;
    } steps[] = {
        {queuedWrite(10, 1), 0, {1}},
        {queuedWrite(10, 2), 0, {1, 2}},          // matches the head only: appended
        {queuedWrite(20, 3), 0, {1, 2, 3}},
        {queuedWrite(20, 4), 1, {1, 2, 3, 4}},    // mode 1 always appends
        {queuedWrite(10, 5), 0, {1, 5, 3, 4}},    // replaces the first match after the head
        {queuedWrite(20, 7, 2), 0, {1, 5, 3, 4, 7}}, // other station: another target
    };
    for (auto step : steps) {
        EXPECT_EQ(d.AddListWriteVar(&step.var, step.mode), int(step.expected.size()));
        EXPECT_EQ(tags(d.writeQueue), step.expected);
    }
    EXPECT_EQ(d.writeQueue[1].value, QByteArray("5"));
    while (d.writeQueue.size() < kQueueCap)
        d.writeQueue.append(queuedWrite(1000 + d.writeQueue.size(), 0));
    RW_VAR fresh = queuedWrite(5000, 8);
    EXPECT_EQ(d.AddListWriteVar(&fresh, 0), kQueueCap); // full: dropped
    RW_VAR update = queuedWrite(20, 9);
    EXPECT_EQ(d.AddListWriteVar(&update, 0), kQueueCap); // full, but still merged
    EXPECT_EQ(d.writeQueue[2].hostTag0, 9);
}

TEST_F(Queues, RebuildMergesBlocks) {
    const struct {
        bool multi;
        int maxRegs;
        QList<HOSTVAR> vars;
        std::vector<Request> expected;
    } cases[] = {
        {false, 60, {hostVar(7, "50", 10), hostVar(7, "0", 10)}, {{1, 1, 0, 60}}}, // gap within the size
        {false, 59, {hostVar(7, "0", 10), hostVar(7, "50", 10)}, {{1, 1, 0, 10}, {1, 1, 50, 10}}},
        {false, 100, {hostVar(7, "0", 20), hostVar(7, "5", 5), hostVar(7, "15", 10)}, {{1, 1, 0, 25}}},
        {false, 10, {hostVar(7, "0", 25), hostVar(7, "5", 2), hostVar(7, "30", 1)}, // longer stays whole
         {{1, 1, 0, 25}, {1, 1, 30, 1}}},
        {false, 100, {hostVar(8, "0", 1), hostVar(7, "3", 1), hostVar(6, "5", 1), hostVar(4, "1", 1)},
         {{1, 0, 5, 1}, {1, 1, 0, 4}, {1, 2, 0, 1}}}, // areas apart, in area order
        {false, 100, {hostVar(1, "1.3", 4), hostVar(10, "2", 3), hostVar(4, "17", 2)},
         {{1, 1, 0, 10}}}, // bits 11..14 in 0, double words in 4..7, bytes 17..18 in 8..9
        {false, 100, // unusable variables are left out
         {hostVar(1, "12", 1), hostVar(12, "0", 1), hostVar(7, "0", 0), hostVar(7, "99999999999", 1),
          hostVar(9, "1073741824", 1), hostVar(7, "2147483647", 1), hostVar(7, "40", 1)},
         {{1, 1, 40, 1}}},
        {true, 10, {hostVar(7, "0", 25, 1)}, {{1, 1, 0, 10}, {1, 1, 10, 10}, {1, 1, 20, 5}}},
        {true, 100, {hostVar(7, "0", 2, 2), hostVar(7, "0", 2, 1), hostVar(7, "5", 2, 2)},
         {{2, 1, 0, 7}, {1, 1, 0, 2}}}, // stations in order of first appearance
        // area * 255 + station: area 0 at station 255 and area 1 at station 0
        // share a group, and the block opened by the first takes in the second
        {true, 100, {hostVar(6, "0", 2, 255), hostVar(7, "1", 2, 0)}, {{255, 0, 0, 3}}},
        {true, 100, {hostVar(200, "5", 1, 1), hostVar(11, "0", INT_MAX, 1), hostVar(7, "3", 1, 1)},
         {{1, 1, 3, 1}}},
    };
    for (const auto &c : cases) {
        info.multiStation = c.multi;
        info.maxRegsPerFrame = c.maxRegs;
        QList<HOSTVAR> vars = c.vars;
        EXPECT_EQ(d.ReCreatReadVarList(&vars), c.multi ? int(c.expected.size()) : 0);
        EXPECT_EQ(requests(d.readList), c.expected) << c.vars.size() << " variables";
    }
}

TEST_F(Queues, RebuiltBlocksStartFromTheTemplateAndTheOpener) {
    info.remoteMode = 1;
    info.localNodeId = 6;
    d.cycleProgress = 9;
    info.cycleDone = 1;
    d.readList.append(RW_VAR{}); // replaced, not kept
    QList<HOSTVAR> vars{hostVar(7, "20", 2, 0, "opener"), hostVar(7, "21", 4, 0, "joiner")};
    d.ReCreatReadVarList(&vars);
    ASSERT_EQ(d.readList.size(), 1);
    const RW_VAR &b = d.readList[0];
    EXPECT_EQ(std::make_tuple(b.hostTag0, b.hostTag1, b.accessKind, b.remoteMode, b.nodeId, b.count),
              std::make_tuple(0, -1, 0, 1, 6, 5));
    EXPECT_EQ(std::make_pair(b.label, b.address), std::make_pair(QString("opener"), QString("20")));
    EXPECT_EQ(std::make_pair(d.cycleProgress, info.cycleDone), std::make_pair(0, 0));

    QList<HOSTVAR> none;
    info.cycleDone = 1;
    EXPECT_EQ(d.ReCreatReadVarList(&none), 0);
    EXPECT_TRUE(d.readList.isEmpty());
    EXPECT_EQ(info.cycleDone, 1); // an empty plan starts no new pass

    // Equal registers: one station keeps the host's order, so the first opens
    // the block; several stations take the one added last first.
    vars = {hostVar(7, "4", 5, 1, "first"), hostVar(7, "4", 3, 1, "second")};
    d.ReCreatReadVarList(&vars);
    EXPECT_EQ(d.readList[0].label, QStringLiteral("first"));
    info.multiStation = 1;
    d.ReCreatReadVarList(&vars);
    EXPECT_EQ(d.readList[0].label, QStringLiteral("second"));
    EXPECT_EQ(d.readList[0].count, 5);
}

} // namespace
