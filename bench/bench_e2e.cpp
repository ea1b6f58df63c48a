// End to end on loopback: the reference host, with the driver plug-in,
// polling the simulated PLC, against the clients it must be compared with.
//
// Polling: the host polls four blocks of 100 registers; a plain libmodbus
// client issues the same requests to the same simulated PLC; a raw ping-pong
// (12 bytes out, a reply as long as the host's back, nothing parsed on either
// side) to a minimal server shows the floor of any design that sends one
// request per round trip. Figures: e2e_ratio, host requests per second /
// plain requests per second against the simulated PLC; floor_ratio, host
// requests per second / raw round trips per second against the minimal server.
//
// Scattered tags: 1000 variables with small gaps between them; a pass of the
// host's merged plan against a plain libmodbus client that reads each
// variable with its own request, as someone polling tag by tag would. Figure
// cycle_speedup: the tag-by-tag pass time / the host's.
//
// Live view: the host polls as above while it is watched as `plc_poll
// --serve` watches it, and a page is open, fetching what the browser page
// fetches as often as it does. Figure view_ratio: requests per second
// watched / not watched.
//
// Rounds of the sides of a comparison take turns, each round starting with
// another side, so that changing load on the machine weighs on all alike; a
// figure is the median over the rounds of the ratio within a round, which a
// round disturbed by other work cannot sway.
//
// Everything runs on one processor: the clients, the host's loop thread, the
// simulated PLC and the ping-pong server, which inherit the affinity. Spread
// over processors, each request and reply would wait for an idle processor to
// wake up, which on a virtual machine takes longer than the whole exchange
// and depends on where the scheduler happens to place the threads; on one
// processor every round trip is the work of the two sides.
#include "bench_support.h"
#include "live_view.h"
#include "plc_host.h"
#include "value_format.h"
#include "register_types.h"
#include "sim_process.h"

#include <httplib.h>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using plchost::Variable;

// A read request of a plain client.
struct Request {
    int function;
    int address;
    int count;
};

// Polling: four blocks of 100 registers, one request each, for the host and
// as a plain client's requests.
const std::vector<Variable> kPolledPlan = {
    {"inputs", 6, "0", 100, 1},
    {"holding-low", 7, "0", 100, 1},
    {"holding-high", 7, "500", 100, 1},
    {"extended", 8, "0", 100, 1},
};
const std::vector<Request> kPolledRequests = {
    {4, 0, 100}, {3, 0, 100}, {3, 500, 100}, {3, 5000, 100}};

// The ping-pong's sizes: a read request, and the reply to one of 100
// registers (application header, function code, byte count, registers).
const int kRequestBytes = 12;
const int kReplyBytes = 9 + 2 * 100;
// Its request: transaction 0, protocol 0, 6 bytes follow, unit 1, function 3,
// 100 registers from register 0.
const char kPingPongRequest[kRequestBytes] = {0, 0, 0, 0, 0, 6, 1, 3, 0, 0, 0, 100};

// Scattered tags: 1000 one-word variables taking turns over the input, holding
// and extended holding registers, each 0 to 3 registers after the previous
// one of its area; the host's plan of them and one request per variable.
const int kTags = 1000;
const int kRegsPerRequest = 123;

std::vector<Variable> scatteredPlan() {
    std::mt19937 random(2024);
    int next[3] = {0, 0, 0};
    std::vector<Variable> plan;
    for (int i = 0; i < kTags; ++i) {
        const int area = i % 3;
        plan.push_back({"t" + std::to_string(i), 6 + area, std::to_string(next[area]), 1, 1});
        next[area] += 1 + int(random() % 4);
    }
    return plan;
}

std::vector<Request> oneRequestPerVariable(const std::vector<Variable> &plan) {
    std::vector<Request> requests;
    for (const Variable &v : plan)
        requests.push_back({v.type == 6 ? 4 : 3,
                            std::stoi(v.address) + (v.type == 8 ? plc::kExtendedAreaStart : 0), 1});
    return requests;
}

struct Timing {
    std::chrono::milliseconds warmUp;
    std::chrono::milliseconds window;
    int rounds;
};

// One side of a comparison: what it does in a round, and the rates (round
// trips per second) of its rounds.
struct Side {
    using Run = std::function<bool(std::string *error, double *roundTrips, double *seconds)>;
    Side(const char *name, Run run) : name(name), run(std::move(run)) {}
    const char *name;
    Run run;
    std::vector<double> rates;
    double roundTrips = 0;
    double seconds = 0;
    double rate() const { return roundTrips / seconds; }
};

// What the rounds share; set up once in main.
struct Rig {
    Timing timing{};
    std::unique_ptr<SimProcess> sim;
    modbus_t *plain = nullptr;
    pid_t minimalServer = -1;
    int minimalServerPort = 0;
    int pingPong = -1; // the raw client's socket
    std::vector<Variable> scattered;
    std::vector<Request> tagRequests;
    int requestsPerPass = 0; // of the host's merged plan of the scattered tags
};
Rig rig;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A browser page open on the live view: every quarter of a second (its
// pace when the host polls without a pause) it fetches the values, the
// statistics and the trend points since the scan it last saw.
class OpenPage {
public:
    explicit OpenPage(const std::string &url) : thread_([this, url] { browse(url); }) {}
    ~OpenPage() {
        closed_ = true;
        thread_.join();
    }

private:
    void browse(const std::string &url) {
        httplib::Client client(url.substr(0, url.size() - 1)); // without the final '/'
        std::string scan = "0";
        while (!closed_) {
            if (auto values = client.Get("/api/values")) {
                const size_t at = values->body.find("\"scan\":");
                if (at != std::string::npos)
                    scan = std::to_string(std::strtoull(values->body.c_str() + at + 7, nullptr, 10));
            }
            client.Get("/api/stats");
            client.Get(("/api/trend?since=" + scan).c_str());
            for (int slept = 0; slept < 250 && !closed_; slept += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    std::atomic<bool> closed_{false};
    std::thread thread_;
};

// A host loaded for a round (the plug-in holds one driver, so one at a
// time) polls `plan` on its own loop thread as fast as the link allows; the
// round counts the exchanges it reports in the window after a warm-up.
bool hostPolls(int port, const std::vector<Variable> &plan, std::string *error,
               double *exchanges, double *seconds, bool watched = false) {
    plchost::HostConfig config;
    config.pluginPath = PLUGIN_PATH;
    config.port = port;
    config.regsPerFrame = kRegsPerRequest;
    config.intervalMs = 0;
    plchost::PlcHost host(config);
    if (!host.load(*error) || !host.setPlan(plan, *error))
        return false;
    plchost::LiveView view; // after the host: stops following it first
    std::unique_ptr<OpenPage> page;
    if (watched) {
        if (!view.serve("127.0.0.1:0", *error))
            return false;
        view.follow(host, plan, [](const Variable &v, const QByteArray &data) {
            return plchost::formatValues(v.type, v.format, data);
        });
        page = std::make_unique<OpenPage>(view.url());
    }
    host.start();
    std::this_thread::sleep_for(rig.timing.warmUp);
    const plchost::StatsSnapshot before = host.stats();
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(rig.timing.window);
    const plchost::StatsSnapshot after = host.stats();
    *seconds = secondsSince(start);
    host.stop();
    *exchanges = double(after.exchanges - before.exchanges);
    if (after.failures != before.failures)
        *error = "host exchanges failed: " + host.lastError();
    return after.failures == before.failures;
}

// Makes round trips on this thread, the n-th with roundTrip(n), for a
// warm-up and then for the window; false on a failed one.
bool clientLoop(const std::function<bool(long)> &roundTrip, double *roundTrips, double *seconds) {
    long n = 0;
    for (const auto window : {rig.timing.warmUp, rig.timing.window}) {
        n = 0;
        const Clock::time_point start = Clock::now();
        for (const Clock::time_point end = start + window; Clock::now() < end; ++n)
            if (!roundTrip(n))
                return false;
        *seconds = secondsSince(start);
    }
    *roundTrips = double(n);
    return true;
}

// A plain libmodbus client issuing `requests` in turn.
bool plainPolls(const std::vector<Request> &requests, std::string *error, double *roundTrips,
                double *seconds) {
    uint16_t regs[MODBUS_MAX_READ_REGISTERS];
    const auto request = [&](long n) {
        const Request &r = requests[size_t(n) % requests.size()];
        const int got = r.function == 4
                            ? modbus_read_input_registers(rig.plain, r.address, r.count, regs)
                            : modbus_read_registers(rig.plain, r.address, r.count, regs);
        return got == r.count;
    };
    if (clientLoop(request, roundTrips, seconds))
        return true;
    *error = std::string("plain client: ") + modbus_strerror(errno);
    return false;
}

// ---- the raw ping-pong ----

// Reads or writes all n bytes of a blocking socket; false when the peer is gone.
template <typename Io> bool whole(Io io, int fd, char *bytes, int n) {
    for (int done = 0; done < n;) {
        const ssize_t got = io(fd, bytes + done, size_t(n - done), 0);
        if (got <= 0)
            return false;
        done += int(got);
    }
    return true;
}
bool sendAll(int fd, char *bytes, int n) {
    return whole([](int f, char *b, size_t k, int flags) { return ::send(f, b, k, flags); }, fd,
                 bytes, n);
}
bool receiveAll(int fd, char *bytes, int n) { return whole(::recv, fd, bytes, n); }

// The minimal server, a child process like the simulated PLC, with a process
// of its own for each connection: answers every 12-byte request with a reply
// of 100 registers that echoes the request's transaction, unit and function;
// nothing else is looked at.
void answerRequests(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char request[kRequestBytes];
    char reply[kReplyBytes] = {};
    reply[5] = char(kReplyBytes - 6); // the length: what follows the length field
    reply[8] = char(kReplyBytes - 9); // the byte count
    while (receiveAll(fd, request, kRequestBytes)) {
        std::memcpy(reply, request, 2);
        std::memcpy(reply + 6, request + 6, 2);
        if (!sendAll(fd, reply, kReplyBytes))
            return;
    }
}

[[noreturn]] void serveMinimal(int listener) {
    signal(SIGCHLD, SIG_IGN); // connection processes leave no zombies
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd >= 0 && fork() == 0) {
            answerRequests(fd);
            _exit(0);
        }
        close(fd);
    }
}

// Starts the minimal server on a free loopback port and connects the raw
// client to it.
bool startMinimalServer(std::string *error) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const auto where = reinterpret_cast<sockaddr *>(&address);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || bind(listener, where, size) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, where, &size) != 0) {
        *error = std::string("minimal server: ") + std::strerror(errno);
        return false;
    }
    rig.minimalServerPort = ntohs(address.sin_port);
    rig.minimalServer = fork();
    if (rig.minimalServer == 0)
        serveMinimal(listener);
    close(listener);
    const int on = 1;
    rig.pingPong = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rig.minimalServer < 0 || rig.pingPong < 0 || connect(rig.pingPong, where, size) != 0 ||
        setsockopt(rig.pingPong, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        *error = std::string("raw client: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool pingPongs(std::string *error, double *roundTrips, double *seconds) {
    char request[kRequestBytes];
    std::memcpy(request, kPingPongRequest, kRequestBytes);
    char reply[kReplyBytes];
    const auto roundTrip = [&](long) {
        return sendAll(rig.pingPong, request, kRequestBytes) &&
               receiveAll(rig.pingPong, reply, kReplyBytes);
    };
    if (clientLoop(roundTrip, roundTrips, seconds))
        return true;
    *error = "the minimal server is gone";
    return false;
}

// ---- comparisons ----

Side hostSide{"host", [](std::string *e, double *n, double *s) {
                  return hostPolls(rig.sim->port(), kPolledPlan, e, n, s);
              }};
Side plainSide{"plain-libmodbus", [](std::string *e, double *n, double *s) {
                   return plainPolls(kPolledRequests, e, n, s);
               }};
Side floorSide{"raw-ping-pong", pingPongs};
Side hostOnMinimalSide{"host-on-minimal-server", [](std::string *e, double *n, double *s) {
                           return hostPolls(rig.minimalServerPort, kPolledPlan, e, n, s);
                       }};
Side watchedSide{"host-with-live-view", [](std::string *e, double *n, double *s) {
                     return hostPolls(rig.sim->port(), kPolledPlan, e, n, s, true);
                 }};
Side mergedSide{"host-merged", [](std::string *e, double *n, double *s) {
                    return hostPolls(rig.sim->port(), rig.scattered, e, n, s);
                }};
Side tagSide{"tag-by-tag", [](std::string *e, double *n, double *s) {
                 return plainPolls(rig.tagRequests, e, n, s);
             }};

void runSide(benchmark::State &state, Side *side) {
    for (auto _ : state) {
        std::string error;
        double roundTrips = 0;
        double seconds = 0;
        if (!side->run(&error, &roundTrips, &seconds)) {
            state.SkipWithError(error.c_str());
            return;
        }
        state.SetIterationTime(seconds);
        state.counters["round_trips"] = roundTrips;
        state.counters["per_second"] = roundTrips / seconds;
        side->rates.push_back(roundTrips / seconds);
        side->roundTrips += roundTrips;
        side->seconds += seconds;
    }
}

// Registers `rounds` rounds of the sides, round r starting with side r.
void registerRounds(const char *comparison, const std::vector<Side *> &sides, int rounds) {
    for (int round = 0; round < rounds; ++round)
        for (size_t i = 0; i < sides.size(); ++i) {
            Side *side = sides[(size_t(round) + i) % sides.size()];
            const std::string name = std::string(comparison) + "/round:" +
                                     std::to_string(round + 1) + "/" + side->name;
            benchmark::RegisterBenchmark(name.c_str(), runSide, side)
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
}

// The median over rounds of a's rate / b's rate; 0 when a round is missing.
double medianRatio(const Side &a, const Side &b) {
    if (a.rates.empty() || a.rates.size() != b.rates.size())
        return 0;
    std::vector<double> ratios;
    for (size_t i = 0; i < a.rates.size(); ++i)
        ratios.push_back(a.rates[i] / b.rates[i]);
    return median(ratios);
}

void printFigures() {
    const double e2e = medianRatio(hostSide, plainSide);
    // The floor: the host and the raw ping-pong talk to the same minimal
    // server, so the ratio is the cost of the host and the driver alone.
    const double floor = medianRatio(hostOnMinimalSide, floorSide);
    if (e2e > 0 && floor > 0) {
        std::printf("over all rounds, requests/s: host with driver %.0f, plain libmodbus client "
                    "%.0f, raw ping-pong %.0f, host with driver on the minimal server %.0f; "
                    "median ratio of a round, host on the simulated PLC / raw ping-pong %.3f\n",
                    hostSide.rate(), plainSide.rate(), floorSide.rate(), hostOnMinimalSide.rate(),
                    medianRatio(hostSide, floorSide));
        printTarget("host with driver / plain libmodbus client >= 0.95", e2e >= 0.95);
        printTarget("host with driver / raw ping-pong, same server >= 0.90", floor >= 0.90);
        printFigure("e2e_ratio", e2e);
        printFigure("floor_ratio", floor);
    }
    const double watched = medianRatio(watchedSide, hostSide);
    if (watched > 0) {
        std::printf("requests/s of the host watched through the live view with a page open %.0f\n",
                    watchedSide.rate());
        printTarget("host watched by the live view / not watched >= 0.95", watched >= 0.95);
        printFigure("view_ratio", watched);
    }
    // Passes per second: the host's exchanges per second / its requests per
    // pass, against the tag-by-tag requests per second / the variables.
    const double speedup =
        medianRatio(mergedSide, tagSide) * double(rig.tagRequests.size()) / rig.requestsPerPass;
    if (speedup > 0) {
        std::printf("a pass over %d scattered variables: host with merged plan %.3f ms in %d "
                    "requests, tag by tag %.3f ms over all rounds\n",
                    kTags, 1e3 * rig.requestsPerPass / mergedSide.rate(), rig.requestsPerPass,
                    1e3 * double(rig.tagRequests.size()) / tagSide.rate());
        printTarget("pass tag by tag / pass of the host's merged plan >= 10", speedup >= 10);
        printFigure("cycle_speedup", speedup);
    }
}

// ---- set-up ----

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

// The requests of one pass of the driver's merged plan of `plan`, from the
// plug-in itself: in multi-station mode ReCreatReadVarList returns the number
// of blocks, and one station's one-register variables merge there as they do
// in single-station mode.
int requestsPerPass(const std::vector<Variable> &plan, std::string *error) {
    plchost::Plugin plugin;
    if (!plugin.open(PLUGIN_PATH, error))
        return 0;
    ComInfo info{};
    info.maxRegsPerFrame = kRegsPerRequest;
    info.multiStation = 1;
    plugin.api().SetComInfo(&info);
    QList<HOSTVAR> vars;
    for (const Variable &v : plan) {
        HOSTVAR h;
        h.regType = quint8(v.type);
        h.station = quint8(v.station);
        h.address = QString::fromStdString(v.address);
        h.count = v.count;
        vars.append(h);
    }
    const int blocks = plugin.api().ReCreatReadVarList(&vars);
    if (blocks == 0)
        *error = "the driver made no plan of the scattered variables";
    return blocks;
}

bool setUp(std::string *error) {
    if (!pinToOneProcessor(error) || !startMinimalServer(error))
        return false;
    rig.sim = std::make_unique<SimProcess>();
    if (!rig.sim->running()) {
        *error = "the simulated PLC did not start";
        return false;
    }
    rig.scattered = scatteredPlan();
    rig.tagRequests = oneRequestPerVariable(rig.scattered);
    rig.requestsPerPass = requestsPerPass(rig.scattered, error);
    if (rig.requestsPerPass == 0)
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
    rig.sim.reset();
    if (rig.pingPong >= 0)
        close(rig.pingPong);
    if (rig.minimalServer > 0) {
        kill(rig.minimalServer, SIGTERM);
        waitpid(rig.minimalServer, nullptr, 0);
    }
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
    registerRounds("Polling", {&hostSide, &plainSide, &floorSide, &hostOnMinimalSide, &watchedSide},
                   rig.timing.rounds);
    registerRounds("ScatteredTags", {&mergedSide, &tagSide}, (rig.timing.rounds + 1) / 2);
    ResultLog log;
    const bool ran = runBenchmarks(argc, argv, smoke, false, &log);
    tearDown();
    if (!ran)
        return 2;
    printFigures();
    return log.failures() == 0 ? 0 : 1;
}
