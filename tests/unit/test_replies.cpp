// Reply judgement, result codes, retries, give-up and its purge, completion
// reports and the progress of the cyclic pass.
#include "driver_fixture.h"

#include <atomic>
#include <thread>

namespace {

const int kRemote = 5; // a node other than info.localNodeId

Protocol frameFor(const RW_VAR &var, int replyLen) {
    Protocol p;
    p.frame = bytes({0, 0, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1});
    p.replyLen = replyLen;
    p.replyHeadLen = 9;
    p.var = var;
    return p;
}

RW_VAR write(int station, int tag0, int tag1) {
    RW_VAR var = readVar(station, 0, 0, 1, tag0, tag1);
    var.accessKind = 1;
    var.regType = 7;
    var.value = bytes({1, 2});
    return var;
}

// n bytes whose function code (byte 7) is fn.
QByteArray reply(int n, int fn = 3) {
    QByteArray out(n, '\0');
    if (n > 7)
        out[7] = static_cast<char>(fn);
    return out;
}

class ReplyTest : public DriverTest {
protected:
    int answer(QByteArray r) { return d.DataCom(&r, r.size())->result; }
    int fail() { return answer(QByteArray()); }
    int succeed() { return answer(replyFor(d.protocolQueue.first())); }
};

} // namespace

TEST_F(ReplyTest, ResultCodes) {
    const struct {
        int replyLen, accessKind, station, nodeId, aux0, framesDone;
        QByteArray reply;
        int tag0, expected;
    } cases[] = {
        {29, 0, 1, 0, 0, 0, reply(29), 3, 1},
        {29, 0, 1, 0, 0, 0, reply(28), 3, 74},
        {29, 0, 1, 0, 0, 0, reply(0), 3, 44},
        {12, 1, 1, 0, 0, 0, reply(5), 3, 1},  // a write reply only acknowledges
        {12, 2, 1, 0, 0, 0, reply(12), 3, 14}, // neither read nor write
        {12, 2, 0, 0, 0, 0, reply(12), 3, 1},  // station 0 carries nothing
        {0, 1, 0, 0, 0, 0, reply(0), 3, 1},    // broadcast: no reply expected
        {-1, 0, 1, 0, 0, 0, reply(3), 3, 1},   // any length
        {29, 0, 1, 0, 0, 0, reply(9, 0x83), 3, 74}, // exception responses fail,
        {12, 1, 1, 0, 0, 0, reply(9, 0x86), 3, 74}, // writes too,
        {-1, 0, 1, 0, 0, 0, reply(9, 0x83), 3, 74}, // whatever length is expected
        {29, 0, 1, kRemote, 0, 0, reply(29), 3, 100},
        {11, 0, 1, kRemote, -1, 0, reply(11), 3, 1}, // byte-write read half, stored
        {11, 0, 1, kRemote, -1, 1, reply(11), 3, 100},
        {29, 0, 1, kRemote, 0, 0, reply(0), 3, 144},
        {29, 0, 1, kRemote, 0, 0, reply(28), 3, 174},
        {12, 1, 1, kRemote, 0, 0, reply(9, 0x86), 3, 100}, // remote: length rule only
        {12, 2, 1, kRemote, 0, 0, reply(12), 3, 114},
        {29, 0, 1, 0, 0, 0, reply(0), 0, 41}, // offset k: hostTag0 + 1 within 0..11
        {29, 0, 1, 0, 0, 0, reply(0), 11, 52},
        {29, 0, 1, 0, 0, 0, reply(0), 12, 41},
        {29, 0, 1, 0, 0, 0, reply(0), -1, 41},
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
    EXPECT_EQ(d.GetDriverReturnValue(-1), 200);
    EXPECT_EQ(d.DataCom(nullptr, 0)->result, 1); // nothing pending
}

TEST_F(ReplyTest, RetriesUntilTheLimitThenGivesUp) {
    d.servingMode = 2;
    d.onceQueue = {readVar(1, 1, 0, 10, 3)};
    d.protocolQueue = {frameFor(readVar(1, 1, 0, 10, 3), 29), frameFor(readVar(1, 1, 0, 10, 3), 29)};
    EXPECT_EQ(fail(), 0);
    EXPECT_EQ(fail(), 0);
    EXPECT_EQ(d.protocolQueue.size(), 2);
    EXPECT_TRUE(d.lastFailed.load());
    EXPECT_EQ(fail(), 44);
    EXPECT_EQ(info.retryCount, 0);
    EXPECT_TRUE(d.protocolQueue.isEmpty()); // further frames of the request go too
    EXPECT_EQ(log().notifies, std::vector<int>{3});
    EXPECT_EQ(log().completions, (std::vector<CompletionCall>{{42, 3, 0, 2}}));

    // A success does not reset the count: the next frame fails out sooner.
    d.protocolQueue = {frameFor(readVar(1, 1, 0, 10), 29), frameFor(readVar(1, 1, 0, 10), 29)};
    info.framesExpected = 2;
    EXPECT_EQ(fail(), 0);
    EXPECT_EQ(succeed(), 1);
    EXPECT_FALSE(d.lastFailed.load());
    EXPECT_EQ(fail(), 0);
    EXPECT_EQ(fail(), 41);
}

TEST_F(ReplyTest, RequestsWithEqualHostKeysReportSuccessOnceAtTheEnd) {
    d.servingMode = 1;
    d.writeQueue = {write(1, 5, 6), write(1, 5, 6)};
    d.protocolQueue = {frameFor(d.writeQueue.first(), 12), frameFor(d.writeQueue.first(), 12)};
    info.framesExpected = 2; // a two-frame write: the first reply completes nothing
    EXPECT_EQ(succeed(), 1);
    EXPECT_EQ(d.writeQueue.size(), 2);
    EXPECT_EQ(succeed(), 1);
    EXPECT_TRUE(log().completions.empty());
    d.protocolQueue = {frameFor(d.writeQueue.first(), 12)};
    info.framesExpected = 1;
    EXPECT_EQ(succeed(), 1);
    EXPECT_EQ(log().completions, (std::vector<CompletionCall>{{42, 5, 6, 1}}));
    EXPECT_EQ(d.resultRecord.hostTag0, 5);
    EXPECT_EQ(d.resultRecord.regType, 7);
    EXPECT_TRUE(d.resultRecord.value.isEmpty());
    EXPECT_TRUE(d.writeQueue.isEmpty());
}

// Giving up drops the queued writes (all of them with one station) and the
// one-shot reads of the same variable; each dropped host request is reported
// once, and the failed one is not reported twice.
TEST_F(ReplyTest, GiveUpPurgesAndReportsEveryDroppedWrite) {
    info.retryLimit = 0;
    d.servingMode = 1;
    d.writeQueue = {write(1, 5, 6), write(1, 5, 6), write(1, 7, 8), write(1, 7, 8)};
    d.onceQueue = {readVar(1, 1, 0, 1, 5, 6), readVar(1, 1, 0, 1, 9, 9)};
    d.protocolQueue = {frameFor(d.writeQueue.first(), 12)};
    EXPECT_EQ(fail(), 46);
    EXPECT_EQ(log().completions, (std::vector<CompletionCall>{{42, 5, 6, 2}, {42, 7, 8, 2}}));
    EXPECT_TRUE(d.writeQueue.isEmpty());
    ASSERT_EQ(d.onceQueue.size(), 1);
    EXPECT_EQ(d.onceQueue.first().hostTag0, 9);
}

TEST_F(ReplyTest, GiveUpWithSeveralStationsPurgesOnlyTheFailedStation) {
    info.retryLimit = 0;
    info.multiStation = 1;
    d.servingMode = 2;
    d.onceQueue = {readVar(2, 1, 0, 1, 5, 6), readVar(3, 1, 0, 1, 5, 6), readVar(2, 1, 0, 1, 1, 1),
                   readVar(2, 1, 9, 1, 5, 6)};
    d.writeQueue = {write(2, 7, 7), write(3, 8, 8)};
    d.protocolQueue = {frameFor(d.onceQueue.first(), 11)};
    fail();
    EXPECT_EQ(log().completions, (std::vector<CompletionCall>{{42, 5, 6, 2}, {42, 7, 7, 2}}));
    ASSERT_EQ(d.onceQueue.size(), 2);
    EXPECT_EQ(d.onceQueue[0].station, 3);
    EXPECT_EQ(d.onceQueue[1].hostTag0, 1);
    ASSERT_EQ(d.writeQueue.size(), 1);
    EXPECT_EQ(d.writeQueue.first().station, 3);
}

TEST_F(ReplyTest, CyclicPassProgress) {
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
        EXPECT_EQ(d.cycleProgress, s.progress);
        EXPECT_EQ(info.cycleDone, s.done);
    }
    EXPECT_EQ(d.readList.first().hostTag1, 2); // five completions rotated the list
}

namespace {

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

} // namespace

// The host's loop by hand: queue a one-shot read, send its frame, hand back
// the reply, find the registers in the image.
TEST_F(ReplyTest, OneShotReadFromQueueToImage) {
    probed = &d;
    d.RegistCallBackFuncIntf(probeCompletion, recordNotify);
    d.onceQueue.append(readVar(1, 1, 10, 2, 5, 6));
    Protocol *p = d.ComCommunication();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->frame, bytes({0, 0, 0, 0, 0, 6, 1, 3, 0, 10, 0, 2}));
    EXPECT_EQ(answer(bytes({0, 0, 0, 0, 0, 7, 1, 3, 4, 0x12, 0x34, 0xAB, 0xCD})), 1);
    EXPECT_EQ(d.HoldingImage[10], 0x1234);
    EXPECT_EQ(d.HoldingImage[11], 0xABCD);
    EXPECT_EQ(log().completions, (std::vector<CompletionCall>{{42, 5, 6, 1}}));
    EXPECT_TRUE(listHeldInCallback);
    EXPECT_TRUE(dataFreeInCallback);
    EXPECT_TRUE(d.onceQueue.isEmpty());
}

// The communication loop runs while another thread queues work, switches
// stations and reads values; every request completes and none deadlocks.
TEST_F(ReplyTest, LoopAlongsideHostThreads) {
    const int kRequests = 300;
    d.readList.append(readVar(1, 1, 0, 4));
    std::atomic<bool> hostDone{false};
    std::thread host([&] {
        QByteArray data;
        for (int i = 0; i < kRequests; ++i) {
            RW_VAR w = write(1, 1, i);
            d.AddListWriteVar(&w, 1);
            RW_VAR r = readVar(1, 1, i % 100, 2, 2, i);
            d.AddListOnceReadVar(&r, 1);
            d.EnCommStation(3, i % 2);
            d.GetRegisterData(7, QStringLiteral("5"), 1, data, 1);
        }
        hostDone = true;
    });
    const auto serve = [&] {
        if (Protocol *p = d.ComCommunication())
            answer(replyFor(*p));
        else
            std::this_thread::yield();
    };
    while (!hostDone)
        serve();
    host.join();
    for (int i = 0; i < 3 * kRequests && log().completions.size() < 2u * kRequests; ++i)
        serve();
    EXPECT_EQ(log().completions.size(), 2u * kRequests);
}
