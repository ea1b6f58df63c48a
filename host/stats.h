// Exchange statistics of the reference host.
#ifndef PLCHOST_STATS_H
#define PLCHOST_STATS_H

#include <cstdint>
#include <string>
#include <vector>

namespace plchost {

struct StatsSnapshot {
    std::uint64_t exchanges = 0;  // frames sent and handed back to the driver
    std::uint64_t failures = 0;   // exchanges the driver judged failed (retried or given up)
    std::uint64_t retries = 0;    // failures with a retry still pending (result 0)
    std::uint64_t givenUp = 0;    // failures that ended a request (any other failure code)
    std::uint64_t demotions = 0;  // stations switched off for a while after repeated give-ups
    std::uint64_t reconnects = 0; // connections opened after the first one
    double p50Ms = 0, p90Ms = 0, p99Ms = 0; // round trips of answered exchanges
};

std::string formatStats(const StatsSnapshot &s);

// The most recent round-trip times, for percentiles.
class RoundTrips {
public:
    explicit RoundTrips(size_t capacity = 4096) : capacity_(capacity) {}
    void add(double ms);
    // Nearest-rank percentile (0 < q <= 1) of the samples held; 0 when empty.
    double percentile(double q) const;

private:
    size_t capacity_;
    size_t next_ = 0;
    std::vector<double> samples_;
};

} // namespace plchost

#endif
