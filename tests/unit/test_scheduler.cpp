// The request scheduler (queue order and turns, switched-off stations,
// records that yield no frame) and the judgement of replies (result codes,
// what makes a reply the answer, retries, give-up with its purge, completion
// reports, the cyclic pass, the locks a callback runs under).
#include "driver_fixture.h"

#include <climits>
#include <functional>
#include <set>

namespace {

RW_VAR wordWrite(int station, int tag1, int regType = 7) {
    return writeVar(station, regType, tag1, bytes({1, 0}), 1, 0, tag1);
}
RW_VAR keyedByteWrite(int station, int tag0, int tag1) {
    return writeVar(station, 4, 0, bytes({1}), 1, tag0, tag1);
}
RW_VAR block(int station, int tag1, int area = 1, int regAddr = 0, int count = 1) {
    return readVar(station, area, regAddr, count, 0, tag1);
}

using Scheduler = DriverTest;

// Up to five writes in a row, then up to five one-shot reads, then one cyclic
// block. A cyclic turn re-opens the other turns even when it finds no block
// to serve: none at all (which ends the pass) or only switched-off ones.
TEST_F(Scheduler, FiveWritesThenFiveOneShotReadsThenOneCyclicBlock) {
    EXPECT_EQ(d.nextRequest(), nullptr);
    EXPECT_EQ(info.cycleDone, 1);
    for (int i = 1; i <= 6; ++i) {
        queue({wordWrite(1, i)});
        queue({block(1, 10 + i)});
    }
    EXPECT_EQ(exchanges(14), (std::vector<int>{1, 2, 3, 4, 5, 11, 12, 13, 14, 15, -1, 6, 16, -1}));
    d.switchStation(2, PLC_STATION_OFF);
    RW_VAR off = block(2, 99);
    d.appendCyclicBlock(&off);
    for (int i = 1; i <= 6; ++i)
        queue({wordWrite(1, i)});
    queue({block(1, 8)});
    EXPECT_EQ(exchanges(9), (std::vector<int>{1, 2, 3, 4, 5, 8, -1, 6, -1}));
    d.switchStation(2, PLC_STATION_ON);
    for (int i = 1; i <= 6; ++i)
        queue({wordWrite(1, i)});
    EXPECT_EQ(exchanges(8), (std::vector<int>{1, 2, 3, 4, 5, 99, 6, 99}));
}

TEST_F(Scheduler, SwitchedOffStations) {
    d.switchStation(2, PLC_STATION_OFF);
    for (RW_VAR cyclic : {block(2, 11), block(2, 12), block(1, 13)})
        d.appendCyclicBlock(&cyclic);
    queue({block(2, 0), block(2, 0)});
    queue({wordWrite(2, 1), wordWrite(2, 2)});
    EXPECT_EQ(d.nextRequest(), nullptr); // drops every write of station 2
    EXPECT_EQ(d.nextRequest(), nullptr); // and every one-shot read
    // Each dropped request is reported failed once (both reads carry keys 0, 0).
    EXPECT_EQ(callbacks.completions, (Calls{{42, 0, 1, 2}, {42, 0, 2, 2}, {42, 0, 0, 2}}));
    EXPECT_EQ(exchange(), 13); // skips the two blocks of station 2
    EXPECT_EQ(exchange(), 13);
    d.switchStation(2, PLC_STATION_ON);
    EXPECT_EQ(exchange(), 11); // nothing of station 2 is left in the queues

    // station -1 switches everything back on; operations other than 0 and 1 change nothing
    const struct { std::vector<std::pair<int, int>> ops; std::set<int> served; } cases[] = {
        {{{5, 0}, {5, 0}}, {6}}, {{{5, 0}, {6, 0}, {-1, 3}}, {5, 6}},
        {{{5, 0}, {6, 1}, {5, 2}}, {6}}, {{{5, 0}, {5, 1}}, {5, 6}},
    };
    QList<HOSTVAR> none;
    d.rebuildReadList(&none);
    for (RW_VAR cyclic : {block(5, 5), block(6, 6)})
        d.appendCyclicBlock(&cyclic);
    for (const auto &c : cases) {
        d.switchStation(-1, PLC_STATION_OFF);
        for (const auto &op : c.ops)
            d.switchStation(op.first, op.second);
        EXPECT_EQ((std::set<int>{exchange(), exchange()}), c.served);
    }
}

// A head record that yields no frame (here a byte write to station 0, whose
// read half gets no reply, and a read of no area; Frames.Reads and
// Frames.Writes show the others) leaves its queue with every record of its
// host request, reported as failed once, without a notification or a store
// update, and the same call frames the record behind it. A cyclic block that
// yields no frame moves to the end of the list unreported.
TEST_F(Scheduler, HeadWithoutFrameLeavesReportedAsFailed) {
    for (bool write : {true, false}) {
        callbacks = {};
        const RW_VAR bad = write ? writeVar(0, 4, 0, bytes({1}), 1, 3, 4) : readVar(1, 3, 0, 1, 3, 4);
        queue({bad, bad, write ? wordWrite(1, 9) : block(1, 9)});
        EXPECT_EQ(exchanges(2), (std::vector<int>{9, -1}));
        EXPECT_EQ(callbacks.notifies, write ? std::vector<int>{0} : std::vector<int>{});
        EXPECT_EQ(callbacks.completions, (Calls{{42, 3, 4, 2}, {42, 0, 9, 1}}));
    }
    EXPECT_EQ(get(7, "0", 1), bytes({0, 0}));
    for (RW_VAR cyclic : {block(0, 1), block(1, 2, 2, 60535, 2), block(1, 3)})
        d.appendCyclicBlock(&cyclic);
    EXPECT_EQ(exchanges(6), (std::vector<int>{-1, -1, 3, -1, -1, 3}));
    EXPECT_EQ(callbacks.completions.size(), 2u);
}

using Judgement = DriverTest;
using MakeReply = std::function<QByteArray(const Protocol &)>;

// A PLC's reply with data 0xA5 for reads.
QByteArray good(const Protocol &p) {
    return p.replyLen && p.frame[7] <= 4 ? readReply(p, QByteArray(p.replyLen - 9, '\xA5')) : replyTo(p);
}
MakeReply cut(int n) {
    return [n](const Protocol &p) { return good(p).left(n); };
}
MakeReply poke(int at, int value, MakeReply make = good) {
    return [=](const Protocol &p) {
        QByteArray reply = make(p);
        reply[at] = static_cast<char>(value);
        return reply;
    };
}
QByteArray none(const Protocol &) { return QByteArray(); }
QByteArray refusal(const Protocol &p) { return replyFrame(p.frame, bytes({p.frame[7] | 0x80, 2})); }

// A read (of ten registers unless told) or, by its access kind, a record
// that is neither read nor write; and a word write; by hostTag0 and node.
RW_VAR rd(int tag0 = 3, int nodeId = 0, int count = 10, int accessKind = PLC_ACCESS_READ) {
    return RW_VAR{tag0, 0, accessKind, 0, nodeId, 0, {}, {}, 1, 0, 1, count, 0, 0, {}};
}
RW_VAR wr(int station = 1, int nodeId = 0) {
    return RW_VAR{3, 0, PLC_ACCESS_WRITE, 0, nodeId, 0, {}, {}, 7, 0, station, 1, 0, 0, bytes({0x34, 0x12})};
}

// Results: 1 accepted, 40 + k unanswered, 70 + k a bad reply, 10 + k neither
// read nor write; 100, 140 + k, 170 + k and 110 + k for variables of another
// node; k = hostTag0 + 1 for hostTag0 0..11, else 1. A Modbus TCP reply must
// carry its request's transaction id, protocol id 0 and function code, no
// exception flag, a read's byte count, and a write's exact echo. Only data
// of an accepted reply is stored.
TEST_F(Judgement, ResultCodes) {
    struct Case { const char *what; RW_VAR var; MakeReply reply; int expected; bool remoteArea = false; };
    const Case cases[] = {
        {"read", rd(), good, 1}, {"read cut short", rd(), cut(28), 74}, {"read unanswered", rd(), none, 44},
        {"read refused", rd(), refusal, 74}, {"other transaction", rd(), poke(1, 0x77), 74},
        {"refusal cut short", rd(), [](const Protocol &p) { return refusal(p).left(8); }, 74},
        {"refusal whose code is the byte count", rd(3, 0, 1),
         [](const Protocol &p) { return refusal(p) + bytes({0x12, 0x34}); }, 74},
        {"protocol id not 0", rd(), poke(3, 1), 74}, {"other function", rd(), poke(7, 4), 74},
        {"byte count", rd(), poke(8, 18), 74}, {"write echo", wr(), good, 1},
        {"write reply short", wr(), cut(5), 74}, {"write refused", wr(), refusal, 74},
        {"echo of another value", wr(), poke(11, 0), 74}, {"echo of another address", wr(), poke(9, 1), 74},
        {"echo and one more byte", wr(), [](const Protocol &p) { return echo(p) + '\0'; }, 74},
        {"broadcast unanswered", wr(0), none, 1}, {"broadcast echoed", wr(0), echo, 1},
        {"broadcast, not an echo", wr(0), poke(11, 0, echo), 74}, {"hostTag0 12", rd(12), none, 41},
        {"neither read nor write", rd(3, 0, 10, 2), good, 14}, {"hostTag0 11", rd(11), none, 52},
        // a variable of another node, Modbus TCP frames all the same
        {"node read", rd(3, 5), good, 100}, {"node read unanswered", rd(3, 5), none, 144},
        {"node read refused", rd(3, 5), refusal, 174}, {"node write echo", wr(1, 5), good, 100},
        {"node transaction", rd(3, 5), poke(0, 0x77), 174}, {"node neither", rd(3, 5, 10, 2), good, 114},
        // remote-area records: no transaction id, no exception test, and a
        // write is confirmed by any reply
        {"record read", rd(), poke(7, 0x83, poke(0, 0x55)), 1, true},
        {"record read cut short", rd(), cut(28), 74, true}, {"record, other node", rd(3, 5), good, 100, true},
        {"record write, any reply", wr(), cut(3), 1, true}, {"record write unanswered", wr(), none, 44, true},
    };
    info.retryLimit = 0; // every failure is final
    int regAddr = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        info.remoteMode = c.remoteArea;
        RW_VAR var = c.var;
        var.regAddr = regAddr += 10;
        queue({var});
        Protocol *p = d.nextRequest();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(answer(c.reply(*p)), c.expected);
        EXPECT_EQ(d.nextRequest(), nullptr);
        if (var.accessKind != PLC_ACCESS_WRITE) { // a write may show its own value
            const bool stored = get(7, QByteArray::number(regAddr).constData(), 10) != QByteArray(20, '\0');
            EXPECT_EQ(stored, c.expected == 1);
        }
    }
    EXPECT_EQ(d.handleReply(nullptr, 0)->result, 1); // nothing pending
}

// A reply that lacks data the exchange must store fails and stores nothing,
// also where the host's length says it is complete; so no byte write goes
// out with a register half the PLC never sent.
TEST_F(Judgement, ReplyLackingTheDataToStoreFails) {
    queue({readVar(1, 1, 10, 2)});
    const QByteArray full = readReply(*d.nextRequest(), bytes({0x12, 0x34, 0xAB, 0xCD}));
    EXPECT_EQ(answer(full.left(12), full.size()), 0); // retried
    EXPECT_EQ(get(7, "10", 2), bytes({0, 0, 0, 0}));
    EXPECT_EQ(answer(full), 1);
    EXPECT_EQ(get(7, "10", 2), bytes({0x34, 0x12, 0xCD, 0xAB}));

    for (int node : {0, 5}) {
        RW_VAR write = writeVar(1, 4, 7, bytes({0x5A}));
        write.nodeId = node;
        queue({write});
        const QByteArray reply = readReply(*d.nextRequest(), bytes({0x12, 0x34}));
        EXPECT_EQ(answer(reply.left(10), reply.size()), 0);
        EXPECT_EQ(answer(reply), 1);
        EXPECT_EQ(d.nextRequest()->frame.mid(7).toHex(), bytes({6, 0, 3, 0x5A, 0x34}).toHex());
        EXPECT_EQ(succeed(), node ? 100 : 1);
    }
}

// A frame is retried unchanged until retryLimit failures in a row; then its
// request is given up with the frames still behind it. A success clears the
// count.
TEST_F(Judgement, RetriesUntilTheLimitThenGivesUp) {
    queue({readVar(1, 1, 0, 10, 3)});
    const QByteArray sent = d.nextRequest()->frame;
    EXPECT_EQ(fail(), 0);
    EXPECT_EQ(fail(), 0);
    EXPECT_EQ(d.nextRequest()->frame, sent); // a retry is the same frame
    EXPECT_EQ(info.retryCount, 2);
    EXPECT_EQ(fail(), 44);
    EXPECT_EQ(info.retryCount, 0);
    EXPECT_EQ(callbacks.notifies, std::vector<int>{3});
    EXPECT_EQ(callbacks.completions, (Calls{{42, 3, 0, 2}}));

    queue({keyedByteWrite(1, 0, 0)}); // the read half given up: its write goes too
    for (int result : {0, 0, 41}) {
        d.nextRequest();
        EXPECT_EQ(fail(), result);
    }
    EXPECT_EQ(d.nextRequest(), nullptr);

    queue({keyedByteWrite(1, 0, 0)});
    d.nextRequest();
    EXPECT_EQ(fail(), 0);
    EXPECT_EQ(succeed(), 1); // the read half
    EXPECT_EQ(info.retryCount, 0);
    EXPECT_EQ(fail(), 0);
    EXPECT_EQ(fail(), 0);
    EXPECT_EQ(fail(), 41);
}

TEST_F(Judgement, RequestsWithEqualHostKeysReportSuccessOnceAtTheEnd) {
    queue({keyedByteWrite(1, 5, 6), keyedByteWrite(1, 5, 6)});
    for (int frame = 0; frame < 3; ++frame) // two frames each: only the last completes
        EXPECT_EQ(succeed(), 1);
    EXPECT_TRUE(callbacks.completions.empty());
    QByteArray reply = replyTo(*d.nextRequest());
    const RW_VAR *result = d.handleReply(&reply, reply.size());
    EXPECT_EQ(callbacks.completions, (Calls{{42, 5, 6, 1}}));
    EXPECT_EQ(std::make_tuple(result->result, result->hostTag0, result->regType), std::make_tuple(1, 5, 4));
    EXPECT_TRUE(result->value.isEmpty());
    EXPECT_EQ(d.nextRequest(), nullptr);
}

// Giving up drops the queued writes (all of them with one station, those of
// the failed station with several) and the one-shot reads of the same
// request; each dropped host request is reported once.
TEST_F(Judgement, GiveUpPurgesAndReportsEveryDroppedWrite) {
    const auto keyedWrite = [](int station, int tag0, int tag1) {
        return writeVar(station, 7, 0, bytes({1, 2}), 1, tag0, tag1);
    };
    info.retryLimit = 0;
    // Keys 1, 0 and 0, INT_MIN are two requests, though their bits overlap.
    queue({keyedWrite(1, 1, 0), keyedWrite(1, 1, 0), keyedWrite(1, 0, INT_MIN), keyedWrite(1, 0, INT_MIN)});
    queue({readVar(1, 1, 0, 1, 1, 0), readVar(1, 1, 0, 1, 9, 9)});
    d.nextRequest();
    EXPECT_EQ(fail(), 42);
    EXPECT_EQ(callbacks.completions, (Calls{{42, 1, 0, 2}, {42, 0, INT_MIN, 2}}));
    EXPECT_EQ(exchange(), 9);
    EXPECT_EQ(exchange(), -1);

    callbacks = {};
    info.multiStation = 1;
    queue({readVar(2, 1, 0, 1, 5, 6), readVar(3, 1, 0, 1, 5, 6), readVar(2, 1, 0, 1, 1, 1),
                    readVar(2, 1, 9, 1, 5, 6)});
    d.nextRequest();
    queue({keyedWrite(2, 7, 7), keyedWrite(3, 8, 8)});
    fail();
    EXPECT_EQ(callbacks.completions, (Calls{{42, 5, 6, 2}, {42, 7, 7, 2}}));
    EXPECT_EQ(exchanges(4), (std::vector<int>{8, 6, 1, -1}));

    // A cyclic block given up after a rebuild replaced the list: the
    // notification and the purge follow the block served, and the new list
    // keeps its order.
    callbacks = {};
    RW_VAR cyclic = readVar(2, 1, 0, 1, 9, 4);
    d.appendCyclicBlock(&cyclic);
    d.nextRequest();
    queue({keyedWrite(2, 7, 7), keyedWrite(3, 8, 8)});
    QList<HOSTVAR> vars{hostVar(7, "0", 1, 3), hostVar(6, "0", 1, 3)};
    d.rebuildReadList(&vars);
    fail();
    EXPECT_EQ(callbacks.notifies, std::vector<int>{9});
    EXPECT_EQ(callbacks.completions, (Calls{{42, 7, 7, 2}}));
    EXPECT_EQ(probe.cyclicBlocks().first().regType, 1);
    EXPECT_EQ(exchange(), 8);
}

// A pass is complete after more successful exchanges of this node's
// variables than the list has blocks; a failure starts it again.
TEST_F(Judgement, CyclicPassProgress) {
    for (RW_VAR cyclic : {block(1, 1), block(1, 2)})
        d.appendCyclicBlock(&cyclic);
    const struct { bool otherNode, ok; int served, done; } steps[] = {
        {false, true, 1, 0}, {true, true, 50, 0}, {false, true, 2, 0},
        {false, true, 1, 1}, {false, true, 2, 1}, {false, false, 1, 0}};
    for (const auto &s : steps) {
        if (s.otherNode) {
            RW_VAR other = block(1, 50);
            other.nodeId = 5;
            queue({other});
        }
        Protocol *p = d.nextRequest();
        EXPECT_EQ(p->var.hostTag1, s.served);
        answer(s.ok ? replyTo(*p) : QByteArray());
        EXPECT_EQ(info.cycleDone, s.done);
    }
}

DriverProbe *probed = nullptr;
bool queueHeldInCallback = false, storeFreeInCallback = false;

int probeLocks(int, int, int, int) {
    queueHeldInCallback = !probed->queueMutex().tryLock();
    if (!queueHeldInCallback)
        probed->queueMutex().unlock();
    storeFreeInCallback = probed->storeMutex().tryLock();
    if (storeFreeInCallback)
        probed->storeMutex().unlock();
    return 0;
}

TEST_F(Judgement, CompletionRunsWithTheQueueLockHeldAndTheStoreLockFree) {
    probed = &probe;
    d.setCallbacks(probeLocks, recordNotify);
    queue({readVar(1, 1, 10, 2, 5, 6)});
    EXPECT_EQ(exchange(), 6);
    EXPECT_TRUE(queueHeldInCallback);
    EXPECT_TRUE(storeFreeInCallback);
}

} // namespace
