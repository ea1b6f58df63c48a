// The one-shot read queue (conversion, cutting, duplicates, cap) and the
// write queue's in-place merge.
#include "driver_fixture.h"

#include <climits>
#include <thread>
#include <tuple>

namespace {

using Request = std::tuple<int, int, int>; // regType (area), regAddr, count

RW_VAR variable(int regType, const char *address, int count, int hostTag0 = 0) {
    RW_VAR var;
    var.hostTag0 = hostTag0;
    var.regType = regType;
    var.address = QString::fromLatin1(address);
    var.count = count;
    return var;
}

std::vector<Request> requests(const QList<RW_VAR> &queue) {
    std::vector<Request> out;
    for (const RW_VAR &r : queue)
        out.emplace_back(r.regType, r.regAddr, r.count);
    return out;
}

using OnceReadTest = DriverTest;

TEST_F(OnceReadTest, ConvertsToRegistersAndCutsToRequestSize) {
    const struct {
        int regType;
        const char *address;
        int count, maxRegs;
        std::vector<Request> expected;
    } cases[] = {
        {7, "100", 250, 100, {{1, 100, 100}, {1, 200, 100}, {1, 300, 50}}},
        {7, "100", 200, 100, {{1, 100, 100}, {1, 200, 100}}},
        {0, "3.5", 10, 100, {{0, 1, 2}}}, // bit 29: offset 13 + 10 bits span two registers
        {1, "1.7", 2, 100, {{1, 0, 2}}},
        {2, "2.0", 16, 100, {{2, 1, 1}}},
        {4, "5", 2, 100, {{1, 2, 2}}},    // byte 5 is the high half of register 2
        {9, "10", 3, 100, {{0, 20, 4}}},  // count in registers, rounded up to whole double words
        {10, "3", 2, 100, {{1, 6, 2}}},
        {6, "0", 3, 0, {{0, 0, 1}, {0, 1, 1}, {0, 2, 1}}}, // request size 0 counts as 1
        {12, "x", 3, 100, {{12, 7, 3}}},  // unknown type: the host's register terms
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
        for (const RW_VAR &r : d.onceQueue)
            EXPECT_EQ(std::make_tuple(r.station, r.aux0, r.aux1), std::make_tuple(1, 0, 0));
        // the caller's record holds the last request
        EXPECT_EQ(Request(var.regType, var.regAddr, var.count), c.expected.back());
    }
}

TEST_F(OnceReadTest, UnusableAddressOverflowOrNoCountQueuesNothing) {
    RW_VAR queued = variable(7, "500", 1);
    d.AddListOnceReadVar(&queued, 0);
    RW_VAR unknownAtTop = variable(12, "", 1);
    unknownAtTop.regAddr = INT_MAX;
    const std::pair<RW_VAR, int> cases[] = {
        {variable(1, "12", 1), 0},            // bit address without a full stop
        {variable(7, "-1", 1), 0},            // negative address
        {variable(7, "99999999999", 1), 0},   // address beyond 32 bits
        {variable(9, "1073741824", 1), 0},    // double-word address * 2 overflows
        {variable(7, "2147483000", 1000), 0}, // last register beyond 32 bits
        {variable(11, "0", INT_MAX), 0},      // odd count rounded up overflows
        {unknownAtTop, 0},
        {variable(7, "1", 0), 1},             // no registers: the queue's size
        {variable(0, "1.1", -1), 1},
        {variable(12, "", INT_MIN), 1},
    };
    for (auto [var, expected] : cases)
        EXPECT_EQ(d.AddListOnceReadVar(&var, 0), expected) << var.regType << " " << var.count;
    EXPECT_EQ(d.onceQueue.size(), 1);
}

TEST_F(OnceReadTest, DuplicatesAreDroppedByHostKeysStationAndRegisters) {
    info.maxRegsPerFrame = 10;
    const std::pair<RW_VAR, int> cases[] = {
        {variable(7, "10", 10, 1), 1},
        {variable(7, "10", 10, 1), 1},
        {variable(7, "10", 10, 2), 2}, // other host key
        {variable(7, "10", 11, 1), 3}, // other count
        {variable(7, "0", 30, 1), 5},  // the waiting middle piece is skipped
    };
    for (auto [var, expected] : cases) {
        var.station = 9; // overwritten by the default station before the test
        EXPECT_EQ(d.AddListOnceReadVar(&var, 0), expected);
    }
    info.multiStation = 1; // now the record's own station counts
    RW_VAR station8 = variable(7, "10", 10, 1);
    station8.station = 8;
    EXPECT_EQ(d.AddListOnceReadVar(&station8, 0), 6);
}

TEST_F(OnceReadTest, QueueHoldsAtMost1024EvenForHugeCounts) {
    for (int i = 0; i < kQueueCap - 2; ++i) {
        RW_VAR var = variable(7, "0", 1, i);
        d.AddListOnceReadVar(&var, 0);
    }
    info.maxRegsPerFrame = 1;
    RW_VAR huge = variable(7, "0", INT_MAX, -1); // must end at the cap, not after 2^31 pieces
    EXPECT_EQ(d.AddListOnceReadVar(&huge, 0), kQueueCap);
    EXPECT_EQ(requests(d.onceQueue.mid(kQueueCap - 2)), (std::vector<Request>{{1, 0, 1}, {1, 1, 1}}));
    RW_VAR unchanged = variable(7, "not parsed", 500);
    EXPECT_EQ(d.AddListOnceReadVar(&unchanged, 1), kQueueCap + 1); // mode 1: no conversion, no cap
    EXPECT_EQ(requests({d.onceQueue.last()}), (std::vector<Request>{{7, 0, 500}}));
}

RW_VAR write(int regAddr, int tag, int station = 1) {
    RW_VAR var = variable(7, "", 1, tag);
    var.regAddr = regAddr;
    var.station = station;
    var.value = QByteArray::number(tag);
    return var;
}

std::vector<int> tags(const QList<RW_VAR> &queue) {
    std::vector<int> out;
    for (const RW_VAR &r : queue)
        out.push_back(r.hostTag0);
    return out;
}

TEST_F(OnceReadTest, WriteMergesInPlaceButNeverTouchesTheHead) {
    const struct {
        RW_VAR var;
        int mode;
        std::vector<int> expected;
    } steps[] = {
        {write(10, 1), 0, {1}},
        {write(10, 2), 0, {1, 2}},          // matches the head only: appended
        {write(20, 3), 0, {1, 2, 3}},
        {write(20, 4), 1, {1, 2, 3, 4}},    // mode 1 always appends
        {write(10, 5), 0, {1, 5, 3, 4}},    // replaces the first match after the head
        {write(20, 6), 0, {1, 5, 6, 4}},
        {write(20, 7, 2), 0, {1, 5, 6, 4, 7}}, // other station: another target
    };
    for (auto step : steps) {
        EXPECT_EQ(d.AddListWriteVar(&step.var, step.mode), int(step.expected.size()));
        EXPECT_EQ(tags(d.writeQueue), step.expected);
    }
    EXPECT_EQ(d.writeQueue[1].value, QByteArray("5"));
    while (d.writeQueue.size() < kQueueCap)
        d.writeQueue.append(write(1000 + d.writeQueue.size(), 0));
    RW_VAR fresh = write(5000, 8);
    EXPECT_EQ(d.AddListWriteVar(&fresh, 0), kQueueCap); // full: dropped
    RW_VAR update = write(20, 9);
    EXPECT_EQ(d.AddListWriteVar(&update, 0), kQueueCap); // full, but still merged
    EXPECT_EQ(d.writeQueue[2].hostTag0, 9);
}

// Host threads queue at the same time: every distinct request arrives once.
TEST_F(OnceReadTest, ConcurrentQueuingLosesNothing) {
    constexpr int kThreads = 4, kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i) {
                RW_VAR read = variable(7, "0", 1, t * kEach + i);
                d.AddListOnceReadVar(&read, 0);
                RW_VAR written = write(t * kEach + i, i);
                d.AddListWriteVar(&written, 0);
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(d.onceQueue.size(), kThreads * kEach);
    EXPECT_EQ(d.writeQueue.size(), kThreads * kEach);
}

} // namespace
