// Shared pieces of the reliability runs: the reference host wired to the
// built plug-in, and a watchdog that ends the process when some part stops
// making progress, so that a deadlock fails the run instead of hanging it.
#ifndef RELIABILITY_SUPPORT_H
#define RELIABILITY_SUPPORT_H

#include "plc_host.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace reliability {

using Clock = std::chrono::steady_clock;

inline plchost::HostConfig hostConfig(int port) {
    plchost::HostConfig config;
    config.pluginPath = PLUGIN_PATH;
    config.port = port;
    return config;
}

// Loads the plug-in, sets the cyclic plan and starts the loop; the error, or
// an empty text.
inline std::string start(plchost::PlcHost &host, const std::vector<plchost::Variable> &plan) {
    std::string error;
    if (!host.load(error) || !host.setPlan(plan, error))
        return error.empty() ? "no reason given" : error;
    host.start();
    return {};
}

// The same variables at each of the stations.
inline std::vector<plchost::Variable> atStations(const std::vector<plchost::Variable> &kinds,
                                                 std::initializer_list<int> stations) {
    std::vector<plchost::Variable> all;
    for (int station : stations)
        for (plchost::Variable v : kinds) {
            v.station = station;
            all.push_back(v);
        }
    return all;
}

// The length of a value for v in the layout SetRegisterData takes.
inline int valueBytes(const plchost::Variable &v) {
    static const int elementBytes[] = {1, 1, 2, 4}; // by plc::ElementKind
    return v.count * elementBytes[static_cast<int>(plc::kindOf(v.type))];
}

// An integer from the environment, or `fallback`.
inline int envInt(const char *name, int fallback) {
    const char *text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}

// Samples named progress counters; when one has not moved for `stall`, it
// prints which and aborts.
class Watchdog {
public:
    struct Counter {
        std::string name;
        std::function<unsigned long()> read;
    };

    Watchdog(std::vector<Counter> counters, std::chrono::milliseconds stall)
        : counters_(std::move(counters)), stall_(stall), thread_([this] { watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

private:
    void watch() {
        std::vector<unsigned long> last(counters_.size());
        std::vector<Clock::time_point> moved(counters_.size(), Clock::now());
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return done_; })) {
            const auto now = Clock::now();
            for (size_t i = 0; i < counters_.size(); ++i) {
                const unsigned long value = counters_[i].read();
                if (value != last[i]) {
                    last[i] = value;
                    moved[i] = now;
                } else if (now - moved[i] > stall_) {
                    std::fprintf(stderr, "watchdog: no progress in %s for %lld ms (deadlock?)\n",
                                 counters_[i].name.c_str(),
                                 static_cast<long long>(stall_.count()));
                    std::abort();
                }
            }
        }
    }

    const std::vector<Counter> counters_;
    const std::chrono::milliseconds stall_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_; // last: starts once the members above exist
};

} // namespace reliability

#endif
