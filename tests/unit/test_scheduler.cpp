// The request scheduler (queue order and turns, switched-off stations,
// records that yield no frame) and reply handling (result codes, retries,
// give-up with its purge, completion reports, the cyclic pass).
#include "driver_fixture.h"

namespace {

const int kRemote = 5; // a node other than info.localNodeId

RW_VAR wordWrite(int station, int tag1, int regType = 7) {
    return writeVar(station, regType, tag1, bytes({1, 0}), 1, 0, tag1);
}

RW_VAR keyedWrite(int station, int tag0, int tag1) {
    return writeVar(station, 7, 0, bytes({1, 2}), 1, tag0, tag1);
}

// A frame in flight for `var`, expecting replyLen bytes.
Protocol frameFor(const RW_VAR &var, int replyLen) {
    Protocol p;
    p.frame = bytes({0, 0, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1});
    p.replyLen = replyLen;
    p.replyHeadLen = 9;
    p.var = var;
    return p;
}

// n bytes whose function code (byte 7) is fn.
QByteArray reply(int n, int fn = 3) {
    QByteArray out(n, '\0');
    if (n > 7)
        out[7] = static_cast<char>(fn);
    return out;
}

using Scheduler = DriverTest;

TEST_F(Scheduler, FiveWritesThenFiveOneShotReadsThenOneCyclicBlock) {
    for (int i = 1; i <= 6; ++i) {
        d.writeQueue.append(wordWrite(1, i));
        d.onceQueue.append(readVar(1, 1, 0, 1, 0, 10 + i));
    }
    d.readList.append(readVar(1, 1, 0, 1, 0, 100));
    std::vector<int> served;
    for (int i = 0; i < 14; ++i)
        served.push_back(exchange());
    EXPECT_EQ(served, (std::vector<int>{1, 2, 3, 4, 5, 11, 12, 13, 14, 15, 100, 6, 16, 100}));
}

TEST_F(Scheduler, PreparedFrameGoesFirstUntilAnswered) {
    d.onceQueue.append(readVar(1, 1, 0, 1, 0, 1));
    Protocol *p = d.ComCommunication();
    d.writeQueue.append(wordWrite(1, 2));
    EXPECT_EQ(d.ComCommunication(), p);
    fail(); // retried
    EXPECT_EQ(d.ComCommunication(), p);
}

TEST_F(Scheduler, NothingQueuedEndsTheCycle) {
    d.writeTurns = d.onceTurns = 3;
    EXPECT_EQ(d.ComCommunication(), nullptr);
    EXPECT_EQ(info.cycleDone, 1);
    EXPECT_EQ(d.writeTurns + d.onceTurns, 0);
}

TEST_F(Scheduler, SwitchedOffStations) {
    d.EnCommStation(2, 0);
    d.readList = {readVar(2, 1, 0, 1, 0, 1), readVar(2, 1, 0, 1, 0, 2), readVar(1, 1, 0, 1, 0, 3)};
    d.onceQueue = {readVar(2, 1, 0, 1), readVar(2, 1, 0, 1)};
    d.writeQueue = {wordWrite(2, 1), wordWrite(2, 2)};
    EXPECT_EQ(d.ComCommunication(), nullptr); // drops every write of station 2
    EXPECT_TRUE(d.writeQueue.isEmpty());
    EXPECT_EQ(d.ComCommunication(), nullptr);
    EXPECT_TRUE(d.onceQueue.isEmpty());
    // Each dropped request is reported failed once (both reads carry keys 0, 0).
    EXPECT_EQ(log().completions, (Calls{{42, 0, 1, 2}, {42, 0, 2, 2}, {42, 0, 0, 2}}));
    EXPECT_EQ(exchange(), 3); // skips the two blocks of station 2
    EXPECT_EQ(d.readList.first().hostTag1, 1);

    const struct {
        std::vector<std::pair<int, int>> ops;
        QList<int> off;
    } cases[] = {
        {{{5, 0}, {5, 0}}, {5}},
        {{{5, 0}, {6, 0}, {-1, 3}}, {}}, // station -1: everything back on
        {{{5, 0}, {6, 1}, {5, 2}}, {5}}, // other operations change nothing
        {{{5, 0}, {5, 1}}, {}},
    };
    for (const auto &c : cases) {
        d.EnCommStation(-1, 0);
        for (const auto &op : c.ops)
            d.EnCommStation(op.first, op.second);
        EXPECT_EQ(d.disabledStations.keys(), c.off);
        EXPECT_EQ(d.Ethernetcontains(5), c.off.contains(5));
    }
}

// A head record that yields no frame leaves its queue, reported as failed,
// and the record behind it is served next; a cyclic one moves to the end.
TEST_F(Scheduler, HeadWithoutFrameLeavesReportedAsFailed) {
    const struct {
        bool write;
        RW_VAR var;
    } cases[] = {
        {true, wordWrite(1, 0, 0)}, {true, wordWrite(1, 0, 12)},
        {true, wordWrite(0, 0, 4)}, // byte write to station 0: its read half gets no reply
        {false, readVar(0, 1, 0, 1)}, {false, readVar(1, 3, 0, 1)},
    };
    for (const auto &c : cases) {
        callbackLog() = CallbackLog{};
        d.writeTurns = d.onceTurns = 0;
        RW_VAR bad = c.var;
        bad.hostTag0 = 3;
        bad.hostTag1 = 4;
        QList<RW_VAR> &queue = c.write ? d.writeQueue : d.onceQueue;
        queue = {bad, c.write ? wordWrite(1, 9) : readVar(1, 1, 0, 1, 0, 9)};
        EXPECT_EQ(d.ComCommunication(), nullptr);
        EXPECT_EQ(log().completions, (Calls{{42, 3, 4, 2}}));
        EXPECT_EQ(exchange(), 9);
        EXPECT_TRUE(queue.isEmpty());
    }
    d.readList = {readVar(0, 1, 0, 1, 0, 1), readVar(1, 1, 0, 1, 0, 2)};
    EXPECT_EQ(d.ComCommunication(), nullptr);
    EXPECT_EQ(exchange(), 2);
}

TEST_F(Scheduler, EveryCyclicStationOffStillReopensTheTurns) {
    d.EnCommStation(2, 0);
    d.readList = {readVar(2, 1, 0, 1)};
    d.writeTurns = d.onceTurns = kTurnLimit + 1;
    d.writeQueue = {wordWrite(1, 7)};
    d.onceQueue = {readVar(1, 1, 0, 1, 0, 8)};
    EXPECT_EQ(d.ComCommunication(), nullptr);
    EXPECT_EQ(exchange(), 7);
    EXPECT_EQ(exchange(), 8);
}

using Replies = DriverTest;

TEST_F(Replies, ResultCodes) {
    const struct {
        int replyLen, accessKind, station, nodeId, aux0, framesDone;
        QByteArray reply;
        int tag0, expected;
    } cases[] = {
        {29, 0, 1, 0, 0, 0, reply(29), 3, 1},
        {29, 0, 1, 0, 0, 0, reply(28), 3, 74},
        {29, 0, 1, 0, 0, 0, reply(0), 3, 44},
        {12, 1, 1, 0, 0, 0, reply(5), 3, 1},   // a write reply only acknowledges
        {12, 2, 1, 0, 0, 0, reply(12), 3, 14}, // neither read nor write
        {-1, 0, 1, 0, 0, 0, reply(3), 3, 1},   // any length
        {29, 0, 1, 0, 0, 0, reply(9, 0x83), 3, 74}, // exception responses fail,
        {12, 1, 1, 0, 0, 0, reply(9, 0x86), 3, 74}, // writes too,
        {-1, 0, 1, 0, 0, 0, reply(9, 0x83), 3, 74}, // whatever length is expected
        {29, 0, 1, kRemote, 0, 0, reply(29), 3, 100},
        {11, 0, 1, kRemote, -1, 0, reply(11), 3, 1}, // byte-write read half, stored
        {29, 0, 1, kRemote, 0, 0, reply(0), 3, 144},
        {29, 0, 1, kRemote, 0, 0, reply(28), 3, 174},
        {12, 1, 1, kRemote, 0, 0, reply(9, 0x86), 3, 100}, // remote: length rule only
        {12, 2, 1, kRemote, 0, 0, reply(12), 3, 114},
        {29, 0, 1, 0, 0, 0, reply(0), 11, 52}, // offset k: hostTag0 + 1 within 0..11, else 0
        {29, 0, 1, 0, 0, 0, reply(0), 12, 41},
    };
    info.retryLimit = 0; // every failure is final
    for (const auto &c : cases) {
        RW_VAR var = readVar(c.station, 1, 0, 10, c.tag0);
        var.accessKind = c.accessKind;
        var.nodeId = c.nodeId;
        var.aux0 = c.aux0;
        d.protocolQueue = {frameFor(var, c.replyLen)};
        info.framesDone = c.framesDone;
        info.framesExpected = 1;
        EXPECT_EQ(answer(c.reply), c.expected) << c.replyLen << " " << c.reply.size() << " " << c.nodeId;
        EXPECT_TRUE(d.protocolQueue.isEmpty());
    }
    EXPECT_EQ(d.GetDriverReturnValue(8), 200);
    EXPECT_EQ(d.DataCom(nullptr, 0)->result, 1); // nothing pending
}

TEST_F(Replies, RetriesUntilTheLimitThenGivesUp) {
    d.servingMode = 2;
    d.onceQueue = {readVar(1, 1, 0, 10, 3)};
    d.protocolQueue = {frameFor(d.onceQueue.first(), 29), frameFor(d.onceQueue.first(), 29)};
    EXPECT_EQ(fail(), 0);
    EXPECT_EQ(fail(), 0);
    EXPECT_EQ(d.protocolQueue.size(), 2);
    EXPECT_TRUE(d.lastFailed.load());
    EXPECT_EQ(fail(), 44);
    EXPECT_EQ(info.retryCount, 0);
    EXPECT_TRUE(d.protocolQueue.isEmpty()); // further frames of the request go too
    EXPECT_EQ(log().notifies, std::vector<int>{3});
    EXPECT_EQ(log().completions, (Calls{{42, 3, 0, 2}}));

    // A success does not reset the count: the next frame fails out sooner.
    d.protocolQueue = {frameFor(readVar(1, 1, 0, 10), 29), frameFor(readVar(1, 1, 0, 10), 29)};
    info.framesExpected = 2;
    EXPECT_EQ(fail(), 0);
    EXPECT_EQ(succeed(), 1);
    EXPECT_FALSE(d.lastFailed.load());
    EXPECT_EQ(fail(), 0);
    EXPECT_EQ(fail(), 41);
}

TEST_F(Replies, RequestsWithEqualHostKeysReportSuccessOnceAtTheEnd) {
    d.servingMode = 1;
    d.writeQueue = {keyedWrite(1, 5, 6), keyedWrite(1, 5, 6)};
    d.protocolQueue = {frameFor(d.writeQueue.first(), 12), frameFor(d.writeQueue.first(), 12)};
    info.framesExpected = 2; // a two-frame write: the first reply completes nothing
    EXPECT_EQ(succeed(), 1);
    EXPECT_EQ(succeed(), 1);
    EXPECT_TRUE(log().completions.empty());
    d.protocolQueue = {frameFor(d.writeQueue.first(), 12)};
    info.framesExpected = 1;
    EXPECT_EQ(succeed(), 1);
    EXPECT_EQ(log().completions, (Calls{{42, 5, 6, 1}}));
    EXPECT_EQ(std::make_tuple(d.resultRecord.hostTag0, d.resultRecord.regType), std::make_tuple(5, 7));
    EXPECT_TRUE(d.resultRecord.value.isEmpty());
    EXPECT_TRUE(d.writeQueue.isEmpty());
}

// Giving up drops the queued writes (all of them with one station, those of
// the failed station with several) and the one-shot reads of the same
// variable; each dropped host request is reported once.
TEST_F(Replies, GiveUpPurgesAndReportsEveryDroppedWrite) {
    info.retryLimit = 0;
    d.servingMode = 1;
    d.writeQueue = {keyedWrite(1, 5, 6), keyedWrite(1, 5, 6), keyedWrite(1, 7, 8), keyedWrite(1, 7, 8)};
    d.onceQueue = {readVar(1, 1, 0, 1, 5, 6), readVar(1, 1, 0, 1, 9, 9)};
    d.protocolQueue = {frameFor(d.writeQueue.first(), 12)};
    EXPECT_EQ(fail(), 46);
    EXPECT_EQ(log().completions, (Calls{{42, 5, 6, 2}, {42, 7, 8, 2}}));
    EXPECT_TRUE(d.writeQueue.isEmpty());
    EXPECT_EQ(tags(d.onceQueue), std::vector<int>{9});

    callbackLog() = CallbackLog{};
    info.multiStation = 1;
    d.servingMode = 2;
    d.onceQueue = {readVar(2, 1, 0, 1, 5, 6), readVar(3, 1, 0, 1, 5, 6), readVar(2, 1, 0, 1, 1, 1),
                   readVar(2, 1, 9, 1, 5, 6)};
    d.writeQueue = {keyedWrite(2, 7, 7), keyedWrite(3, 8, 8)};
    d.protocolQueue = {frameFor(d.onceQueue.first(), 11)};
    fail();
    EXPECT_EQ(log().completions, (Calls{{42, 5, 6, 2}, {42, 7, 7, 2}}));
    EXPECT_EQ(tags(d.onceQueue), (std::vector<int>{5, 1}));
    EXPECT_EQ(d.onceQueue[0].station, 3);
    ASSERT_EQ(d.writeQueue.size(), 1);
    EXPECT_EQ(d.writeQueue.first().station, 3);
}

TEST_F(Replies, CyclicPassProgress) {
    d.servingMode = 0;
    d.readList = {readVar(1, 1, 0, 1, 0, 1), readVar(1, 1, 0, 1, 0, 2)};
    const struct {
        bool remote, ok;
        int progress, done;
    } steps[] = {{false, true, 1, 0}, {true, true, 1, 0},  {false, true, 2, 0},
                 {false, true, 0, 1}, {false, true, 0, 1}, {false, false, 0, 0}};
    for (const auto &s : steps) {
        RW_VAR var = readVar(1, 1, 0, 1);
        var.nodeId = s.remote ? kRemote : 0;
        d.protocolQueue = {frameFor(var, 11)};
        s.ok ? succeed() : fail();
        EXPECT_EQ(std::make_pair(d.cycleProgress, info.cycleDone), std::make_pair(s.progress, s.done));
    }
    EXPECT_EQ(d.readList.first().hostTag1, 2); // five completions rotated the list
}

Modbus_RTU_Master *probed = nullptr;
bool listHeldInCallback = false;
bool dataFreeInCallback = false;

int probeCompletion(int handle, int tag0, int tag1, int status) {
    listHeldInCallback = !probed->listMutex.tryLock();
    if (!listHeldInCallback)
        probed->listMutex.unlock();
    dataFreeInCallback = probed->dataMutex.tryLock();
    if (dataFreeInCallback)
        probed->dataMutex.unlock();
    return recordCompletion(handle, tag0, tag1, status);
}

// The host's loop by hand: queue a one-shot read, send its frame, hand back
// the reply, find the registers in the image; the completion callback runs
// with the queue lock held and the data lock free.
TEST_F(Replies, OneShotReadFromQueueToImage) {
    probed = &d;
    d.RegistCallBackFuncIntf(probeCompletion, recordNotify);
    d.onceQueue.append(readVar(1, 1, 10, 2, 5, 6));
    Protocol *p = d.ComCommunication();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->frame, bytes({0, 0, 0, 0, 0, 6, 1, 3, 0, 10, 0, 2}));
    EXPECT_EQ(answer(bytes({0, 0, 0, 0, 0, 7, 1, 3, 4, 0x12, 0x34, 0xAB, 0xCD})), 1);
    EXPECT_EQ(std::make_pair(int(d.HoldingImage[10]), int(d.HoldingImage[11])), std::make_pair(0x1234, 0xABCD));
    EXPECT_EQ(log().completions, (Calls{{42, 5, 6, 1}}));
    EXPECT_TRUE(listHeldInCallback);
    EXPECT_TRUE(dataFreeInCallback);
    EXPECT_TRUE(d.onceQueue.isEmpty());
}

} // namespace
