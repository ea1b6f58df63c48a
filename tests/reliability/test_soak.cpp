// Fault soak with a write ledger: the reference host writes, reads and polls
// two stations of a simulated PLC that drops, delays, splits, cuts, refuses
// and disconnects, and demotes a station after a given-up request. Every write
// the host asked for must end confirmed (completion status 1), reported
// failed (status 2) or superseded: the driver merges a write into a queued
// one to the same target, and the merged record carries the newer keys.
// From the host's side a merged write looks like one that vanished, so the
// targets of station 2 get a new write only once the previous one is
// reported: no merge can happen there, and every write to them must be
// reported. For every target the PLC must hold the last confirmed value (or
// that of a failed write after it, which may have landed), read back with a
// plain client once the host has stopped. SOAK_SECONDS sets the length (8 by
// default).
#include "reliability_support.h"
#include "sim_client.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

using namespace plchost;
using reliability::Clock;

namespace {

// The places writes go to, at stations 1 and 2; targets do not overlap,
// though several share a register (the two bytes, the two bits) to exercise
// the read-modify-write.
const std::vector<Variable> kTargets = reliability::atStations(
    {{"word", 7, "100", 1, 0},      {"words", 7, "102", 2, 0},     {"dword", 10, "60", 1, 0},
     {"byte.lo", 4, "260", 1, 0},   {"byte.hi", 4, "261", 1, 0},   {"bit.3", 1, "280.3", 1, 0},
     {"bit.14", 1, "281.6", 1, 0},  {"ext.word", 8, "200", 1, 0},  {"ext.dword", 11, "150", 1, 0},
     {"ext.byte", 5, "801", 1, 0},  {"ext.bit", 2, "1000.0", 1, 0}},
    {1, 2});

// Writes to station 1 may follow one another before the report.
bool mayMerge(const Variable &v) { return v.station == 1; }

int bitIndex(const Variable &v) { // within its register
    const int dot = static_cast<int>(v.address.find('.'));
    return (std::stoi(v.address.substr(0, dot)) * 8 + std::stoi(v.address.substr(dot + 1))) % 16;
}

// A random value in the layout SetRegisterData takes.
QByteArray randomValue(const Variable &v, std::mt19937 &random) {
    QByteArray value(reliability::valueBytes(v), '\0');
    for (char &b : value)
        b = static_cast<char>(plc::kindOf(v.type) == plc::ElementKind::Bit ? random() & 1 : random() & 0xFF);
    return value;
}

// The target's value as the PLC holds it, in the same layout; empty when
// the PLC could not be read (the fault injection hits plain clients too).
QByteArray plcValue(const Variable &v, int port) {
    const int registers = registerCount(v);
    const int wireRegister =
        firstRegister(v) + (plc::areaOf(v.type) == plc::ExtendedArea ? plc::kExtendedAreaStart : 0);
    for (int attempt = 0; attempt < 20; ++attempt) {
        ModbusClient plc(port, v.station);
        uint16_t regs[4] = {};
        if (!plc.connected() || modbus_read_registers(plc.ctx(), wireRegister, registers, regs) != registers)
            continue;
        switch (plc::kindOf(v.type)) {
        case plc::ElementKind::Bit:
            return QByteArray(1, static_cast<char>((regs[0] >> bitIndex(v)) & 1));
        case plc::ElementKind::Byte: {
            const bool high = std::stoi(v.address) % 2 == 1;
            return QByteArray(1, static_cast<char>(high ? regs[0] >> 8 : regs[0] & 0xFF));
        }
        default: {
            QByteArray value;
            for (int i = 0; i < registers; ++i)
                value.append(static_cast<char>(regs[i] & 0xFF)).append(static_cast<char>(regs[i] >> 8));
            return value;
        }
        }
    }
    return {};
}

// Every write the host asked for, in the order asked, and how it ended.
class Ledger {
public:
    enum Outcome { Open, Confirmed, Failed, Superseded };
    struct Entry {
        size_t target;
        RequestId id;
        QByteArray value;
        Outcome outcome = Open;
    };

    void issued(size_t target, RequestId id, QByteArray value) {
        entries_.push_back({target, id, std::move(value)});
    }

    bool awaitingReport(size_t target) const {
        return std::any_of(entries_.begin(), entries_.end(), [target](const Entry &e) {
            return e.target == target && e.outcome == Open;
        });
    }

    // Collects the reports that arrived; true when every write is reported
    // or may be superseded.
    bool collect(PlcHost &host) {
        for (Entry &e : entries_)
            if (e.outcome == Open) {
                const PlcHost::Status s = host.waitCompletion(e.id, 0);
                e.outcome = s == PlcHost::Done ? Confirmed : s == PlcHost::Failed ? Failed : Open;
            }
        const std::vector<bool> later = followed();
        for (size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].outcome == Open && !later[i])
                return false;
        return true;
    }

    // Once all is collected: a write without a report is superseded when a
    // newer write to the same target followed it while it could merge; what
    // stays open is lost.
    void settle() {
        const std::vector<bool> later = followed();
        for (size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].outcome == Open && later[i])
                entries_[i].outcome = Superseded;
    }

    size_t count(Outcome o) const {
        return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(),
                                                 [o](const Entry &e) { return e.outcome == o; }));
    }
    size_t size() const { return entries_.size(); }

    // The values the PLC may hold for `target`: the last confirmed one (the
    // power-on 0 when none), or one of the failed writes after it, which may
    // have landed before their reply was lost.
    std::vector<QByteArray> acceptable(size_t target, const QByteArray &zero) const {
        std::vector<QByteArray> values = {zero};
        for (const Entry &e : entries_) {
            if (e.target != target)
                continue;
            if (e.outcome == Confirmed)
                values = {e.value};
            else if (e.outcome == Failed)
                values.push_back(e.value);
        }
        return values;
    }

private:
    // For each write, whether a newer write to the same target may have
    // been merged into it.
    std::vector<bool> followed() const {
        std::vector<bool> later(entries_.size());
        std::set<size_t> seen;
        for (size_t i = entries_.size(); i-- > 0;) {
            const size_t t = entries_[i].target;
            later[i] = mayMerge(kTargets[t]) && seen.count(t) != 0;
            seen.insert(t);
        }
        return later;
    }

    std::vector<Entry> entries_;
};

TEST(Soak, EveryWriteIsAccountedForAndConfirmedValuesReachThePlc) {
    const int seconds = reliability::envInt("SOAK_SECONDS", 8);
    SimProcess sim({"--units", "1,2", "--drop-every", "23", "--exception-every", "17",
                    "--short-every", "19", "--close-every", "41", "--delay-ms", "1",
                    "--split", "5"});
    ASSERT_TRUE(sim.running());
    HostConfig config = reliability::hostConfig(sim.port());
    config.multiStation = true;
    config.regsPerFrame = 16;
    config.retryLimit = 2;
    config.timeoutMs = 60;
    config.intervalMs = 5;
    config.demoteAfter = 1;
    config.demoteMs = 200;
    PlcHost host(config);
    ASSERT_EQ(reliability::start(host, kTargets), "");

    Ledger ledger;
    std::atomic<unsigned long> writes{0}, reads{0};
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    {
        reliability::Watchdog loopWatch(
            {{"the communication loop", [&] { return host.stats().exchanges; }}},
            std::chrono::seconds(10));
        {
            reliability::Watchdog threadWatch({{"the writer", [&] { return writes.load(); }},
                                               {"the reader", [&] { return reads.load(); }}},
                                              std::chrono::seconds(10));
            std::thread reader([&] { // one-shot and value reads alongside
                std::mt19937 random(7);
                RequestId id;
                std::string error;
                while (Clock::now() < until) {
                    const Variable &v = kTargets[random() % kTargets.size()];
                    EXPECT_TRUE(host.readOnce(v, &id, error)) << error;
                    EXPECT_EQ(host.values(v).size(), static_cast<size_t>(v.count));
                    ++reads;
                    std::this_thread::sleep_for(std::chrono::milliseconds(3));
                }
            });
            std::mt19937 random(1);
            std::string error;
            while (Clock::now() < until) {
                const size_t t = random() % kTargets.size();
                ledger.collect(host);
                if (!mayMerge(kTargets[t]) && ledger.awaitingReport(t)) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                const QByteArray value = randomValue(kTargets[t], random);
                RequestId id;
                if (!host.write(kTargets[t], value, &id, error)) {
                    ADD_FAILURE() << error;
                    break;
                }
                ledger.issued(t, id, value);
                ++writes;
                std::this_thread::sleep_for(std::chrono::milliseconds(4));
            }
            reader.join();
        }
        // The faults go on while the last writes drain.
        const auto drainUntil = Clock::now() + std::chrono::seconds(20);
        while (!ledger.collect(host) && Clock::now() < drainUntil)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    host.stop();
    ledger.collect(host);
    ledger.settle();

    for (size_t t = 0; t < kTargets.size(); ++t) {
        const Variable &v = kTargets[t];
        const std::vector<QByteArray> allowed =
            ledger.acceptable(t, QByteArray(reliability::valueBytes(v), '\0'));
        const QByteArray held = plcValue(v, sim.port());
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), held), allowed.end())
            << v.label << " at station " << v.station << ": the PLC holds " << held.toHex().constData()
            << ", the last confirmed write " << allowed.front().toHex().constData();
    }
    EXPECT_EQ(sim.stop(), 0);
    const StatsSnapshot stats = host.stats();
    std::printf("soak: %ds, writes %zu: confirmed %zu, failed %zu, superseded %zu; %lu reads, "
                "%llu exchanges, %llu given up, %llu demotions\n",
                seconds, ledger.size(), ledger.count(Ledger::Confirmed), ledger.count(Ledger::Failed),
                ledger.count(Ledger::Superseded), reads.load(),
                static_cast<unsigned long long>(stats.exchanges),
                static_cast<unsigned long long>(stats.givenUp),
                static_cast<unsigned long long>(stats.demotions));
    EXPECT_EQ(ledger.count(Ledger::Open), 0u) << "writes neither confirmed, failed nor superseded";
    EXPECT_GT(ledger.count(Ledger::Confirmed), 0u);
}

} // namespace
