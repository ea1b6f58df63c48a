#include "stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace plchost {

std::string formatStats(const StatsSnapshot &s) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "exchanges %llu, failures %llu, retries %llu, given up %llu, demotions %llu, "
                  "reconnects %llu, round trip p50 %.2f ms p90 %.2f ms p99 %.2f ms",
                  static_cast<unsigned long long>(s.exchanges),
                  static_cast<unsigned long long>(s.failures),
                  static_cast<unsigned long long>(s.retries),
                  static_cast<unsigned long long>(s.givenUp),
                  static_cast<unsigned long long>(s.demotions),
                  static_cast<unsigned long long>(s.reconnects), s.p50Ms, s.p90Ms, s.p99Ms);
    return line;
}

void RoundTrips::add(double ms) {
    if (samples_.size() < capacity_)
        samples_.push_back(ms);
    else
        samples_[next_] = ms;
    next_ = (next_ + 1) % capacity_;
}

double RoundTrips::percentile(double q) const {
    if (samples_.empty())
        return 0;
    std::vector<double> sorted(samples_);
    size_t rank = static_cast<size_t>(std::ceil(q * sorted.size()));
    size_t index = rank == 0 ? 0 : rank - 1;
    std::nth_element(sorted.begin(), sorted.begin() + index, sorted.end());
    return sorted[index];
}

} // namespace plchost
