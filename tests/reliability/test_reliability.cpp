// Reliability runs: the reference host and the plug-in against the simulated
// PLC on loopback, each run its own CTest test and process, since the plug-in
// holds a single driver object. A deadlock fails a run by its CTest time-out.
#include "host_rig.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <thread>

using namespace rig;

namespace {

using Clock = std::chrono::steady_clock;

// The same variables at each of the stations.
std::vector<Variable> atStations(const std::vector<Variable> &kinds, std::initializer_list<int> stations) {
    std::vector<Variable> all;
    for (int station : stations)
        for (Variable v : kinds) {
            v.station = station;
            all.push_back(v);
        }
    return all;
}

// A random value for v in the layout SetRegisterData takes: bits 0 or 1.
QByteArray randomValue(const Variable &v, std::mt19937 &random) {
    static const int elementBytes[] = {1, 1, 2, 4}; // by plc::ElementKind
    QByteArray value(v.count * elementBytes[static_cast<int>(plc::kindOf(v.type))], '\0');
    for (char &b : value)
        b = static_cast<char>(plc::kindOf(v.type) == plc::ElementKind::Bit ? random() & 1 : random() & 0xFF);
    return value;
}

// ---- Stress (reliability_stress): four host threads call the value, queue,
// station and plan entry points at random for 3 s while the loop talks to
// three stations; afterwards a write must still complete and reach the PLC.
// Run under ThreadSanitizer by ./run check.

// Every element kind of every area, at each of three stations.
const std::vector<Variable> kVariables = atStations(
    {{"in.bit", 0, "0.0", 4, 1},     {"hold.bit", 1, "20.3", 3, 1},  {"ext.bit", 2, "100.1", 1, 1},
     {"in.byte", 3, "5", 1, 1},      {"hold.byte", 4, "41", 2, 1},   {"ext.byte", 5, "201", 1, 1},
     {"in.word", 6, "10", 3, 1},     {"hold.word", 7, "30", 4, 1},   {"ext.word", 8, "300", 5, 1},
     {"in.dword", 9, "4", 1, 1},     {"hold.dword", 10, "20", 2, 1}, {"ext.dword", 11, "150", 1, 1}},
    {1, 2, 3});

// One host thread: random calls until `until`.
void hammer(PlcHost &host, unsigned seed, Clock::time_point until) {
    std::mt19937 random(seed);
    std::string error;
    RequestId id;
    while (Clock::now() < until) {
        const Variable &v = kVariables[random() % kVariables.size()];
        switch (random() % 5) {
        case 0: // SetRegisterData
            EXPECT_TRUE(!plc::isWritable(v.type) || host.write(v, randomValue(v, random), &id, error))
                << v.label << ": " << error;
            break;
        case 1: // GetRegisterData
            EXPECT_EQ(host.values(v).size(), static_cast<size_t>(v.count)) << v.label;
            break;
        case 2: // AddListOnceReadVar
            EXPECT_TRUE(host.readOnce(v, &id, error)) << v.label << ": " << error;
            break;
        case 3: // EnCommStation; station 1 stays on so the loop always has work
            host.setStationEnabled(2 + random() % 2, random() % 2 == 0);
            break;
        default: { // ReCreatReadVarList
            std::vector<Variable> plan = {kVariables[0]};
            for (const Variable &extra : kVariables)
                if (random() % 3 == 0)
                    plan.push_back(extra);
            EXPECT_TRUE(host.setPlan(plan, error)) << error;
        }
        }
    }
}

TEST(Stress, HostThreadsAgainstTheLoopNeitherDeadlockNorCorrupt) {
    Rig r({"--units", "1,2,3"}, [](HostConfig &c) {
        c.multiStation = true;
        c.regsPerFrame = 3; // longer variables go out in several pieces
        c.retryLimit = 1;
        c.timeoutMs = 500;
        c.intervalMs = 1;
        c.demoteAfter = 0;
    });
    r.start(kVariables);

    const auto until = Clock::now() + std::chrono::seconds(3);
    std::vector<std::thread> threads;
    for (unsigned seed = 1000; seed < 1004; ++seed)
        threads.emplace_back(hammer, std::ref(*r.host), seed, until);
    for (std::thread &thread : threads)
        thread.join();

    // Still healthy: a write to a station switched on and off completes and reaches the PLC.
    r.host->setStationEnabled(2, true);
    const QByteArray value = le({0x34, 0x12});
    ASSERT_EQ(r.request(var(7, "900", 1, 2), &value, 10000), PlcHost::Done);
    r.host->stop();
    EXPECT_EQ(ModbusClient(r.sim.port(), 2).readHolding(900), 0x1234);
    EXPECT_EQ(r.sim.stop(), 0);
}

// ---- Soak (reliability_soak) with a write ledger: the host writes, reads
// and polls two stations of a simulated PLC that drops, delays, splits, cuts,
// refuses and disconnects, and demotes a station after a given-up request.
// A polled value shown good must be one the PLC held: 0 or a value written.
// Every write the host asked for must end confirmed (completion status 1) or
// failed (2), reported once, or superseded: the driver merges a write into a
// queued one to the same target, and the merged record carries the newer
// keys. From the host's side a merged write looks like one that vanished, so
// the targets of station 2 get a new write only once the previous one is
// reported: no merge can happen there. Once the host stopped, a plain client
// must find on the PLC each target's last confirmed value, or that of a
// failed write after it, which may have landed. SOAK_SECONDS sets the length
// (8 by default).

// The places writes go to, at stations 1 and 2; targets do not overlap,
// though several share a register (the two bytes, the two bits) to exercise
// the read-modify-write.
const std::vector<Variable> kTargets = atStations(
    {{"word", 7, "100", 1, 0},      {"words", 7, "102", 2, 0},     {"dword", 10, "60", 1, 0},
     {"byte.lo", 4, "260", 1, 0},   {"byte.hi", 4, "261", 1, 0},   {"bit.3", 1, "280.3", 1, 0},
     {"bit.14", 1, "281.6", 1, 0},  {"ext.word", 8, "200", 1, 0},  {"ext.dword", 11, "150", 1, 0},
     {"ext.byte", 5, "801", 1, 0},  {"ext.bit", 2, "1000.0", 1, 0}},
    {1, 2});

// The target's value as the PLC holds it, in the layout SetRegisterData
// takes; empty when the PLC could not be read (the faults hit plain clients too).
QByteArray plcValue(const Variable &v, int port) {
    const int count = registerCount(v), half = std::stoi(v.address) % 2; // of a byte, or a bit's byte
    const int first =
        firstRegister(v) + (plc::areaOf(v.type) == plc::ExtendedArea ? plc::kExtendedAreaStart : 0);
    uint16_t regs[2] = {};
    if (!eventually([&] {
            ModbusClient plc(port, v.station);
            return plc.connected() && modbus_read_registers(plc.ctx(), first, count, regs) == count;
        }))
        return {};
    QByteArray image; // register r is bytes 2r (low half) and 2r + 1
    for (int i = 0; i < count; ++i)
        image.append(static_cast<char>(regs[i] & 0xFF)).append(static_cast<char>(regs[i] >> 8));
    if (plc::kindOf(v.type) == plc::ElementKind::Bit) {
        const int bit = std::stoi(v.address.substr(v.address.find('.') + 1));
        return QByteArray(1, static_cast<char>((image[half] >> bit) & 1));
    }
    return plc::kindOf(v.type) == plc::ElementKind::Byte ? image.mid(half, 1) : image;
}

struct Write {
    RequestId id;
    QByteArray value;
    PlcHost::Status status; // Pending until reported
};
using Ledger = std::vector<std::vector<Write>>; // every write asked for, by target, in order

// Collects the reports that arrived; the writes neither reported nor followed
// by a newer one to a target of station 1, which they may have merged with.
size_t collect(PlcHost &host, Ledger &ledger) {
    size_t open = 0;
    for (size_t t = 0; t < ledger.size(); ++t)
        for (size_t k = 0; k < ledger[t].size(); ++k) {
            Write &w = ledger[t][k];
            if (w.status == PlcHost::Pending)
                w.status = host.waitCompletion(w.id, 0);
            open += w.status == PlcHost::Pending && !(kTargets[t].station == 1 && k + 1 < ledger[t].size());
        }
    return open;
}

// Whether the PLC may hold `value` for a target with these writes: the last
// confirmed value (0 when none) or that of a failed write after it; `ever`:
// 0 or any value written.
bool plcMayHold(const std::vector<Write> &writes, const QByteArray &value, bool ever) {
    bool may = !value.isEmpty() && value == QByteArray(value.size(), '\0');
    for (const Write &w : writes)
        if (ever || w.status != PlcHost::Pending)
            may = ((ever || w.status == PlcHost::Failed) && may) || w.value == value;
    return may;
}

TEST(Soak, EveryWriteIsAccountedForAndOnlyThePlcsValuesShow) {
    const char *length = std::getenv("SOAK_SECONDS");
    const int seconds = length ? std::atoi(length) : 8;
    Rig r({"--units", "1,2", "--drop-every", "23", "--exception-every", "17", "--short-every", "19",
           "--close-every", "41", "--delay-ms", "1", "--split", "5"},
          [](HostConfig &c) {
              c.multiStation = true;
              c.regsPerFrame = 16;
              c.retryLimit = 2;
              c.timeoutMs = 60;
              c.demoteAfter = 1;
              c.demoteMs = 200;
          });
    r.start(kTargets);
    PlcHost &host = *r.host;

    Ledger ledger(kTargets.size());
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    auto reader = std::async(std::launch::async, [&] { // one-shot reads alongside; waited for on leaving
        std::mt19937 random(7);
        RequestId id;
        std::string error;
        for (; Clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(3)))
            EXPECT_TRUE(host.readOnce(kTargets[random() % kTargets.size()], &id, error)) << error;
    });
    std::mt19937 random(1);
    std::string error;
    for (; Clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(3))) {
        const size_t t = random() % kTargets.size();
        collect(host, ledger);
        const Reading shown = host.reading(kTargets[t]);
        const bool byte = plc::kindOf(kTargets[t].type) == plc::ElementKind::Byte; // the byte, then 0
        const QByteArray data = byte && shown.data.endsWith('\0') ? shown.data.left(1) : shown.data;
        EXPECT_TRUE(shown.quality != Quality::Good || plcMayHold(ledger[t], data, true))
            << kTargets[t].label << " at station " << kTargets[t].station << " shows "
            << shown.data.toHex().constData() << ", never written";
        if (kTargets[t].station == 2 && !ledger[t].empty() && ledger[t].back().status == PlcHost::Pending)
            continue; // awaiting the report
        Write &w = ledger[t].emplace_back(Write{{}, randomValue(kTargets[t], random), PlcHost::Pending});
        ASSERT_TRUE(host.write(kTargets[t], w.value, &w.id, error)) << error;
    }
    reader.wait();
    // The faults go on while the last writes drain.
    eventually([&] { return collect(host, ledger) == 0; }, 20000);
    host.stop();
    EXPECT_EQ(collect(host, ledger), 0u) << "writes neither confirmed, failed nor superseded";

    size_t outcomes[3] = {}; // superseded, confirmed, failed: by PlcHost::Status
    for (size_t t = 0; t < kTargets.size(); ++t) {
        for (const Write &w : ledger[t]) {
            ++outcomes[w.status];
            EXPECT_TRUE(w.status == PlcHost::Pending || host.waitCompletion(w.id, 0) == PlcHost::Pending)
                << kTargets[t].label << " at station " << kTargets[t].station << ": a write reported twice";
        }
        const QByteArray held = plcValue(kTargets[t], r.sim.port());
        EXPECT_TRUE(plcMayHold(ledger[t], held, false))
            << kTargets[t].label << " at station " << kTargets[t].station << ": the PLC holds "
            << held.toHex().constData();
    }
    EXPECT_EQ(r.sim.stop(), 0);
    std::printf("soak: %d s, writes %zu confirmed, %zu failed, %zu superseded; %llu given up\n", seconds,
                outcomes[1], outcomes[2], outcomes[0], static_cast<unsigned long long>(host.stats().givenUp));
    EXPECT_GT(outcomes[PlcHost::Done], 0u);
}

} // namespace
