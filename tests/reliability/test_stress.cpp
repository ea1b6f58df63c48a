// Concurrency stress: several host threads call the value, queue, station and
// plan entry points at random while the reference host's loop talks to the
// simulated PLC with three stations. The run is bounded in time; a watchdog
// fails it when the loop or any thread stops moving (a deadlock), and
// afterwards a write must still complete and read back. Run under
// ThreadSanitizer by ./run check.
#include "reliability_support.h"
#include "sim_client.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <random>

using namespace plchost;
using reliability::Clock;

namespace {

// Every element kind of every area, at each of three stations.
const std::vector<Variable> kVariables = reliability::atStations(
    {{"in.bit", 0, "0.0", 4, 1},     {"hold.bit", 1, "20.3", 3, 1},  {"ext.bit", 2, "100.1", 1, 1},
     {"in.byte", 3, "5", 1, 1},      {"hold.byte", 4, "41", 2, 1},   {"ext.byte", 5, "201", 1, 1},
     {"in.word", 6, "10", 3, 1},     {"hold.word", 7, "30", 4, 1},   {"ext.word", 8, "300", 5, 1},
     {"in.dword", 9, "4", 1, 1},     {"hold.dword", 10, "20", 2, 1}, {"ext.dword", 11, "150", 1, 1}},
    {1, 2, 3});

// One host thread: random calls until `until`, each counted in `ops`.
void hammer(PlcHost &host, unsigned seed, Clock::time_point until, std::atomic<unsigned long> &ops) {
    std::mt19937 random(seed);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
    std::string error;
    RequestId id;
    while (Clock::now() < until) {
        const Variable &v = kVariables[pick(kVariables.size())];
        switch (pick(6)) {
        case 0: { // SetRegisterData
            if (!plc::isWritable(v.type))
                break;
            QByteArray value(reliability::valueBytes(v), '\0');
            for (char &byte : value)
                byte = static_cast<char>(pick(2) ? pick(256) : pick(2));
            EXPECT_TRUE(host.write(v, value, &id, error)) << v.label << ": " << error;
            break;
        }
        case 1: // GetRegisterData
        case 2:
            EXPECT_EQ(host.values(v).size(), static_cast<size_t>(v.count)) << v.label;
            break;
        case 3: // AddListOnceReadVar
            EXPECT_TRUE(host.readOnce(v, &id, error)) << v.label << ": " << error;
            break;
        case 4: // EnCommStation; station 1 stays on so the loop always has work
            host.setStationEnabled(2 + static_cast<int>(pick(2)), pick(2) == 0);
            break;
        default: { // ReCreatReadVarList
            std::vector<Variable> plan = {kVariables[0]};
            for (const Variable &extra : kVariables)
                if (pick(3) == 0)
                    plan.push_back(extra);
            EXPECT_TRUE(host.setPlan(plan, error)) << error;
            break;
        }
        }
        ++ops;
    }
}

TEST(Stress, HostThreadsAgainstTheLoopNeitherDeadlockNorCorrupt) {
    SimProcess sim({"--units", "1,2,3"});
    ASSERT_TRUE(sim.running());
    HostConfig config = reliability::hostConfig(sim.port());
    config.multiStation = true;
    config.regsPerFrame = 3; // longer variables go out in several pieces
    config.retryLimit = 1;
    config.timeoutMs = 500;
    config.intervalMs = 1;
    config.demoteAfter = 0;
    PlcHost host(config);
    ASSERT_EQ(reliability::start(host, kVariables), "");

    const int threads = reliability::envInt("STRESS_THREADS", 4);
    const auto until = Clock::now() + std::chrono::seconds(reliability::envInt("STRESS_SECONDS", 3));
    std::vector<std::atomic<unsigned long>> ops(static_cast<size_t>(threads));
    {
        std::vector<reliability::Watchdog::Counter> counters = {
            {"the communication loop", [&] { return host.stats().exchanges; }}};
        for (int t = 0; t < threads; ++t)
            counters.push_back({"host thread " + std::to_string(t), [&ops, t] { return ops[t].load(); }});
        reliability::Watchdog watchdog(counters, std::chrono::seconds(10));
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back(hammer, std::ref(host), 1000u + t, until, std::ref(ops[t]));
        for (std::thread &worker : workers)
            worker.join();
    }
    unsigned long total = 0;
    for (const auto &count : ops)
        total += count;
    const StatsSnapshot stats = host.stats();
    std::printf("stress: %d threads, %lu calls, %llu exchanges, %llu given up\n", threads, total,
                static_cast<unsigned long long>(stats.exchanges),
                static_cast<unsigned long long>(stats.givenUp));

    // Still healthy: a write completes, reaches the PLC and reads back.
    for (int station : {2, 3})
        host.setStationEnabled(station, true);
    const Variable target{"check", 7, "900", 1, 2};
    RequestId id;
    std::string error;
    ASSERT_TRUE(host.write(target, QByteArray("\x34\x12", 2), &id, error)) << error;
    ASSERT_EQ(host.waitCompletion(id, 10000), PlcHost::Done);
    ASSERT_TRUE(host.readOnce(target, &id, error)) << error;
    ASSERT_EQ(host.waitCompletion(id, 10000), PlcHost::Done);
    EXPECT_EQ(host.values(target), std::vector<std::uint32_t>{0x1234});
    host.stop();
    ModbusClient plc(sim.port(), 2);
    ASSERT_TRUE(plc.connected());
    EXPECT_EQ(plc.readHolding(900), 0x1234);
    EXPECT_EQ(sim.stop(), 0);
}

} // namespace
