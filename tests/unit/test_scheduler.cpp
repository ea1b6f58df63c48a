// The request scheduler: queue order and turns, switched-off stations, and
// records that can never yield a frame.
#include "driver_fixture.h"

namespace {

RW_VAR wordWrite(int station, int tag1, int regType = 7) {
    RW_VAR var = readVar(station, 0, tag1, 1, 0, tag1);
    var.accessKind = 1;
    var.regType = regType;
    var.value = bytes({1, 0});
    return var;
}

class SchedulerTest : public DriverTest {
protected:
    // Serves one request and answers it: the hostTag1 served, -1 for none.
    int exchange() {
        Protocol *p = d.ComCommunication();
        if (!p)
            return -1;
        const int tag = p->var.hostTag1;
        QByteArray reply = replyFor(*p);
        d.DataCom(&reply, reply.size());
        return tag;
    }
};

} // namespace

TEST_F(SchedulerTest, FiveWritesThenFiveOneShotReadsThenOneCyclicBlock) {
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

TEST_F(SchedulerTest, PreparedFrameGoesFirstUntilAnswered) {
    d.onceQueue.append(readVar(1, 1, 0, 1, 0, 1));
    Protocol *p = d.ComCommunication();
    d.writeQueue.append(wordWrite(1, 2));
    EXPECT_EQ(d.ComCommunication(), p);
    QByteArray none;
    d.DataCom(&none, 0); // retried
    EXPECT_EQ(d.ComCommunication(), p);
}

TEST_F(SchedulerTest, NothingQueuedEndsTheCycle) {
    d.writeTurns = d.onceTurns = 3;
    EXPECT_EQ(d.ComCommunication(), nullptr);
    EXPECT_EQ(info.cycleDone, 1);
    EXPECT_EQ(d.writeTurns + d.onceTurns, 0);
}

TEST_F(SchedulerTest, SwitchedOffStations) {
    d.EnCommStation(2, 0);
    d.readList = {readVar(2, 1, 0, 1, 0, 1), readVar(2, 1, 0, 1, 0, 2), readVar(1, 1, 0, 1, 0, 3)};
    d.onceQueue = {readVar(2, 1, 0, 1), readVar(2, 1, 0, 1)};
    d.writeQueue = {wordWrite(2, 1), wordWrite(2, 2)};
    EXPECT_EQ(d.ComCommunication(), nullptr); // drops every write of station 2
    EXPECT_TRUE(d.writeQueue.isEmpty());
    EXPECT_EQ(d.onceQueue.size(), 2);
    EXPECT_EQ(d.ComCommunication(), nullptr);
    EXPECT_TRUE(d.onceQueue.isEmpty());
    // Each dropped request is reported failed once (both reads carry keys 0, 0).
    EXPECT_EQ(log().completions,
              (std::vector<CompletionCall>{{42, 0, 1, 2}, {42, 0, 2, 2}, {42, 0, 0, 2}}));
    EXPECT_EQ(exchange(), 3); // skips the two blocks of station 2
    EXPECT_EQ(d.readList.first().hostTag1, 1);
}

TEST_F(SchedulerTest, EnCommStationOperations) {
    const struct {
        std::vector<std::pair<int, int>> ops;
        QList<int> off;
    } cases[] = {
        {{{5, 0}, {5, 0}}, {5}},
        {{{5, 0}, {6, 0}, {-1, 3}}, {}},
        {{{5, 0}, {6, 1}, {5, 2}}, {5}},
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
// and the record behind it is served next.
TEST_F(SchedulerTest, HeadWithoutFrameLeavesReportedAsFailed) {
    const struct {
        bool write;
        RW_VAR var;
    } cases[] = {
        {true, wordWrite(1, 0, 0)},  {true, wordWrite(1, 0, 3)}, {true, wordWrite(1, 0, 6)},
        {true, wordWrite(1, 0, 9)},  {true, wordWrite(1, 0, 12)}, {true, wordWrite(1, 0, -1)},
        {true, wordWrite(0, 0, 4)},  // byte write to station 0
        {false, readVar(0, 1, 0, 1)}, {false, readVar(1, 3, 0, 1)}, {false, readVar(1, -1, 0, 1)},
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
        EXPECT_EQ(log().completions, (std::vector<CompletionCall>{{42, 3, 4, 2}}));
        EXPECT_EQ(exchange(), 9);
        EXPECT_TRUE(queue.isEmpty());
    }
}

TEST_F(SchedulerTest, CyclicBlockWithoutFrameMovesToTheEnd) {
    d.readList = {readVar(0, 1, 0, 1, 0, 1), readVar(1, 1, 0, 1, 0, 2)};
    EXPECT_EQ(d.ComCommunication(), nullptr);
    EXPECT_EQ(exchange(), 2);
}

TEST_F(SchedulerTest, EveryCyclicStationOffStillReopensTheTurns) {
    d.EnCommStation(2, 0);
    d.readList = {readVar(2, 1, 0, 1)};
    d.writeTurns = d.onceTurns = kTurnLimit + 1;
    d.writeQueue = {wordWrite(1, 7)};
    d.onceQueue = {readVar(1, 1, 0, 1, 0, 8)};
    EXPECT_EQ(d.ComCommunication(), nullptr);
    EXPECT_EQ(exchange(), 7);
    EXPECT_EQ(exchange(), 8);
}

TEST_F(SchedulerTest, RemoteModeUsesTheRemoteBuilders) {
    info.remoteMode = 1;
    d.writeQueue = {wordWrite(1, 1)};
    d.onceQueue = {readVar(1, 1, 0, 10)};
    EXPECT_EQ(d.ComCommunication()->frame.size(), 22 + 2);
    d.protocolQueue.clear();
    d.writeQueue.clear();
    EXPECT_EQ(d.ComCommunication()->frame.size(), 22);
}
