// Shared by the benchmark programs: a console reporter that also keeps every
// result by name, the --smoke flag, and the machine-readable figure lines.
#ifndef BENCH_SUPPORT_H
#define BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
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

// Prints the console table, one line per benchmark (the fastest repetition
// of a repeated one), and remembers those lines by benchmark name.
class ResultLog : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        std::vector<Run> shown;
        for (const Run &run : runs) {
            if (run.error_occurred)
                ++failures_;
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (!run.error_occurred && !single && run.aggregate_name != "min")
                continue;
            shown.push_back(run);
            if (!run.error_occurred)
                runs_[nameOf(run)] = run;
        }
        ConsoleReporter::ReportRuns(shown);
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

    double counter(const std::string &name, const std::string &key) const {
        return runs_.at(name).counters.at(key).value;
    }

private:
    // The name a benchmark was registered with, without "/repeats:3".
    static std::string nameOf(const Run &run) {
        benchmark::BenchmarkName name = run.run_name;
        name.repetitions.clear();
        return name.str();
    }

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
// takes the shortest measuring time. False on an unknown flag.
inline bool runBenchmarks(int argc, char **argv, bool smoke, ResultLog *log) {
    static char shortest[] = "--benchmark_min_time=0.000001";
    std::vector<char *> args(argv, argv + argc);
    if (smoke)
        args.insert(args.begin() + 1, shortest);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return false;
    benchmark::RunSpecifiedBenchmarks(log);
    benchmark::Shutdown();
    return true;
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
