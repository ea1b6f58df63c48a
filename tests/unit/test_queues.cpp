// The one-shot read queue (conversion, cutting, duplicates, cap), the write
// queue's in-place merge, and the cyclic list's plain append.
#include "driver_fixture.h"

#include <climits>
#include <thread>
#include <tuple>

namespace {

using Request = std::tuple<int, int, int>; // regType (area), regAddr, count

RW_VAR variable(int regType, const char *address, int count) {
    RW_VAR var;
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
        int count;
        int maxRegs;
        std::vector<Request> expected;
    } cases[] = {
        {7, "100", 250, 100, {{1, 100, 100}, {1, 200, 100}, {1, 300, 50}}},
        {7, "100", 200, 100, {{1, 100, 100}, {1, 200, 100}}},
        {0, "3.5", 10, 100, {{0, 1, 2}}},  // bit 29: offset 13 + 10 bits span two registers
        {1, "1.7", 1, 100, {{1, 0, 1}}},   // bit 15, the last of register 0
        {1, "1.7", 2, 100, {{1, 0, 2}}},
        {2, "2.0", 16, 100, {{2, 1, 1}}},  // bit 16 starts register 1
        {4, "5", 2, 100, {{1, 2, 2}}},     // byte 5 is the high half of register 2
        {5, "4", 2, 100, {{2, 2, 1}}},
        {9, "10", 3, 100, {{0, 20, 4}}},   // odd double-word counts round up
        {10, "3", 2, 100, {{1, 6, 2}}},   // count is in registers, two per double word
        {8, "0", 10, 5, {{2, 0, 5}, {2, 5, 5}}},
        {6, "0", 3, 0, {{0, 0, 1}, {0, 1, 1}, {0, 2, 1}}}, // request size 0 counts as 1
        {6, "0", 2, -7, {{0, 0, 1}, {0, 1, 1}}},
    };
    for (const auto &c : cases) {
        d.onceQueue.clear();
        info.maxRegsPerFrame = c.maxRegs;
        RW_VAR var = variable(c.regType, c.address, c.count);
        var.station = 9; // replaced by the default station
        var.aux0 = var.aux1 = 7;
        EXPECT_EQ(d.AddListOnceReadVar(&var, 0), int(c.expected.size()));
        EXPECT_EQ(requests(d.onceQueue), c.expected) << "type " << c.regType << " at " << c.address;
        for (const RW_VAR &r : d.onceQueue) {
            EXPECT_EQ(r.station, 1);
            EXPECT_EQ(r.aux0, 0);
            EXPECT_EQ(r.aux1, 0);
            EXPECT_EQ(r.address, QString::fromLatin1(c.address));
        }
        // the caller's record holds the last request
        EXPECT_EQ(Request(var.regType, var.regAddr, var.count), c.expected.back());
    }
}

TEST_F(OnceReadTest, UnknownTypeKeepsHostRegisterTerms) {
    RW_VAR var = variable(12, "anything", 3);
    var.regAddr = 7;
    EXPECT_EQ(d.AddListOnceReadVar(&var, 0), 1);
    EXPECT_EQ(requests(d.onceQueue), (std::vector<Request>{{12, 7, 3}}));
}

TEST_F(OnceReadTest, UnusableAddressOrOverflowQueuesNothingAndReturnsZero) {
    RW_VAR queued = variable(7, "500", 1);
    d.AddListOnceReadVar(&queued, 0);
    RW_VAR unknownAtTop = variable(12, "", 1);
    unknownAtTop.regAddr = INT_MAX;
    const RW_VAR refused[] = {
        variable(1, "12", 1),                // bit address without a full stop
        variable(0, "1.2.3", 1),
        variable(7, "-1", 1),                // negative address
        variable(7, "99999999999", 1),       // address beyond 32 bits
        variable(0, "268435456.0", 1),       // bit address beyond 32 bits
        variable(9, "1073741824", 1),        // double-word address * 2 overflows
        variable(7, "2147483000", 1000),     // last register beyond 32 bits
        variable(11, "0", INT_MAX),          // odd double-word count + 1 overflows
        unknownAtTop,
    };
    for (RW_VAR var : refused) {
        const RW_VAR before = var;
        EXPECT_EQ(d.AddListOnceReadVar(&var, 0), 0) << var.regType << " " << var.address.toStdString();
        EXPECT_EQ(var.regAddr, before.regAddr);
        EXPECT_EQ(var.count, before.count);
    }
    EXPECT_EQ(d.onceQueue.size(), 1);
}

TEST_F(OnceReadTest, ZeroOrNegativeCountQueuesNothing) {
    RW_VAR queued = variable(7, "500", 1);
    d.AddListOnceReadVar(&queued, 0);
    for (int count : {0, -1, INT_MIN}) {
        for (int type : {0, 4, 7, 10, 12}) {
            RW_VAR var = variable(type, type < 3 ? "1.1" : "1", count);
            EXPECT_EQ(d.AddListOnceReadVar(&var, 0), 1) << type << " count " << count;
        }
    }
    EXPECT_EQ(d.onceQueue.size(), 1);
}

TEST_F(OnceReadTest, DuplicatesAreDroppedByHostKeysStationAndRegisters) {
    RW_VAR a = variable(7, "10", 5);
    a.hostTag0 = 1;
    a.hostTag1 = 2;
    RW_VAR again = a;
    RW_VAR otherTag0 = a;
    otherTag0.hostTag0 = 3;
    RW_VAR otherTag1 = a;
    otherTag1.hostTag1 = 4;
    RW_VAR otherStation = a;
    otherStation.station = 8; // overwritten by the default station: still a duplicate
    RW_VAR overlapping = variable(7, "10", 6);
    overlapping.hostTag0 = 1;
    overlapping.hostTag1 = 2;
    EXPECT_EQ(d.AddListOnceReadVar(&a, 0), 1);
    EXPECT_EQ(d.AddListOnceReadVar(&again, 0), 1);
    EXPECT_EQ(d.AddListOnceReadVar(&otherStation, 0), 1);
    EXPECT_EQ(d.AddListOnceReadVar(&otherTag0, 0), 2);
    EXPECT_EQ(d.AddListOnceReadVar(&otherTag1, 0), 3);
    EXPECT_EQ(d.AddListOnceReadVar(&overlapping, 0), 4);

    // with several stations the record's own station counts
    info.multiStation = 1;
    RW_VAR station8 = variable(7, "10", 5);
    station8.hostTag0 = 1;
    station8.hostTag1 = 2;
    station8.station = 8;
    EXPECT_EQ(d.AddListOnceReadVar(&station8, 0), 5);
    EXPECT_EQ(d.onceQueue.last().station, 8);
}

TEST_F(OnceReadTest, PiecesAlreadyWaitingAreSkippedOthersQueued) {
    info.maxRegsPerFrame = 10;
    RW_VAR middle = variable(7, "10", 10);
    d.AddListOnceReadVar(&middle, 0);
    RW_VAR whole = variable(7, "0", 30);
    EXPECT_EQ(d.AddListOnceReadVar(&whole, 0), 3);
    EXPECT_EQ(requests(d.onceQueue), (std::vector<Request>{{1, 10, 10}, {1, 0, 10}, {1, 20, 10}}));
}

TEST_F(OnceReadTest, QueueHoldsAtMost1024) {
    for (int i = 0; i < kQueueCap - 2; ++i) {
        RW_VAR var = variable(7, "0", 1);
        var.hostTag0 = i;
        d.AddListOnceReadVar(&var, 0);
    }
    info.maxRegsPerFrame = 1;
    RW_VAR cut = variable(7, "0", 5); // five pieces, room for two
    cut.hostTag0 = -1;
    EXPECT_EQ(d.AddListOnceReadVar(&cut, 0), kQueueCap);
    EXPECT_EQ(requests(d.onceQueue.mid(kQueueCap - 2)), (std::vector<Request>{{1, 0, 1}, {1, 1, 1}}));
    RW_VAR more = variable(7, "100", 1);
    EXPECT_EQ(d.AddListOnceReadVar(&more, 0), kQueueCap);
    EXPECT_EQ(d.onceQueue.size(), kQueueCap);
}

TEST_F(OnceReadTest, HugeCountWithRequestSizeOneEndsAtTheCap) {
    info.maxRegsPerFrame = 1;
    RW_VAR huge = variable(7, "0", INT_MAX);
    EXPECT_EQ(d.AddListOnceReadVar(&huge, 0), kQueueCap);
    EXPECT_EQ(d.onceQueue.last().regAddr, kQueueCap - 1);
}

TEST_F(OnceReadTest, ModeOneAppendsUnchangedWithoutDuplicateTestOrCap) {
    RW_VAR var = variable(7, "not parsed", 500);
    var.station = 9;
    var.aux0 = -1;
    for (int i = 0; i < kQueueCap + 1; ++i)
        ASSERT_EQ(d.AddListOnceReadVar(&var, 1), i + 1);
    const RW_VAR &queued = d.onceQueue.last();
    EXPECT_EQ(std::make_tuple(queued.regType, queued.count, queued.station, queued.aux0),
              std::make_tuple(7, 500, 9, -1));
}

TEST_F(OnceReadTest, NullRecordIsRefused) {
    EXPECT_EQ(d.AddListOnceReadVar(nullptr, 0), 0);
    EXPECT_EQ(d.AddListOnceReadVar(nullptr, 1), 0);
    EXPECT_EQ(d.AddListWriteVar(nullptr, 0), 0);
    EXPECT_EQ(d.AddListReadVar(nullptr), 0);
    EXPECT_TRUE(d.onceQueue.isEmpty() && d.writeQueue.isEmpty() && d.readList.isEmpty());
}

using WriteQueueTest = DriverTest;

RW_VAR write(int regAddr, int tag, const char *value) {
    RW_VAR var = variable(7, "", 1);
    var.regAddr = regAddr;
    var.station = 1;
    var.hostTag0 = tag;
    var.value = QByteArray(value);
    return var;
}

std::vector<int> tags(const QList<RW_VAR> &queue) {
    std::vector<int> out;
    for (const RW_VAR &r : queue)
        out.push_back(r.hostTag0);
    return out;
}

TEST_F(WriteQueueTest, MergesInPlaceButNeverTouchesTheHead) {
    RW_VAR head = write(10, 1, "a");
    EXPECT_EQ(d.AddListWriteVar(&head, 0), 1);
    RW_VAR sameAsHead = write(10, 2, "b");
    EXPECT_EQ(d.AddListWriteVar(&sameAsHead, 0), 2); // a queue of one: appended
    RW_VAR third = write(20, 3, "c");
    EXPECT_EQ(d.AddListWriteVar(&third, 0), 3);
    RW_VAR twin = write(20, 4, "d");
    EXPECT_EQ(d.AddListWriteVar(&twin, 1), 4); // mode 1: appended even though it matches

    RW_VAR newer = write(10, 5, "e");
    newer.label = QStringLiteral("new");
    EXPECT_EQ(d.AddListWriteVar(&newer, 0), 4);
    EXPECT_EQ(tags(d.writeQueue), (std::vector<int>{1, 5, 3, 4}));
    EXPECT_EQ(d.writeQueue[0].value, QByteArray("a"));
    EXPECT_EQ(d.writeQueue[1].value, QByteArray("e"));
    EXPECT_EQ(d.writeQueue[1].label, QStringLiteral("new"));

    RW_VAR newest = write(20, 6, "f"); // only the first match after the head
    EXPECT_EQ(d.AddListWriteVar(&newest, 0), 4);
    EXPECT_EQ(tags(d.writeQueue), (std::vector<int>{1, 5, 6, 4}));
}

TEST_F(WriteQueueTest, TargetIsStationTypeAddressAndCount) {
    RW_VAR head = write(0, 0, "");
    d.AddListWriteVar(&head, 0);
    RW_VAR base = write(10, 1, "");
    d.AddListWriteVar(&base, 0);
    RW_VAR otherStation = write(10, 2, "");
    otherStation.station = 2;
    RW_VAR otherType = write(10, 3, "");
    otherType.regType = 8;
    RW_VAR otherCount = write(10, 4, "");
    otherCount.count = 2;
    for (RW_VAR *var : {&otherStation, &otherType, &otherCount})
        d.AddListWriteVar(var, 0);
    EXPECT_EQ(tags(d.writeQueue), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(WriteQueueTest, FullQueueDropsNewTargetsButStillMerges) {
    for (int i = 0; i < kQueueCap; ++i) {
        RW_VAR var = write(i, i, "");
        d.AddListWriteVar(&var, 0);
    }
    RW_VAR fresh = write(5000, -1, "");
    EXPECT_EQ(d.AddListWriteVar(&fresh, 0), kQueueCap);
    RW_VAR update = write(7, -2, "x");
    EXPECT_EQ(d.AddListWriteVar(&update, 0), kQueueCap);
    EXPECT_EQ(d.writeQueue[7].hostTag0, -2);
    EXPECT_EQ(d.writeQueue.last().hostTag0, kQueueCap - 1);
}

using CyclicListTest = DriverTest;

TEST_F(CyclicListTest, AppendsUnchanged) {
    RW_VAR var = variable(7, "x", 3);
    var.regAddr = -4;
    EXPECT_EQ(d.AddListReadVar(&var), 1);
    EXPECT_EQ(d.AddListReadVar(&var), 2);
    EXPECT_EQ(Request(d.readList[1].regType, d.readList[1].regAddr, d.readList[1].count),
              Request(7, -4, 3));
}

// Host threads queue at the same time: every distinct request arrives once.
TEST_F(OnceReadTest, ConcurrentQueuingLosesNothing) {
    constexpr int kThreads = 4, kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i) {
                RW_VAR read = variable(7, "0", 1);
                read.hostTag0 = t * kEach + i;
                d.AddListOnceReadVar(&read, 0);
                RW_VAR written = write(t * kEach + i, i, "");
                d.AddListWriteVar(&written, 0);
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(d.onceQueue.size(), kThreads * kEach);
    EXPECT_EQ(d.writeQueue.size(), kThreads * kEach);
}

} // namespace
