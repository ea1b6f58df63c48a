// The reference host and the driver plug-in against the simulated PLC on
// loopback: every test starts its own simulator and stops it by PID.
#include "host_rig.h"

using namespace rig;
using Values = std::vector<std::uint32_t>;

namespace {

std::string preset(int unit, const char *reg, int value) {
    return std::to_string(unit) + ":" + reg + "=" + std::to_string(value);
}

// Every register type, polled cyclically, against registers 10 and 11 of
// each area, which hold different words per area.
TEST(HostLoop, CyclicPollingOfEveryRegisterType) {
    const int lo[3] = {0x1234, 0x2345, 0x3456}, hi[3] = {0x5678, 0x6789, 0x789A};
    Rig r({"--set", preset(1, "i10", lo[0]), "--set", preset(1, "i11", hi[0]), "--set",
           preset(1, "h10", lo[1]), "--set", preset(1, "h11", hi[1]), "--set",
           preset(1, "h5010", lo[2]), "--set", preset(1, "h5011", hi[2])});
    std::vector<Variable> plan;
    std::vector<Values> expected;
    for (int area = 0; area < 3; ++area) {
        Values bits;
        for (int b = 0; b < 8; ++b)
            bits.push_back(lo[area] >> b & 1);
        plan.push_back(var(area, "20.0", 8)); // bits of register 10's low byte
        expected.push_back(bits);
        plan.push_back(var(3 + area, "20", 2)); // the two bytes of register 10
        expected.push_back({std::uint32_t(lo[area] & 0xFF), std::uint32_t(lo[area] >> 8)});
        plan.push_back(var(6 + area, "10", 2));
        expected.push_back({std::uint32_t(lo[area]), std::uint32_t(hi[area])});
        plan.push_back(var(9 + area, "5", 1)); // registers 10 (low half) and 11
        expected.push_back({std::uint32_t(hi[area]) << 16 | std::uint32_t(lo[area])});
    }
    r.start(plan);
    for (size_t i = 0; i < plan.size(); ++i)
        EXPECT_TRUE(eventually([&] { return r.host->values(plan[i]) == expected[i]; }))
            << plan[i].label;
    EXPECT_TRUE(eventually([&] { return r.host->cycleDone(); }));
    EXPECT_EQ(r.host->stats().failures, 0u);
}

// One-shot reads and long word and double-word writes go out in several
// requests when longer than the request size; each is reported once.
TEST(HostLoop, OneShotReadsAndLongWritesSplitOverSeveralRequests) {
    Rig r({"--set", "1:h3=7", "--set", "1:h12=9", "--set", "1:i5=42", "--set", "1:h5100=5"},
          [](HostConfig &c) { c.regsPerFrame = 4; });
    r.start();
    Values words = r.readBack(var(7, "0", 14));
    ASSERT_EQ(words.size(), 14u);
    EXPECT_EQ(words[3], 7u);
    EXPECT_EQ(words[12], 9u);
    EXPECT_EQ(r.readBack(var(6, "5")), Values{42});
    EXPECT_EQ(r.readBack(var(8, "100")), Values{5});
    EXPECT_EQ(r.host->stats().exchanges, 6u); // 4 + 1 + 1 requests

    QByteArray wordBytes, dwordBytes;
    Values expectedWords, expectedDwords;
    for (int i = 0; i < 10; ++i) {
        wordBytes.append(le({i + 1, 0x10}));
        expectedWords.push_back(0x1000 + i + 1);
    }
    for (int i = 0; i < 5; ++i) {
        dwordBytes.append(le({i, 0, 0, 0x40}));
        expectedDwords.push_back(0x40000000u + i);
    }
    EXPECT_EQ(r.write(var(7, "100", 10), wordBytes), PlcHost::Done);
    EXPECT_EQ(r.write(var(11, "50", 5), dwordBytes), PlcHost::Done);
    EXPECT_EQ(r.host->stats().exchanges, 11u); // 4 + 4 + 2 words, 4 + 1 double words
    EXPECT_EQ(r.readBack(var(7, "100", 10)), expectedWords);
    EXPECT_EQ(r.readBack(var(11, "50", 5)), expectedDwords);
    int completions = 0;
    for (const HostEvent &e : r.host->events())
        completions += e.kind == HostEvent::Completion;
    EXPECT_EQ(completions, 7); // five reads, two writes
}

// Writes of every element kind in both writable areas, each checked by a
// fresh read of the register from the PLC.
TEST(HostLoop, WritesOfEveryElementKind) {
    Rig r({"--set", "1:h30=4660", "--set", "1:h5030=4660", "--set", "1:h31=240", "--set",
           "1:h5031=240", "--set", "1:h32=65535"});
    r.start();
    struct Case {
        Variable target;
        QByteArray value;
        Variable check;
        Values expected;
    } cases[] = {
        {var(1, "62.0"), le({1}), var(7, "31"), {0x00F1}},  // coil 496: register 31, bit 0
        {var(2, "62.3"), le({1}), var(8, "31"), {0x00F8}},
        {var(1, "64.5"), le({0}), var(7, "32"), {0xFFDF}},  // clearing a bit
        {var(4, "61"), le({0xAB}), var(7, "30"), {0xAB34}}, // high byte; the low one stays
        {var(5, "60"), le({0xCD}), var(8, "30"), {0x12CD}}, // low byte; the high one stays
        {var(7, "40"), le({0xEF, 0xBE}), var(7, "40"), {0xBEEF}},
        {var(8, "40"), le({0x34, 0x12}), var(8, "40"), {0x1234}},
        {var(10, "21"), le({0xEF, 0xCD, 0xAB, 0x89}), var(7, "42", 2), {0xCDEF, 0x89AB}},
        {var(11, "21"), le({1, 2, 3, 4}), var(8, "42", 2), {0x0201, 0x0403}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(r.write(c.target, c.value), PlcHost::Done) << c.target.label;
        EXPECT_EQ(r.readBack(c.check), c.expected) << c.target.label;
    }
}

// Three units with their own memory; a switched-off station is no longer
// polled while the others are.
TEST(HostLoop, MultiStationAndSwitchingStationsOff) {
    Rig r({"--units", "1,2,3", "--set", "1:h0=101", "--set", "2:h0=202", "--set", "3:h0=303"},
          [](HostConfig &c) { c.multiStation = true; });
    const std::vector<Variable> plan = {var(7, "0", 1, 1), var(7, "0", 1, 2), var(7, "0", 1, 3)};
    r.start(plan);
    auto valueOf = [&](int station) { return r.first(plan[station - 1]); };
    EXPECT_TRUE(eventually([&] { return valueOf(1) == 101 && valueOf(2) == 202 && valueOf(3) == 303; }));

    r.host->setStationEnabled(2, false);
    ModbusClient plc(r.sim.port());
    for (int unit = 1; unit <= 3; ++unit) {
        plc.setUnit(unit);
        ASSERT_EQ(modbus_write_register(plc.ctx(), 0, 111 * unit), 1);
    }
    EXPECT_TRUE(eventually([&] { return valueOf(1) == 111 && valueOf(3) == 333; }));
    const auto seen = r.host->stats().exchanges;
    EXPECT_TRUE(eventually([&] { return r.host->stats().exchanges > seen + 6; }));
    EXPECT_EQ(valueOf(2), 202u);
    r.host->setStationEnabled(2, true);
    EXPECT_TRUE(eventually([&] { return valueOf(2) == 222; }));

    // A write goes to its own station only.
    EXPECT_EQ(r.write(var(7, "5", 1, 3), le({9, 0})), PlcHost::Done);
    plc.setUnit(3);
    EXPECT_EQ(plc.readHolding(5), 9);
    plc.setUnit(1);
    EXPECT_EQ(plc.readHolding(5), 0);
}

TEST(HostLoop, RemoteAreaMode) {
    Rig r({"--remote", "--set", "1:h10=4660", "--set", "1:i3=77"},
          [](HostConfig &c) { c.remote = true; });
    const Variable word = var(7, "10"), input = var(6, "3");
    r.start({word, input});
    EXPECT_TRUE(eventually([&] { return r.host->values(word) == Values{4660}; }));
    EXPECT_TRUE(eventually([&] { return r.host->values(input) == Values{77}; }));
    EXPECT_EQ(r.write(var(4, "21"), le({0x56})), PlcHost::Done); // high byte of register 10
    EXPECT_TRUE(eventually([&] { return r.host->values(word) == Values{0x5634}; }));
    EXPECT_EQ(r.write(var(11, "2"), le({1, 0, 2, 0})), PlcHost::Done);
    EXPECT_EQ(r.readBack(var(8, "4", 2)), (Values{1, 2}));
}

// Nothing answered: the write is sent retryLimit + 1 times, then given up,
// and the host hears of it through both callbacks.
TEST(HostLoop, RetriesThenGiveUpWhenRepliesAreDropped) {
    Rig r({"--drop-every", "1"}, [](HostConfig &c) {
        c.retryLimit = 2;
        c.timeoutMs = 100;
    });
    r.start();
    RequestId id;
    std::string error;
    ASSERT_TRUE(r.host->write(var(7, "5"), le({1, 0}), &id, error)) << error;
    EXPECT_EQ(r.host->waitCompletion(id, 3000), PlcHost::Failed);
    const StatsSnapshot s = r.host->stats();
    EXPECT_EQ(s.exchanges, 3u);
    EXPECT_EQ(s.retries, 2u);
    EXPECT_EQ(s.givenUp, 1u);
    EXPECT_GE(s.reconnects, 2u); // a connection that timed out is never reused
    const std::vector<HostEvent> events = r.host->events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, HostEvent::Notify); // the write was dispatched
    EXPECT_EQ(events[1].kind, HostEvent::Completion);
    EXPECT_EQ(events[1].tag1, id.tag1);
    EXPECT_EQ(events[1].status, 2);
    EXPECT_EQ(events[2].kind, HostEvent::Notify); // the exchange was given up
}

// Every reply comes after the time-out. The frames carry no transaction
// number, so on a reused connection a late reply would answer the next
// request; the host drops the connection instead, and nothing is stored.
TEST(HostLoop, LateRepliesAreNeverTakenForLaterRequests) {
    Rig r({"--delay-ms", "150", "--set", "1:h0=1", "--set", "1:h1=2"}, [](HostConfig &c) {
        c.timeoutMs = 100;
        c.retryLimit = 1;
    });
    r.start();
    for (const char *address : {"0", "1"})
        EXPECT_EQ(r.read(var(7, address)), PlcHost::Failed) << address;
    EXPECT_EQ(r.host->values(var(7, "0", 2)), (Values{0, 0}));
}

// An exception response is a failure, for writes too.
TEST(HostLoop, ExceptionResponseFails) {
    Rig r({"--exception-every", "1"}, [](HostConfig &c) { c.retryLimit = 1; });
    r.start();
    EXPECT_EQ(r.read(var(7, "0")), PlcHost::Failed);
    EXPECT_EQ(r.write(var(7, "0"), le({1, 0})), PlcHost::Failed);
    const StatsSnapshot s = r.host->stats();
    EXPECT_EQ(s.givenUp, 2u);
    EXPECT_EQ(s.reconnects, 0u); // an exception is a whole reply: the connection stays
}

// Replies arriving a few bytes at a time are reassembled, never cut.
TEST(HostLoop, RepliesSplitOverTcpSegments) {
    Rig r({"--split", "3", "--set", "1:h0=11", "--set", "1:h49=22", "--set", "1:i19=33"});
    const Variable holding = var(7, "0", 50), input = var(6, "0", 20);
    r.start({holding, input});
    EXPECT_TRUE(eventually([&] {
        Values h = r.host->values(holding), i = r.host->values(input);
        return h.size() == 50 && h[0] == 11 && h[49] == 22 && i.size() == 20 && i[19] == 33;
    }));
    EXPECT_EQ(r.host->stats().failures, 0u);
}

// A station that never answers is switched off for a while, so the live
// ones keep being polled; when the period ends it is tried (and demoted) again.
TEST(HostLoop, DeadStationIsDemotedWhileOthersKeepPolling) {
    Rig r({"--units", "1,2", "--animate"}, [](HostConfig &c) {
        c.multiStation = true;
        c.timeoutMs = 100;
        c.retryLimit = 0;
        c.demoteAfter = 1;
        c.demoteMs = 300;
    });
    const std::vector<Variable> plan = {var(6, "0", 1, 1), var(6, "0", 1, 3), var(6, "0", 1, 2)};
    r.start(plan);
    EXPECT_TRUE(eventually([&] { return r.host->stats().demotions >= 2; }));
    const std::uint32_t one = r.first(plan[0]), two = r.first(plan[2]);
    EXPECT_TRUE(eventually([&] { return r.first(plan[0]) > one + 3 && r.first(plan[2]) > two + 3; }));
    EXPECT_EQ(r.first(plan[1]), 0u);
}

// The PLC goes away and comes back on the same port: the host reconnects
// and resumes polling.
TEST(HostLoop, ResumesAfterThePlcRestarts) {
    const Variable word = var(7, "0");
    auto first = std::make_unique<SimProcess>(std::vector<std::string>{"--set", "1:h0=1"});
    ASSERT_TRUE(first->running());
    const int port = first->port();
    PlcHost host(config(port));
    std::string error;
    ASSERT_TRUE(host.load(error)) << error;
    ASSERT_TRUE(host.setPlan({word}, error)) << error;
    host.start();
    EXPECT_TRUE(eventually([&] { return host.values(word) == Values{1}; }));
    EXPECT_EQ(first->stop(), 0);
    first.reset();
    EXPECT_TRUE(eventually([&] { return host.stats().givenUp > 0; }));
    SimProcess second({"--port", std::to_string(port), "--set", "1:h0=2"});
    ASSERT_TRUE(second.running());
    EXPECT_TRUE(eventually([&] { return host.values(word) == Values{2}; }, 5000));
    EXPECT_GE(host.stats().reconnects, 1u);
    host.stop();
}

// Unusable requests are refused with a reason before they reach the driver.
TEST(HostLoop, UnusableRequestsAreRefused) {
    HostConfig bad = config(1);
    bad.regsPerFrame = 0;
    std::string error;
    EXPECT_FALSE(PlcHost(bad).load(error));
    EXPECT_NE(error.find("registers per frame"), std::string::npos) << error;

    PlcHost host(config(1)); // single station 1, 100 registers per request
    EXPECT_FALSE(host.setPlan({var(7, "0")}, error));
    EXPECT_NE(error.find("not loaded"), std::string::npos) << error;
    ASSERT_TRUE(host.load(error)) << error;
    PlcHost second(config(1));
    EXPECT_FALSE(second.load(error)); // one driver object per plug-in file
    EXPECT_NE(error.find("already in use"), std::string::npos) << error;

    const struct {
        Variable v;
        const char *reason;
    } plans[] = {
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
    EXPECT_TRUE(host.values(var(0, "3")).empty());
}

} // namespace
