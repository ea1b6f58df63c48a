// The one-shot read queue (conversion, cutting, refusals, duplicates, cap),
// the write queue's in-place merge and cap, stations outside the unit
// identifiers, and the read-list rebuild.
#include "driver_fixture.h"

#include <climits>
#include <cstring>
#include <tuple>

namespace {

using Request = std::tuple<int, int, int, int>; // station, regType (area), regAddr, count

std::vector<Request> requests(const QList<RW_VAR> &queue) {
    std::vector<Request> out;
    for (const RW_VAR &r : queue)
        out.emplace_back(r.station, r.regType, r.regAddr, r.count);
    return out;
}

constexpr int kQueueCapacity = 1024;

using Queues = DriverTest;

// Bit 29 is offset 13 of register 1: 10 bits span two registers; byte 5 is
// the high half of register 2; a double-word count counts registers, rounded
// up to whole double words; request size 0 counts as 1; an unknown type keeps
// the host's register terms.
TEST_F(Queues, OneShotReadsConvertToRegistersAndCut) {
    struct Case { int regType; const char *address; int count, maxRegs; std::vector<Request> expected; };
    const Case cases[] = {
        {7, "100", 250, 100, {{1, 1, 100, 100}, {1, 1, 200, 100}, {1, 1, 300, 50}}},
        {0, "3.5", 10, 100, {{1, 0, 1, 2}}}, {2, "2.0", 16, 100, {{1, 2, 1, 1}}},
        {9, "10", 3, 100, {{1, 0, 20, 4}}}, {6, "0", 3, 0, {{1, 0, 0, 1}, {1, 0, 1, 1}, {1, 0, 2, 1}}},
        {4, "5", 2, 100, {{1, 1, 2, 2}}}, {12, "x", 3, 100, {{1, 12, 7, 3}}},
    };
    for (const auto &c : cases) {
        probe.onceReads().clear();
        info.maxRegsPerFrame = c.maxRegs;
        // station 9 is replaced by the default station
        RW_VAR var{0, 0, 0, 0, 0, 0, {}, QString::fromLatin1(c.address), c.regType, 7, 9, c.count, 7, 7, {}};
        EXPECT_EQ(d.queueOnceRead(&var, PLC_ADD_MERGED), int(c.expected.size()));
        EXPECT_EQ(requests(probe.onceReads()), c.expected) << "type " << c.regType << " at " << c.address;
        const RW_VAR &last = probe.onceReads().last();
        EXPECT_EQ(std::make_pair(last.aux0, last.aux1), std::make_pair(0, 0));
        EXPECT_EQ(requests({var}), std::vector<Request>{c.expected.back()}); // the caller sees the last
    }
}

// Refused: a bit address without a full stop, an address beyond 32 bits, a
// double-word address whose register (address * 2) or a last register beyond
// 32 bits, an odd double-word count rounded up beyond them, an unknown type
// at the top. No registers queue nothing: the answer is the queue's size.
TEST_F(Queues, OneShotReadsRefuseUnusableAddressesAndOverflow) {
    RW_VAR queued = variable(7, "500", 1);
    d.queueOnceRead(&queued, PLC_ADD_MERGED);
    const std::pair<RW_VAR, int> cases[] = {
        {variable(1, "12", 1), 0}, {variable(7, "99999999999", 1), 0}, {variable(9, "1073741824", 1), 0},
        {variable(7, "2147483000", 1000), 0}, {variable(11, "0", INT_MAX), 0},
        {RW_VAR{0, 0, 0, 0, 0, 0, {}, {}, 12, INT_MAX, 0, 1, 0, 0, {}}, 0},
        {variable(7, "1", 0), 1}, {variable(12, "", INT_MIN), 1},
    };
    for (auto [var, expected] : cases)
        EXPECT_EQ(d.queueOnceRead(&var, PLC_ADD_MERGED), expected) << var.regType << " " << var.count;
}

// Queued again: the same, another host key, another count, and a read whose
// middle piece is waiting (skipped).
TEST_F(Queues, OneShotDuplicatesAreDroppedByHostKeysStationAndRegisters) {
    info.maxRegsPerFrame = 10;
    const std::pair<RW_VAR, int> cases[] = {
        {variable(7, "10", 10, 1), 1}, {variable(7, "10", 10, 1), 1}, {variable(7, "10", 10, 2), 2},
        {variable(7, "10", 11, 1), 3}, {variable(7, "0", 30, 1), 5},
    };
    for (auto [var, expected] : cases)
        EXPECT_EQ(d.queueOnceRead(&var, PLC_ADD_MERGED), expected);
    info.multiStation = 1; // now the record's own station counts
    RW_VAR station8{1, 0, 0, 0, 0, 0, {}, QStringLiteral("10"), 7, 0, 8, 10, 0, 0, {}};
    EXPECT_EQ(d.queueOnceRead(&station8, PLC_ADD_MERGED), 6);
}

// A one-shot read is queued whole or not at all; a refused one is reported
// failed once, however many requests it would have made.
TEST_F(Queues, OneShotQueueHoldsAtMost1024WholeReads) {
    for (int i = 0; i < kQueueCapacity - 2; ++i)
        queue({readVar(1, 1, 0, 1, i)});
    info.maxRegsPerFrame = 1;
    RW_VAR huge = variable(7, "0", INT_MAX, -1); // must not make 2^31 pieces first
    EXPECT_EQ(d.queueOnceRead(&huge, PLC_ADD_MERGED), kQueueCapacity - 2);
    RW_VAR three = variable(7, "0", 3, -2);
    EXPECT_EQ(d.queueOnceRead(&three, PLC_ADD_MERGED), kQueueCapacity - 2);
    EXPECT_EQ(callbacks.completions, (Calls{{42, -1, 0, 2}, {42, -2, 0, 2}}));
    RW_VAR two = variable(7, "0", 2, -3);
    EXPECT_EQ(d.queueOnceRead(&two, PLC_ADD_MERGED), kQueueCapacity);
    EXPECT_EQ(requests(probe.onceReads().mid(kQueueCapacity - 2)),
              (std::vector<Request>{{1, 1, 0, 1}, {1, 1, 1, 1}}));
    RW_VAR unchanged = variable(7, "not parsed", 500);
    EXPECT_EQ(d.queueOnceRead(&unchanged, PLC_ADD_AS_IS), kQueueCapacity + 1); // mode 1: as is, no cap
    EXPECT_EQ(requests({probe.onceReads().last()}), (std::vector<Request>{{0, 7, 0, 500}}));
    EXPECT_EQ(callbacks.completions.size(), 2u);
}

RW_VAR queuedWrite(int regAddr, int tag, int station = 1) {
    return writeVar(station, 7, regAddr, QByteArray::number(tag), 1, tag);
}

// Write 2 matches the head only: appended; mode 1 always appends (4); write 5
// replaces the first match after the head; another station is another target.
TEST_F(Queues, WritesMergeInPlaceButNeverIntoTheHead) {
    // expected: the values queued, in queue order
    const struct { RW_VAR var; int mode; const char *expected; } steps[] = {
        {queuedWrite(10, 1), 0, "1"}, {queuedWrite(10, 2), 0, "12"}, {queuedWrite(20, 3), 0, "123"},
        {queuedWrite(20, 4), 1, "1234"}, {queuedWrite(10, 5), 0, "1534"}, {queuedWrite(20, 7, 2), 0, "15347"},
    };
    for (auto step : steps) {
        EXPECT_EQ(d.queueWrite(&step.var, step.mode), int(strlen(step.expected)));
        QByteArray values;
        for (const RW_VAR &w : probe.writes())
            values += w.value;
        EXPECT_EQ(values, step.expected);
    }
}

// A host write is queued whole or not at all; a refused one is reported
// failed once. A write to a waiting target still merges into a full queue.
TEST_F(Queues, WriteQueueHoldsAtMost1024WholeWrites) {
    info.writeMode = PLC_WRITE_TO_PLC;
    info.maxRegsPerFrame = 1;
    for (int i = 0; i < kQueueCapacity - 1; ++i)
        queue({queuedWrite(1000 + i, 0)});
    EXPECT_EQ(set(7, "0", bytes({1, 0, 2, 0}), 2), kQueueCapacity - 1); // two pieces: no room
    EXPECT_EQ(callbacks.completions, (Calls{{42, 11, 12, 2}}));
    EXPECT_EQ(set(7, "0", bytes({1, 0}), 1), kQueueCapacity);
    RW_VAR fresh = queuedWrite(5000, 8);
    EXPECT_EQ(d.queueWrite(&fresh, PLC_ADD_MERGED), kQueueCapacity);
    EXPECT_EQ(callbacks.completions, (Calls{{42, 11, 12, 2}, {42, 8, 0, 2}}));
    RW_VAR update = queuedWrite(1002, 9);
    EXPECT_EQ(d.queueWrite(&update, PLC_ADD_MERGED), kQueueCapacity);
    EXPECT_EQ(probe.writes()[2].hostTag0, 9);
    EXPECT_EQ(callbacks.completions.size(), 2u);
}

// With several stations, a station is a unit identifier 0..255: any other is
// refused by every queue. One station uses the low 8 bits of any.
TEST_F(Queues, StationsOutsideTheUnitIdentifiersAreRefused) {
    info.multiStation = 1;
    RW_VAR block = readVar(255, 1, 0, 1);
    EXPECT_EQ(d.appendCyclicBlock(&block), 1);
    for (int station : {-1, 256, INT_MIN, INT_MAX}) {
        RW_VAR read = variable(7, "0", 1), write = writeVar(station, 7, 0, bytes({1, 0}));
        read.station = block.station = station;
        for (int mode : {PLC_ADD_MERGED, PLC_ADD_AS_IS}) {
            EXPECT_EQ(d.queueOnceRead(&read, mode), 0) << station;
            EXPECT_EQ(d.queueWrite(&write, mode), 0) << station;
        }
        EXPECT_EQ(d.appendCyclicBlock(&block), 1) << station;
    }
    EXPECT_TRUE(probe.onceReads().isEmpty() && probe.writes().isEmpty());
    info.multiStation = 0;
    RW_VAR write = writeVar(256, 7, 0, bytes({1, 0}));
    EXPECT_EQ(d.queueWrite(&write, PLC_ADD_MERGED), 1);
    EXPECT_EQ(d.nextRequest()->frame[6], '\0');
}

using Planning = DriverTest;

// One station: gaps within the request size join a block, a variable longer
// than it stays whole, areas apart in area order, unusable variables left out.
// Several stations: variables cut, stations in order of first appearance.
TEST_F(Planning, RebuildMergesBlocks) {
    struct Case { int maxRegs; QList<HOSTVAR> vars; std::vector<Request> expected; bool multi = false; };
    const Case cases[] = {
        {60, {hostVar(7, "50", 10), hostVar(7, "0", 10)}, {{1, 1, 0, 60}}},
        {59, {hostVar(7, "0", 10), hostVar(7, "50", 10)}, {{1, 1, 0, 10}, {1, 1, 50, 10}}},
        {100, {hostVar(7, "0", 20), hostVar(7, "5", 5), hostVar(7, "15", 10)}, {{1, 1, 0, 25}}},
        {10, {hostVar(7, "0", 25), hostVar(7, "5", 2), hostVar(7, "30", 1)}, {{1, 1, 0, 25}, {1, 1, 30, 1}}},
        {100, {hostVar(8, "0", 1), hostVar(7, "3", 1), hostVar(6, "5", 1), hostVar(4, "1", 1)},
         {{1, 0, 5, 1}, {1, 1, 0, 4}, {1, 2, 0, 1}}},
        {100, {hostVar(1, "1.3", 4), hostVar(10, "2", 3), hostVar(4, "17", 2)},
         {{1, 1, 0, 10}}}, // bits 11..14 in 0, double words in 4..7, bytes 17..18 in 8..9
        {100, {hostVar(11, "3", 2), hostVar(8, "0", 1)}, {{1, 2, 0, 8}}}, // double words 6..7
        {100, {hostVar(1, "12", 1), hostVar(12, "0", 1), hostVar(7, "0", 0), hostVar(9, "1073741824", 1),
               hostVar(7, "2147483647", 1), hostVar(7, "40", 1)}, {{1, 1, 40, 1}}},
        {10, {hostVar(7, "0", 25, 1)}, {{1, 1, 0, 10}, {1, 1, 10, 10}, {1, 1, 20, 5}}, true},
        {100, {hostVar(7, "0", 2, 2), hostVar(7, "0", 2, 1), hostVar(7, "5", 2, 2)},
         {{2, 1, 0, 7}, {1, 1, 0, 2}}, true},
        // one group per area and station: station 255 of area 0 and station 0
        // of area 1 never share a block
        {100, {hostVar(6, "0", 2, 255), hostVar(7, "1", 2, 0)}, {{255, 0, 0, 2}, {0, 1, 1, 2}}, true},
        {100, {hostVar(200, "5", 1, 1), hostVar(11, "0", INT_MAX, 1), hostVar(7, "3", 1, 1)},
         {{1, 1, 3, 1}}, true},
    };
    for (const auto &c : cases) {
        info.multiStation = c.multi;
        info.maxRegsPerFrame = c.maxRegs;
        QList<HOSTVAR> vars = c.vars;
        EXPECT_EQ(d.rebuildReadList(&vars), c.multi ? int(c.expected.size()) : 0);
        EXPECT_EQ(requests(probe.cyclicBlocks()), c.expected) << c.vars.size() << " variables";
    }
}

// With several stations a variable is cut only over the registers the wire
// reaches (0..65535, area 2 from 5000 on), whatever count the host gives.
TEST_F(Planning, MultiStationCutsOnlyTheWireReachableRegisters) {
    info.multiStation = 1;
    const struct { HOSTVAR var; int blocks; Request first, last; } cases[] = {
        {hostVar(7, "0", 100000, 1), 656, {1, 1, 0, 100}, {1, 1, 65500, 36}},
        {hostVar(8, "0", INT_MAX - 1, 1), 606, {1, 2, 0, 100}, {1, 2, 60500, 36}},
        {hostVar(7, "65530", 10, 1), 1, {1, 1, 65530, 6}, {1, 1, 65530, 6}},
        {hostVar(7, "70000", 5, 1), 0, {}, {}},
    };
    for (const auto &c : cases) {
        QList<HOSTVAR> vars{c.var};
        EXPECT_EQ(d.rebuildReadList(&vars), c.blocks) << c.var.address.toStdString();
        if (c.blocks) {
            EXPECT_EQ(requests({probe.cyclicBlocks().first(), probe.cyclicBlocks().last()}),
                      (std::vector<Request>{c.first, c.last}));
        }
    }
}

TEST_F(Planning, RebuiltBlocksStartFromTheTemplateAndTheOpener) {
    for (int i = 0; i < 3; ++i) { // a pass two exchanges in
        RW_VAR block = readVar(1, 1, i, 1);
        d.appendCyclicBlock(&block);
    }
    exchange();
    exchange();
    info.remoteMode = 1;
    info.localNodeId = 6;
    info.cycleDone = 1;
    QList<HOSTVAR> vars{hostVar(7, "20", 2, 0, "opener"), hostVar(7, "21", 4, 0, "joiner")};
    d.rebuildReadList(&vars);
    ASSERT_EQ(probe.cyclicBlocks().size(), 1);
    const RW_VAR &b = probe.cyclicBlocks()[0];
    EXPECT_EQ(std::make_tuple(b.hostTag0, b.hostTag1, b.accessKind, b.remoteMode, b.nodeId, b.count),
              std::make_tuple(0, -1, 0, 1, 6, 5));
    EXPECT_EQ(std::make_pair(b.label, b.address), std::make_pair(QString("opener"), QString("20")));
    EXPECT_EQ(info.cycleDone, 0);
    exchange(); // the new pass starts from nothing: one block takes two exchanges
    EXPECT_EQ(info.cycleDone, 0);
    exchange();
    EXPECT_EQ(info.cycleDone, 1);

    QList<HOSTVAR> none;
    EXPECT_EQ(d.rebuildReadList(&none), 0);
    EXPECT_TRUE(probe.cyclicBlocks().isEmpty());
    EXPECT_EQ(info.cycleDone, 1); // an empty plan starts no new pass

    // Equal registers: one station keeps the host's order, so the first opens
    // the block; several stations take the one added last first.
    vars = {hostVar(7, "4", 5, 1, "first"), hostVar(7, "4", 3, 1, "second")};
    d.rebuildReadList(&vars);
    EXPECT_EQ(probe.cyclicBlocks()[0].label, QStringLiteral("first"));
    info.multiStation = 1;
    d.rebuildReadList(&vars);
    EXPECT_EQ(probe.cyclicBlocks()[0].label, QStringLiteral("second"));
    EXPECT_EQ(probe.cyclicBlocks()[0].count, 5);
}

} // namespace
