#include "readings.h"

#include "register_types.h"

#include <algorithm>
#include <climits>

namespace plchost {

const char *qualityName(Quality q) {
    switch (q) {
    case Quality::NeverRead: return "never read";
    case Quality::Good: return "good";
    case Quality::Stale: return "stale";
    case Quality::Failed: return "failed";
    }
    return "?";
}

Plan::Plan(const std::vector<Variable> &vars) : vars_(vars) {
    runs_.reserve(vars_.size());
    for (size_t i = 0; i < vars_.size(); ++i) {
        const Variable &v = vars_[i];
        runs_.push_back({v.station, plc::areaOf(v.type), firstRegister(v), registerCount(v)});
        index_.emplace(Key{v.station, v.type, v.address, driverCount(v)}, i);
        Group &g = groups_[{v.station, runs_[i].area}];
        g.byFirst.push_back(i);
        g.longest = std::max(g.longest, runs_[i].count);
    }
    for (auto &entry : groups_)
        std::stable_sort(entry.second.byFirst.begin(), entry.second.byFirst.end(),
                         [&](size_t a, size_t b) { return runs_[a].first < runs_[b].first; });
}

bool Plan::find(const Variable &v, size_t *index) const {
    const auto it = index_.find(Key{v.station, v.type, v.address, driverCount(v)});
    if (it == index_.end())
        return false;
    *index = it->second;
    return true;
}

std::vector<size_t> Plan::overlapping(const RegisterRun &block) const {
    std::vector<size_t> found;
    const auto g = groups_.find({block.station, block.area});
    if (g == groups_.end())
        return found;
    const std::vector<size_t> &order = g->second.byFirst;
    // No variable starting before this can reach the block.
    const long long earliest = static_cast<long long>(block.first) - g->second.longest + 1;
    auto it = std::lower_bound(order.begin(), order.end(), earliest,
                               [&](size_t i, long long first) { return runs_[i].first < first; });
    for (; it != order.end() && runs_[*it].first < block.end(); ++it)
        if (runs_[*it].end() > block.first)
            found.push_back(*it);
    return found;
}

void BlockOutcomes::record(const RegisterRun &block, bool good, WallClock::time_point at) {
    blocks_[{block.station, block.area, block.first}] = {block.count, good, at};
}

bool BlockOutcomes::allGood(const RegisterRun &run, WallClock::time_point *since) const {
    // Walk the blocks of the run's station and area in address order, each
    // good one extending the registers known up to `reached`.
    int reached = run.first;
    bool any = false;
    auto it = blocks_.lower_bound({run.station, run.area, INT_MIN});
    for (; it != blocks_.end() && reached < run.end(); ++it) {
        const int station = std::get<0>(it->first), area = std::get<1>(it->first);
        const int first = std::get<2>(it->first);
        if (station != run.station || area != run.area || first > reached)
            break;
        const Outcome &o = it->second;
        if (first + o.count <= run.first || !o.good)
            continue;
        if (first + o.count > reached)
            reached = first + o.count;
        *since = any ? std::min(*since, o.at) : o.at;
        any = true;
    }
    return reached >= run.end();
}

} // namespace plchost
