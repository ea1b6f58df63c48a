// The driver's own costs, measured on a private driver object with no I/O:
// one request/reply exchange, value reads and writes, read-list rebuilds and
// their growth, and the heap taken by the per-station store. Ends with the
// figures exchange_ns, rebuild_ratio, rebuild_100k_ms and lookup_ratio.
#include "alloc_counter.h"
#include "bench_support.h"
#include "driver.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <thread>

namespace {

int ignoreCompletion(int, int, int, int) { return 0; }
int ignoreNotify(QList<RW_VAR>, int, int) { return 0; }

// A driver wired to its settings record and to callbacks that do nothing.
struct Bench {
    std::unique_ptr<ModbusTcpDriver> driver = std::make_unique<ModbusTcpDriver>();
    ModbusTcpDriver &d = *driver;
    ComInfo info{};

    explicit Bench(bool multiStation) {
        info.maxRegsPerFrame = 125;
        info.defaultStation = 1;
        info.retryLimit = 2;
        info.multiStation = multiStation ? 1 : 0;
        info.writeMode = 2; // host writes go to the PLC
        info.hostHandle = 1;
        d.setComInfo(&info);
        d.setCallbacks(ignoreCompletion, ignoreNotify);
    }
};

const char *stationMode(bool multi) { return multi ? "multi" : "single"; }

// Reports the heap allocations of the timed loop per iteration; starts
// counting when made, so make it just before the loop.
class AllocationMeter {
public:
    AllocationMeter() : start_(allocationCount()) {}
    void report(benchmark::State &state) const {
        if (!allocationsCounted() || state.iterations() == 0)
            return;
        state.counters["allocs"] =
            double(allocationCount() - start_) / double(state.iterations());
    }

private:
    long start_;
};

// ---- one exchange: ComCommunication, then DataCom with the stored reply ----

const int kExchangeRegs = 125;

HOSTVAR holdingWords(int first, int count) {
    HOSTVAR var;
    var.regType = 7;
    var.station = 1;
    var.address = QString::number(first);
    var.label = QStringLiteral("block");
    var.count = count;
    return var;
}

// The reply a PLC gives to a function-3 request: the request's header and
// function code, the byte count, then the registers.
QByteArray readReply(const Protocol &request, int regs) {
    QByteArray reply = request.frame.left(8);
    reply.append(static_cast<char>(2 * regs));
    for (int i = 0; i < 2 * regs; ++i)
        reply.append(static_cast<char>(i * 7));
    return reply;
}

// Hands the stored reply to the driver as the answer to `p`: the PLC echoes
// the request's transaction id, which differs from frame to frame.
int answer(ModbusTcpDriver &d, const Protocol *p, QByteArray &reply) {
    reply[0] = p->frame[0];
    reply[1] = p->frame[1];
    return d.handleReply(&reply, reply.size())->result;
}

// Answers the frame now pending and keeps the reply for the benchmark; false,
// with the benchmark skipped, when there is no frame or the driver does not
// accept the reply.
bool prepareReply(benchmark::State &state, ModbusTcpDriver &d, QByteArray *reply) {
    Protocol *p = d.nextRequest();
    if (p)
        *reply = readReply(*p, kExchangeRegs);
    if (!p || p->replyLen != reply->size() || answer(d, p, *reply) != PLC_RESULT_DONE) {
        state.SkipWithError("the driver did not accept the reply");
        return false;
    }
    return true;
}

void exchangeCyclic(benchmark::State &state, bool multi) {
    Bench b(multi);
    QList<HOSTVAR> plan = {holdingWords(0, kExchangeRegs)};
    b.d.rebuildReadList(&plan);
    QByteArray reply;
    if (!prepareReply(state, b.d, &reply))
        return;
    AllocationMeter meter;
    int result = PLC_RESULT_DONE;
    for (auto _ : state)
        benchmark::DoNotOptimize(result = answer(b.d, b.d.nextRequest(), reply));
    meter.report(state);
    if (result != PLC_RESULT_DONE)
        state.SkipWithError("the driver did not accept the reply");
}

// Each iteration queues one one-shot read and completes it. With no cyclic
// plan, every sixth call finds the one-shot turn used up: that call frames
// nothing and re-opens the turn.
void exchangeOnce(benchmark::State &state, bool multi) {
    Bench b(multi);
    RW_VAR once;
    once.hostTag0 = 1;
    once.hostTag1 = 1;
    once.regType = 7;
    once.address = QStringLiteral("0");
    once.station = 1;
    once.count = kExchangeRegs;
    RW_VAR queued = once;
    b.d.queueOnceRead(&queued, 0);
    QByteArray reply;
    if (!prepareReply(state, b.d, &reply))
        return;
    AllocationMeter meter;
    int result = PLC_RESULT_DONE;
    for (auto _ : state) {
        queued = once;
        b.d.queueOnceRead(&queued, 0);
        const Protocol *p = b.d.nextRequest();
        benchmark::DoNotOptimize(result = answer(b.d, p ? p : b.d.nextRequest(), reply));
    }
    meter.report(state);
    if (result != PLC_RESULT_DONE)
        state.SkipWithError("the driver did not accept the reply");
}

// ---- value reads and writes in area 1: one element of each kind, and a
// block of 100 words ----

struct ElementKind {
    const char *name;
    int regType;
    const char *address; // all within registers 50..199
    int count;           // a double word counts two registers
    QByteArray value;
};

const ElementKind kKinds[] = {
    {"bit", 1, "100.3", 1, QByteArray(1, '\1')},
    {"byte", 4, "201", 1, QByteArray(1, '\x5A')},
    {"word", 7, "100", 1, QByteArray(2, '\x12')},
    {"dword", 10, "50", 2, QByteArray(4, '\x34')},
    {"100-words", 7, "100", 100, QByteArray(200, '\x56')},
};
const ElementKind &kWord = kKinds[2]; // the kind of the lookup figure

// Multi-station store of `records` registers: 1000 registers of area 1 for
// each of records / 1000 stations, as replies would have left them (stored
// here by local-only writes).
void fillStationStore(Bench &b, int records) {
    b.info.writeMode = 0;
    const QByteArray values(2000, '\x01');
    for (int station = 1; station <= records / 1000; ++station)
        b.d.writeValues(QString(), kWord.regType, QStringLiteral("0"), station, values, 1000, 1, 1);
}

// The station in the middle of such a store, whose registers the value
// benchmarks use; station 1 of the images.
int middleStation(int records) { return records / 2000 + 1; }

// A driver with a value store, built once and shared by the value
// benchmarks: the images (records 0) or a per-station store of `records`.
Bench &storeBench(int records) {
    static std::map<int, std::unique_ptr<Bench>> benches;
    std::unique_ptr<Bench> &b = benches[records];
    if (!b) {
        b = std::make_unique<Bench>(records != 0);
        fillStationStore(*b, records);
    }
    return *b;
}

void getValue(benchmark::State &state, const ElementKind &kind, int records) {
    Bench &b = storeBench(records);
    const int station = middleStation(records);
    const QString address = QString::fromLatin1(kind.address);
    QByteArray data;
    AllocationMeter meter;
    for (auto _ : state) {
        b.d.readValues(kind.regType, address, station, data, kind.count);
        benchmark::DoNotOptimize(data.constData());
    }
    meter.report(state);
}

// Queued: the host's write goes to the write queue, where it replaces the
// same write still waiting behind the one in flight (the steady state of a
// host writing faster than the link). Local: only the store is updated.
void setValue(benchmark::State &state, const ElementKind &kind, int records, bool queued) {
    Bench b(records != 0); // a queue of its own
    fillStationStore(b, records);
    b.info.writeMode = queued ? 2 : 0;
    const int station = middleStation(records);
    const QString label = QStringLiteral("value");
    const QString address = QString::fromLatin1(kind.address);
    AllocationMeter meter;
    int queueSize = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(queueSize = b.d.writeValues(label, kind.regType, address, station,
                                                             kind.value, kind.count, 1, 1));
    meter.report(state);
    if (queued && queueSize > 2)
        state.SkipWithError("the write grew the queue");
}

// ---- read-list rebuild ----

// `n` variables of every type at random places of their areas, in random
// order, with 1..4 elements each; several stations when multi.
QList<HOSTVAR> randomVariables(int n, bool multi) {
    std::mt19937 random(12345);
    const auto below = [&](int limit) { return static_cast<int>(random() % unsigned(limit)); };
    QList<HOSTVAR> vars;
    vars.reserve(n);
    for (int i = 0; i < n; ++i) {
        HOSTVAR var;
        var.regType = static_cast<quint8>(below(12));
        var.station = static_cast<quint8>(multi ? 1 + below(8) : 1);
        var.count = 1 + below(4);
        const int regs = kImageRegisters[var.regType % 3];
        const int reg = below(regs - 8);
        switch (var.regType / 3) {
        case 0:
            var.address = QStringLiteral("%1.%2").arg(2 * reg + below(2)).arg(below(8));
            break;
        case 1:
            var.address = QString::number(2 * reg + below(2));
            break;
        case 2:
            var.address = QString::number(reg);
            break;
        default:
            var.address = QString::number(reg / 2);
            break;
        }
        var.label = QStringLiteral("v%1").arg(i);
        vars.append(var);
    }
    return vars;
}

void rebuild(benchmark::State &state, int n, bool multi) {
    Bench b(multi);
    QList<HOSTVAR> vars = randomVariables(n, multi);
    for (auto _ : state)
        benchmark::DoNotOptimize(b.d.rebuildReadList(&vars));
    if (b.d.appendCyclicBlock(nullptr) == 0)
        state.SkipWithError("the rebuild made no blocks");
}

// ---- growth of the rebuild with the number of variables ----

// Two small absolute times make a noisy ratio: the load of the machine
// changes between the benchmarks, and the 100 000-variable plan's 10 MB of
// records suffer more from other programs in the caches. So each round
// rebuilds every size in turn, close together in time, and yields the
// exponent of time against size fitted to that round alone; the median over
// the rounds counts.
const int kGrowthSizes[] = {10000, 30000, 100000};
const int kGrowthRounds = 15;

double threadCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// The exponent b of time = a * size^b, least squares over log-log points.
double growthExponent(const std::vector<double> &sizes, const std::vector<double> &seconds) {
    double mx = 0, my = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        mx += std::log(sizes[i]) / double(sizes.size());
        my += std::log(seconds[i]) / double(sizes.size());
    }
    double sxy = 0, sxx = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        sxy += (std::log(sizes[i]) - mx) * (std::log(seconds[i]) - my);
        sxx += (std::log(sizes[i]) - mx) * (std::log(sizes[i]) - mx);
    }
    return sxy / sxx;
}

// Each iteration is a round: every size in turn, round r starting with size
// r, each the fastest of three rebuilds in CPU time. Reports growth_10x, the
// factor ten times as many variables cost (10 for linear growth, 12.5 for
// n log n from 10 000 to 100 000, 100 for quadratic), from the median exponent.
void rebuildGrowth(benchmark::State &state, bool multi) {
    Bench b(multi);
    std::vector<QList<HOSTVAR>> plans;
    std::vector<double> sizes;
    for (int n : kGrowthSizes) {
        plans.push_back(randomVariables(n, multi));
        sizes.push_back(n);
    }
    std::vector<double> exponents;
    for (auto _ : state) {
        std::vector<double> seconds(plans.size());
        for (size_t i = 0; i < plans.size(); ++i) {
            const size_t k = (exponents.size() + i) % plans.size();
            seconds[k] = 1e9;
            for (int repeat = 0; repeat < 3; ++repeat) {
                const double start = threadCpuSeconds();
                benchmark::DoNotOptimize(b.d.rebuildReadList(&plans[k]));
                seconds[k] = std::min(seconds[k], threadCpuSeconds() - start);
            }
        }
        exponents.push_back(growthExponent(sizes, seconds));
    }
    state.counters["growth_10x"] = std::pow(10.0, median(exponents));
}

// ---- heap taken by the per-station store ----

// Heap bytes and allocations per register record in multi-station mode, the
// records created by local word writes (which allocate nothing else) to
// distinct registers: 1000 holding registers of each of `records` / 1000
// stations.
void stationStoreMemory(benchmark::State &state, int records) {
    const QString label = QStringLiteral("value");
    std::vector<QString> addresses;
    for (int reg = 0; reg < 1000; ++reg)
        addresses.push_back(QString::number(reg));
    for (auto _ : state) {
        Bench b(true);
        b.info.writeMode = 0;
        const long bytes = heapBytesInUse();
        const long allocations = allocationCount();
        for (int station = 1; station <= records / 1000; ++station)
            for (const QString &address : addresses)
                b.d.writeValues(label, kWord.regType, address, station, kWord.value, 1, 1, 1);
        state.counters["bytes_per_record"] = double(heapBytesInUse() - bytes) / records;
        state.counters["allocs_per_record"] = double(allocationCount() - allocations) / records;
    }
}

// How long the communication loop can wait for the queue lock, which its every
// call takes first, while another host thread replaces a plan of `n`
// variables every few milliseconds: the longest of many waits.
void listLockWaitDuringRebuilds(benchmark::State &state, int n) {
    Bench b(false);
    QList<HOSTVAR> vars = randomVariables(n, false);
    std::atomic<bool> stop{false};
    std::thread rebuilder([&] {
        while (!stop) {
            b.d.rebuildReadList(&vars);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::chrono::duration<double, std::milli> longest{0};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        b.d.appendCyclicBlock(nullptr); // takes the queue lock and nothing else
        longest = std::max<decltype(longest)>(longest, std::chrono::steady_clock::now() - start);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    stop = true;
    rebuilder.join();
    state.counters["longest_ms"] = longest.count();
}

// ---- registration and figures ----

const int kLargeStore = 100000;
const int kSmallStore = 1000;
const int kRebuildSizes[] = {1000, 10000, 100000};

std::string exchangeName(const char *kind, bool multi) {
    return std::string("Exchange/") + kind + "/" + stationMode(multi);
}
std::string storeName(int records) {
    return records == 0 ? "single" : "multi-" + std::to_string(records);
}
std::string getName(const ElementKind &kind, int records) {
    return std::string("GetRegisterData/") + kind.name + "/" + storeName(records);
}
std::string rebuildName(int n, bool multi) {
    return "ReCreatReadVarList/" + std::string(stationMode(multi)) + "/" + std::to_string(n);
}
std::string growthName(bool multi) {
    return std::string("ReCreatReadVarList/growth/") + stationMode(multi);
}
std::string memoryName(int records) {
    return "StationStore/memory/" + std::to_string(records);
}

// The benchmarks behind a figure run five times; the fastest run counts.
const int kRepetitions = 5;

void registerAll(bool smoke) {
    for (bool multi : {false, true}) {
        fastestOf(kRepetitions, benchmark::RegisterBenchmark(exchangeName("cyclic", multi).c_str(),
                                                             exchangeCyclic, multi));
        fastestOf(kRepetitions, benchmark::RegisterBenchmark(
                                    exchangeName("one-shot", multi).c_str(), exchangeOnce, multi));
    }
    for (const ElementKind &kind : kKinds)
        for (int records : {0, kLargeStore}) {
            auto *b = benchmark::RegisterBenchmark(getName(kind, records).c_str(), getValue, kind,
                                                   records);
            if (&kind == &kWord && records != 0)
                fastestOf(kRepetitions, b);
        }
    fastestOf(kRepetitions, benchmark::RegisterBenchmark(getName(kWord, kSmallStore).c_str(),
                                                         getValue, kWord, kSmallStore));
    for (const ElementKind &kind : kKinds)
        for (int records : {0, kLargeStore})
            for (bool queued : {true, false}) {
                const std::string name = std::string("SetRegisterData/") + kind.name + "/" +
                                         storeName(records) + (queued ? "/queued" : "/local");
                benchmark::RegisterBenchmark(name.c_str(), setValue, kind, records, queued);
            }
    for (bool multi : {false, true})
        for (int n : kRebuildSizes)
            fastestOf(kRepetitions, benchmark::RegisterBenchmark(rebuildName(n, multi).c_str(),
                                                                 rebuild, n, multi))
                ->Unit(benchmark::kMillisecond);
    for (bool multi : {false, true})
        benchmark::RegisterBenchmark(growthName(multi).c_str(), rebuildGrowth, multi)
            ->Iterations(smoke ? 1 : kGrowthRounds)
            ->Unit(benchmark::kMillisecond);
    for (int records : {kSmallStore, kLargeStore})
        benchmark::RegisterBenchmark(memoryName(records).c_str(), stationStoreMemory, records)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("ListLockWait/during-rebuilds/100000", listLockWaitDuringRebuilds,
                                 100000)
        ->Iterations(200)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
}

// The figures of this run, from the benchmarks that ran.
void printFigures(const ResultLog &log) {
    std::vector<std::string> exchanges;
    for (const char *kind : {"cyclic", "one-shot"})
        for (bool multi : {false, true})
            if (log.has(exchangeName(kind, multi)))
                exchanges.push_back(exchangeName(kind, multi));
    if (!exchanges.empty()) {
        double worst = 0;
        for (const std::string &name : exchanges)
            worst = std::max(worst, log.cpuNanoseconds(name));
        printTarget("driver cost per exchange (slowest kind) < 2 us", worst < 2000);
        printFigure("exchange_ns", worst);
    }

    double worstGrowth = 0;
    for (bool multi : {false, true})
        if (log.has(growthName(multi)))
            worstGrowth = std::max(worstGrowth, log.counter(growthName(multi), "growth_10x"));
    if (worstGrowth > 0) {
        printTarget("rebuild growth for ten times the variables < 15", worstGrowth < 15);
        printFigure("rebuild_ratio", worstGrowth);
    }
    double worstLargest = 0;
    for (bool multi : {false, true}) {
        const std::string name = rebuildName(100000, multi);
        if (log.has(name))
            worstLargest = std::max(worstLargest, log.cpuNanoseconds(name) / 1e6);
    }
    if (worstLargest > 0) {
        printTarget("rebuild of 100 000 variables < 100 ms", worstLargest < 100);
        printFigure("rebuild_100k_ms", worstLargest);
    }

    const std::string small = getName(kWord, kSmallStore);
    const std::string large = getName(kWord, kLargeStore);
    if (log.has(small) && log.has(large)) {
        const double ratio = log.cpuNanoseconds(large) / log.cpuNanoseconds(small);
        printTarget("word read with 100 000 records / with 1 000 < 2", ratio < 2);
        printFigure("lookup_ratio", ratio);
    }

    const std::string fewRecords = memoryName(kSmallStore);
    const std::string manyRecords = memoryName(kLargeStore);
    if (allocationsCounted() && log.has(fewRecords) && log.has(manyRecords))
        std::printf("per-station store: %.0f heap bytes per record with 1 000 records, %.0f with "
                    "100 000, in %.2f allocations\n",
                    log.counter(fewRecords, "bytes_per_record"),
                    log.counter(manyRecords, "bytes_per_record"),
                    log.counter(manyRecords, "allocs_per_record"));
}

} // namespace

int main(int argc, char **argv) {
    const bool smoke = takeSmokeFlag(&argc, argv);
    registerAll(smoke);
    ResultLog log;
    if (!runBenchmarks(argc, argv, smoke, true, &log))
        return 2;
    if (!allocationsCounted())
        std::printf("(heap allocations are not counted in a sanitizer build)\n");
    printFigures(log);
    return log.failures() == 0 ? 0 : 1;
}
