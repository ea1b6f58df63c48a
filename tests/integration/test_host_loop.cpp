// The reference host and the driver plug-in against the simulated PLC on
// loopback: every test starts its own simulator and stops it by PID.
#include "host_rig.h"

using namespace rig;
using Values = std::vector<std::uint32_t>;

namespace {

// One variable of each area, polled cyclically, each over a different
// register layout. Replies come a few bytes at a time and are reassembled; a
// variable not polled was never read. (Every type against a server's own
// memory: the interop tests.)
TEST(HostLoop, CyclicPollingOfEachAreaInSplitReplies) {
    Rig r({"--split", "3", "-s", "1:i10=0x1234", "-s", "1:h10=0x2345", "-s", "1:h5010=u32:0x789A3456"});
    const std::vector<Variable> plan = {var(0, "20.0", 8), var(4, "21"), var(11, "5")};
    const std::vector<Values> expected = {{0, 0, 1, 0, 1, 1, 0, 0}, {0x23}, {0x789A3456}}; // low bit first
    r.start(plan);
    ASSERT_TRUE(r.host->waitScan(0, 3000));
    for (size_t i = 0; i < plan.size(); ++i)
        EXPECT_EQ(decodeValues(plan[i].type, r.host->reading(plan[i]).data), expected[i]) << plan[i].label;
    EXPECT_EQ(r.host->stats().failures, 0u);
    EXPECT_EQ(r.host->reading(var(7, "900")).quality, Quality::NeverRead);
}

// Units with their own memory, and station 3, which never answers: it is
// switched off for a while so the live ones keep being polled, and tried
// (and switched off) again when the period ends. A write reaches its own
// station only, a broadcast every unit.
TEST(HostLoop, MultiStationWithADeadStation) {
    Rig r({"--units", "1,2", "--animate", "-s", "1:h0=101", "-s", "2:h0=202"}, [](HostConfig &c) {
        c.multiStation = true;
        c.timeoutMs = 100;
        c.retryLimit = 0;
        c.demoteAfter = 1;
        c.demoteMs = 300;
    });
    const std::vector<Variable> plan = {var(6, "0", 1, 1), var(6, "0", 1, 3), var(6, "0", 1, 2),
                                        var(7, "0", 1, 1), var(7, "0", 1, 2)};
    r.start(plan);
    auto value = [&](size_t i) { return r.host->values(plan[i]).at(0); }; // throws before the first read
    EXPECT_TRUE(eventually([&] { return r.host->stats().demotions >= 2; }));
    const std::uint32_t first = value(0), second = value(2); // animated inputs
    EXPECT_TRUE(eventually([&] { return value(0) > first + 3 && value(2) > second + 3; }));
    EXPECT_EQ(Values({value(3), value(4)}), (Values{101, 202}));
    EXPECT_EQ(r.host->reading(plan[1]).quality, Quality::Failed);
    for (const char *line : {"station 3: read in.word 0 (in.word 0) given up: no reply within 100 ms",
                             "station 3: switched off for 300 ms", "station 3: switched back on"})
        EXPECT_TRUE(r.reported(line)) << line;
    EXPECT_TRUE(eventually([&] { // each time switched off until at most 300 ms on
        const std::vector<StationState> s = r.host->stations();
        return s.size() == 3 && s[0].on && s[1].on && s[2].station == 3 && !s[2].on &&
               s[2].backAt <= WallClock::now() + std::chrono::milliseconds(300);
    }));

    EXPECT_EQ(r.write(var(7, "5", 1, 2), le({9, 0})), PlcHost::Done);
    EXPECT_EQ(r.write(var(7, "6", 1, 0), le({8, 0})), PlcHost::Done); // a broadcast
    ModbusClient one(r.sim.port(), 1), two(r.sim.port(), 2);
    EXPECT_TRUE(eventually([&] { // a broadcast is unacknowledged: done once sent, not once stored
        return std::vector<int>({one.readHolding(5), one.readHolding(6), two.readHolding(5), two.readHolding(6)}) ==
               std::vector<int>{0, 8, 9, 8};
    }));
}

TEST(HostLoop, RemoteAreaMode) {
    Rig r({"--remote", "-s", "1:h10=4660", "-s", "1:i3=77"}, [](HostConfig &c) { c.remote = true; });
    const Variable word = var(7, "10"), input = var(6, "3");
    r.start({word, input});
    EXPECT_TRUE(eventually([&] { return r.host->values(word) == Values{4660} && 
                                 r.host->values(input) == Values{77}; }));
    EXPECT_EQ(r.write(var(4, "21"), le({0x56})), PlcHost::Done); // high byte of register 10
    EXPECT_TRUE(eventually([&] { return r.host->values(word) == Values{0x5634}; }));
    EXPECT_EQ(r.write(var(11, "2"), le({1, 0, 2, 0})), PlcHost::Done);
    EXPECT_EQ(r.readBack(var(8, "4", 2)), (Values{1, 2}));
}

// Every reply comes after the time-out: a write goes out retryLimit + 1
// times, each on a new connection, is given up, and the host hears of it
// through both callbacks and a report line. No late reply is ever taken
// for a later request's.
TEST(HostLoop, LateRepliesAreRetriedThenGivenUpAndNeverTakenForLaterRequests) {
    Rig r({"--delay-ms", "150", "-s", "1:h0=1", "-s", "1:h1=2"}, [](HostConfig &c) { c.timeoutMs = 100; });
    r.start();
    EXPECT_EQ(r.write(var(7, "5"), le({1, 0})), PlcHost::Failed);
    const StatsSnapshot s = r.host->stats(); // exchanges, retries, given up; a new connection each
    EXPECT_EQ(std::vector<std::uint64_t>({s.exchanges, s.retries, s.givenUp, s.reconnects}),
              (std::vector<std::uint64_t>{3, 2, 1, 2}));
    const std::vector<HostEvent> e = r.host->events(); // dispatched, completed, given up
    ASSERT_EQ(e.size(), 3u);
    EXPECT_TRUE(e[0].kind == HostEvent::Notify && e[1].kind == HostEvent::Completion &&
                e[1].tag1 == r.id.tag1 && e[1].status == PlcHost::Failed && e[2].kind == HostEvent::Notify);
    EXPECT_TRUE(r.reported("station 1: write hold.word 5 (hold.word 5) given up: no reply within 100 ms"));
    for (const char *address : {"0", "1"})
        EXPECT_EQ(r.request(var(7, address)), PlcHost::Failed) << address;
    EXPECT_EQ(r.host->values(var(7, "0", 2)), (Values{0, 0}));
}

// A PLC that refuses every request: the polled value's reason names the
// exception, each request given up gets a line naming it, its station and
// the exception, and the connection stays, since a refusal is a whole reply.
// (That such a value is failed and never shown, and a one-shot read of it
// fails: the interop tests.)
TEST(HostLoop, RefusedRequestsFailWithTheExceptionNamed) {
    Rig r({"--exception-every", "1"}, [](HostConfig &c) { c.retryLimit = 1; });
    const Variable polled = var(7, "0", 2);
    r.start({polled});
    ASSERT_TRUE(r.host->waitScan(0, 3000));
    EXPECT_EQ(r.host->reading(polled).reason, "exception 4 (server device failure)");
    EXPECT_TRUE(r.reported("station 1: read hold.word 0..1 (hold.word 0) given up: exception 4"));
    EXPECT_EQ(r.host->stats().reconnects, 0u);
}

// Every second request goes unanswered and each reply takes 100 ms: the
// value is stale while its block is retried, with its last good bytes.
TEST(HostLoop, ValueIsStaleWhileItsBlockIsRetried) {
    Rig r({"--drop-every", "2", "--delay-ms", "100", "-s", "1:h4=7"}, [](HostConfig &c) { c.retryLimit = 1; });
    const Variable v = var(7, "4");
    r.start({v});
    ASSERT_TRUE(eventually([&] { return r.host->reading(v).quality == Quality::Stale; }));
    const Reading stale = r.host->reading(v);
    EXPECT_EQ(stale.data, le({7, 0}));
    EXPECT_EQ(stale.reason, "no reply within 300 ms");
    EXPECT_TRUE(eventually([&] { return r.host->reading(v).quality == Quality::Good; }));
    EXPECT_EQ(r.host->stats().givenUp, 0u);

    r.host->setStationEnabled(1, false);
    EXPECT_EQ(r.host->reading(v).reason, "station 1 switched off");
    EXPECT_TRUE(r.reported("station 1: switched off"));
}

// A broadcast write expects no reply, but a server taking unit 0 for "this
// device" answers it: the host drops the connection after the write, so
// that answer meets no later request and nothing fails.
TEST(HostLoop, AnAnsweredBroadcastNeverMeetsALaterRequest) {
    Rig r({"--answer-unit0", "-s", "1:h10=10", "-s", "1:h20=20"}, [](HostConfig &c) { c.multiStation = true; });
    r.start();
    EXPECT_EQ(r.write(var(7, "5", 1, 0), le({2, 0})), PlcHost::Done);
    EXPECT_EQ(r.readBack(var(7, "10")), Values{10});
    EXPECT_EQ(r.readBack(var(7, "20")), Values{20});
    EXPECT_EQ(r.host->stats().failures, 0u);
    EXPECT_EQ(r.host->stats().reconnects, 1u);
    EXPECT_TRUE(eventually([&] { return ModbusClient(r.sim.port(), 0).readHolding(5) == 2; })); // unit 0's own
}

// A server that takes unit 0 for "this device" answers a broadcast write.
// A host that keeps its connection and reads one reply per frame then finds
// that answer in front of the next request's, and each reply after it one
// request late. Transaction ids tell them apart: each late reply fails and
// the frame's retry meets its own answer, so no value is ever another's.
TEST(HostLoop, TransactionIdsKeepANaiveHostInStepWithAServerAnsweringUnitZero) {
    SimProcess sim({"--answer-unit0", "-s", "1:h0=11", "-s", "1:h5000=22"});
    Plugin plugin;
    std::string error;
    ASSERT_TRUE(plugin.open(PLUGIN_PATH, &error)) << error;
    const PluginApi &api = plugin.api();
    ComInfo info{};
    info.maxRegsPerFrame = 100;
    info.retryLimit = 3;
    info.multiStation = 1;
    info.writeMode = PLC_WRITE_TO_PLC;
    api.SetComInfo(&info);
    api.RegistCallBackFuncIntf([](int, int, int, int) { return 0; }, [](QList<RW_VAR>, int, int) { return 0; });
    QList<HOSTVAR> plan{{0, 7, 1, 0, 0, QStringLiteral("0"), QString(), 1},  // hold.word 0
                        {0, 8, 1, 0, 0, QStringLiteral("0"), QString(), 1}}; // ext.word 0: register 5000
    api.ReCreatReadVarList(&plan);
    api.SetRegisterData(QString(), 7, QStringLiteral("3"), 0, le({5, 0}), 1, 1, 1);
    TcpLink link;
    ASSERT_TRUE(link.open("127.0.0.1", sim.port(), 3000, error)) << error;
    for (int exchange = 0; exchange < 12; ++exchange) {
        const Protocol *p = api.ComCommunication();
        ASSERT_NE(p, nullptr);
        const auto deadline = Clock::now() + std::chrono::seconds(3);
        QByteArray reply;
        ASSERT_EQ(link.send(p->frame, deadline), Io::Ok);
        ASSERT_TRUE(p->replyLen == 0 || link.receiveModbusReply(&reply, deadline) == Io::Ok);
        EXPECT_NE(api.DataCom(&reply, reply.size())->result, PLC_RESULT_BAD_REPLY + 1);
    }
    QByteArray hold, ext;
    ASSERT_EQ(api.GetRegisterData(nullptr, 7, "0", 1, hold, 1) + api.GetRegisterData(nullptr, 8, "0", 1, ext, 1), 2);
    EXPECT_EQ(hold + ext, le({11, 0, 22, 0})); // without the ids: 22, 0, 11, 0
}

// 82 requests of 10 ms each: the wait runs out only when no exchange makes
// progress, not when the whole read takes longer than the idle time.
TEST(HostLoop, LongSplitReadIsDoneWhileItsRequestsProgress) {
    Rig r({"--delay-ms", "10", "-s", "1:h5000=1", "-s", "1:h13191=2"});
    r.start();
    const Variable all = var(8, "0", 8192);
    EXPECT_EQ(r.request(all, nullptr, 500), PlcHost::Done);
    const Values words = r.host->values(all);
    ASSERT_EQ(words.size(), 8192u);
    EXPECT_EQ(words.front() + words.back(), 3u);
    EXPECT_EQ(r.host->stats().exchanges, 82u);
}

// Against a PLC that never answers, stop() does not wait for the 15 s
// time-out of the request in flight.
TEST(HostLoop, StopsAtOnceWhileARequestIsInFlight) {
    Rig r({"--drop-every", "1"}, [](HostConfig &c) { c.timeoutMs = 15000; });
    r.start({var(7, "0")});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    r.host->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(r.host->stats().exchanges, 0u);
}

// Unusable requests are refused with a reason before they reach the driver.
TEST(HostLoop, UnusableRequestsAreRefused) {
    std::string error;
    PlcHost host(config(1)); // single station 1, 100 registers per request
    EXPECT_FALSE(host.setPlan({var(7, "0")}, error));
    EXPECT_NE(error.find("not loaded"), std::string::npos) << error;
    ASSERT_TRUE(host.load(error)) << error;
    EXPECT_FALSE(PlcHost(config(1)).load(error)); // one driver object per plug-in file
    EXPECT_NE(error.find("already in use"), std::string::npos) << error;

    const struct { Variable v; const char *reason; } plans[] = {
        {var(7, "0", 1, 2), "multi-station"},
        {var(7, "0", 101), "more than the 100"},
        {var(13, "0"), "unknown type"},
    };
    for (const auto &p : plans) {
        EXPECT_FALSE(host.setPlan({var(7, "0"), p.v}, error)) << p.reason;
        EXPECT_NE(error.find(p.reason), std::string::npos) << error;
    }
    RequestId id;
    EXPECT_FALSE(host.write(var(6, "0"), le({1, 0}), &id, error));
    EXPECT_NE(error.find("read-only"), std::string::npos) << error;
    EXPECT_FALSE(host.readOnce(var(7, "0", 1, 0), &id, error));

    // A write that its full queue refuses is reported failed at once, on the
    // thread that asked (the loop is not even running).
    for (int i = 0; i < 1024; ++i)
        ASSERT_TRUE(host.write(var(7, std::to_string(i)), le({1, 0}), &id, error)) << error;
    ASSERT_TRUE(host.write(var(8, "0"), le({1, 0}), &id, error)) << error;
    EXPECT_EQ(host.waitCompletion(id, 0), PlcHost::Failed);
}

} // namespace
