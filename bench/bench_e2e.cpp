// End to end on loopback: the reference host, with the driver plug-in,
// polling the simulated PLC, against a plain libmodbus client issuing the
// same read requests in a loop to the same simulated PLC. Rounds of the two
// alternate, each round in turn going first, so that changing load on the
// machine weighs on both alike. Ends with the figure e2e_ratio: the median
// over the rounds of host requests per second / plain requests per second,
// which a round disturbed by other work on the machine cannot sway.
//
// Everything runs on one processor: the clients, the host's loop thread and
// the simulated PLC, which inherit the affinity. Spread over processors, each
// request and reply would wait for an idle processor to wake up, which on a
// virtual machine takes longer than the whole exchange and depends on where
// the scheduler happens to place the threads; on one processor every round
// trip is the work of the two sides, the same for both clients.
#include "bench_support.h"
#include "plc_host.h"
#include "sim_process.h"

#include <modbus.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The cyclic plan: four blocks of 100 registers, one request each.
const std::vector<plchost::Variable> kPlan = {
    {"inputs", 6, "0", 100, 1},
    {"holding-low", 7, "0", 100, 1},
    {"holding-high", 7, "500", 100, 1},
    {"extended", 8, "0", 100, 1},
};

// The same blocks as the requests a plain client sends.
struct Request {
    int function;
    int address;
    int count;
};
const Request kRequests[] = {{4, 0, 100}, {3, 0, 100}, {3, 500, 100}, {3, 5000, 100}};

struct Timing {
    std::chrono::milliseconds warmUp;
    std::chrono::milliseconds window;
    int rounds;
};

// Requests per second of each round, and the totals.
struct Tally {
    std::vector<double> rounds;
    double requests = 0;
    double seconds = 0;
    double rps() const { return requests / seconds; }
};

// What the rounds share; set up once in main.
struct Rig {
    Timing timing{};
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<plchost::PlcHost> host;
    modbus_t *plain = nullptr;
    Tally hostTally;
    Tally plainTally;
};
Rig rig;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void report(benchmark::State &state, Tally *tally, double requests, double seconds) {
    state.SetIterationTime(seconds);
    state.counters["requests"] = requests;
    state.counters["rps"] = requests / seconds;
    tally->rounds.push_back(requests / seconds);
    tally->requests += requests;
    tally->seconds += seconds;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The host polls the plan on its own loop thread; the round counts the
// exchanges it reports in the window after a warm-up.
void hostRound(benchmark::State &state) {
    for (auto _ : state) {
        rig.host->start();
        std::this_thread::sleep_for(rig.timing.warmUp);
        const plchost::StatsSnapshot before = rig.host->stats();
        const Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(rig.timing.window);
        const plchost::StatsSnapshot after = rig.host->stats();
        const double seconds = secondsSince(start);
        rig.host->stop();
        if (after.failures != before.failures) {
            state.SkipWithError(("host exchanges failed: " + rig.host->lastError()).c_str());
            return;
        }
        report(state, &rig.hostTally, double(after.exchanges - before.exchanges), seconds);
    }
}

bool plainRequest(const Request &r) {
    uint16_t regs[125];
    const int got = r.function == 4 ? modbus_read_input_registers(rig.plain, r.address, r.count, regs)
                                    : modbus_read_registers(rig.plain, r.address, r.count, regs);
    return got == r.count;
}

// Issues the plan's requests in turn until the time is up; false on a
// failed request.
bool plainLoop(std::chrono::milliseconds duration, double *requests,
               Clock::time_point *started = nullptr) {
    const Clock::time_point start = Clock::now();
    if (started)
        *started = start;
    const Clock::time_point end = start + duration;
    long n = 0;
    for (; Clock::now() < end; ++n)
        if (!plainRequest(kRequests[n % 4]))
            return false;
    *requests = double(n);
    return true;
}

void plainRound(benchmark::State &state) {
    for (auto _ : state) {
        double warmUpRequests = 0;
        double requests = 0;
        Clock::time_point start;
        if (!plainLoop(rig.timing.warmUp, &warmUpRequests) ||
            !plainLoop(rig.timing.window, &requests, &start)) {
            state.SkipWithError(modbus_strerror(errno));
            return;
        }
        report(state, &rig.plainTally, requests, secondsSince(start));
    }
}

void registerRounds() {
    for (int round = 1; round <= rig.timing.rounds; ++round) {
        const std::string prefix = "EndToEnd/round:" + std::to_string(round);
        const bool hostFirst = round % 2 == 1;
        for (bool host : {hostFirst, !hostFirst})
            benchmark::RegisterBenchmark((prefix + (host ? "/host" : "/plain-libmodbus")).c_str(),
                                         host ? hostRound : plainRound)
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
    }
}

// Binds this thread, and every thread and process it starts, to the
// processor it runs on.
bool pinToOneProcessor(std::string *error) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    if (sched_setaffinity(0, sizeof one, &one) == 0)
        return true;
    *error = std::string("cannot pin to one processor: ") + std::strerror(errno);
    return false;
}

bool setUp(std::string *error) {
    if (!pinToOneProcessor(error))
        return false;
    rig.sim = std::make_unique<SimProcess>();
    if (!rig.sim->running()) {
        *error = "the simulated PLC did not start";
        return false;
    }
    plchost::HostConfig config;
    config.pluginPath = PLUGIN_PATH;
    config.port = rig.sim->port();
    config.intervalMs = 0; // poll as fast as the link allows
    rig.host = std::make_unique<plchost::PlcHost>(config);
    if (!rig.host->load(*error) || !rig.host->setPlan(kPlan, *error))
        return false;
    rig.plain = modbus_new_tcp("127.0.0.1", rig.sim->port());
    if (!rig.plain || modbus_set_slave(rig.plain, 1) != 0 || modbus_connect(rig.plain) != 0) {
        *error = std::string("plain client: ") + modbus_strerror(errno);
        return false;
    }
    return true;
}

void tearDown() {
    if (rig.plain) {
        modbus_close(rig.plain);
        modbus_free(rig.plain);
    }
    rig.host.reset();
    rig.sim.reset();
}

} // namespace

int main(int argc, char **argv) {
    const bool smoke = takeSmokeFlag(&argc, argv);
    rig.timing = smoke ? Timing{std::chrono::milliseconds(10), std::chrono::milliseconds(30), 1}
                       : Timing{std::chrono::milliseconds(30), std::chrono::milliseconds(150), 16};
    std::string error;
    if (!setUp(&error)) {
        std::fprintf(stderr, "bench_e2e: %s\n", error.c_str());
        tearDown();
        return 1;
    }
    registerRounds();
    ResultLog log;
    const bool ran = runBenchmarks(argc, argv, smoke, false, &log);
    tearDown();
    if (!ran)
        return 2;
    const Tally &h = rig.hostTally;
    const Tally &p = rig.plainTally;
    if (!h.rounds.empty() && h.rounds.size() == p.rounds.size()) {
        std::vector<double> ratios;
        for (size_t i = 0; i < h.rounds.size(); ++i)
            ratios.push_back(h.rounds[i] / p.rounds[i]);
        const double ratio = median(ratios);
        std::printf("host with driver: %.0f requests/s, plain libmodbus client: %.0f requests/s "
                    "over all rounds (ratio %.3f); median ratio of a round %.3f\n",
                    h.rps(), p.rps(), h.rps() / p.rps(), ratio);
        printTarget("host with driver / plain libmodbus client >= 0.95", ratio >= 0.95);
        printFigure("e2e_ratio", ratio);
    }
    return log.failures() == 0 ? 0 : 1;
}
