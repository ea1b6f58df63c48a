// Shared by the benchmark programs: a console reporter that also keeps every
// result by name, the --smoke flag, and the machine-readable figure lines.
#ifndef BENCH_SUPPORT_H
#define BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>
#include <string>
#include <vector>

// Repeats a benchmark and keeps its fastest repetition: on a machine busy
// with other work the least disturbed run is the best estimate of the cost.
inline benchmark::internal::Benchmark *fastestOf(int repetitions,
                                                 benchmark::internal::Benchmark *b) {
    return b->Repetitions(repetitions)->ComputeStatistics("min", [](const std::vector<double> &v) {
        return *std::min_element(v.begin(), v.end());
    });
}

// Prints the console table once all benchmarks have run, in the order they
// were registered (interleaved repetitions finish in any order), one line per
// benchmark: the fastest repetition of a repeated one. Remembers those lines
// by benchmark name.
class ResultLog : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred)
                ++failures_;
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (!run.error_occurred && !single && run.aggregate_name != "min")
                continue;
            shown_.push_back(run);
            if (!run.error_occurred)
                runs_[nameOf(run)] = run;
        }
    }

    void Finalize() override {
        std::stable_sort(shown_.begin(), shown_.end(), [](const Run &a, const Run &b) {
            return std::make_pair(a.family_index, a.per_family_instance_index) <
                   std::make_pair(b.family_index, b.per_family_instance_index);
        });
        ConsoleReporter::ReportRuns(shown_);
        ConsoleReporter::Finalize();
    }

    int failures() const { return failures_; }
    bool has(const std::string &name) const { return runs_.count(name) != 0; }

    // CPU time of the benchmark's thread per iteration, in nanoseconds: on a
    // machine busy with other work it stays close to the cost of the code,
    // where the real time grows with every wait for a processor.
    double cpuNanoseconds(const std::string &name) const {
        const Run &run = runs_.at(name);
        return run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
    }

    // A counter the benchmark reported.
    double counter(const std::string &name, const char *key) const {
        return runs_.at(name).counters.at(key).value;
    }

private:
    // The name a benchmark was registered with, without "/repeats:3" or
    // "/iterations:15".
    static std::string nameOf(const Run &run) {
        benchmark::BenchmarkName name = run.run_name;
        name.repetitions.clear();
        name.iterations.clear();
        return name.str();
    }

    std::vector<Run> shown_;
    std::map<std::string, Run> runs_;
    int failures_ = 0;
};

// Removes --smoke from the arguments. With it every benchmark runs about
// once: the test suite uses it to check that they all still work.
inline bool takeSmokeFlag(int *argc, char **argv) {
    bool smoke = false;
    int kept = 0;
    for (int i = 0; i < *argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0)
            smoke = true;
        else
            argv[kept++] = argv[i];
    }
    *argc = kept;
    argv[kept] = nullptr;
    return smoke;
}

// Runs the registered benchmarks with the command line's flags; a smoke run
// takes the shortest measuring time. Interleaved, the repetitions of all
// benchmarks run in random order, so that a disturbance of the machine does
// not weigh on one benchmark alone. False on an unknown flag.
inline bool runBenchmarks(int argc, char **argv, bool smoke, bool interleave, ResultLog *log) {
    static char shortest[] = "--benchmark_min_time=0.000001";
    static char interleaved[] = "--benchmark_enable_random_interleaving=true";
    std::vector<char *> args(argv, argv + argc);
    if (smoke)
        args.insert(args.begin() + 1, shortest);
    if (interleave)
        args.insert(args.begin() + 1, interleaved);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return false;
    benchmark::RunSpecifiedBenchmarks(log);
    benchmark::Shutdown();
    return true;
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One machine-readable figure, `name=value`.
inline void printFigure(const char *name, double value) {
    std::printf("%s=%.3f\n", name, value);
}

// A human-readable verdict on one target.
inline void printTarget(const char *what, bool met) {
    std::printf("target %-64s %s\n", what, met ? "met" : "NOT MET");
}

#endif
