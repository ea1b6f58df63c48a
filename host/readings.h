// What the host knows of each variable of its cyclic plan: whether the PLC
// gave its value, when it last did, and why it has not since.
#ifndef PLCHOST_READINGS_H
#define PLCHOST_READINGS_H

#include "variables.h"

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace plchost {

using WallClock = std::chrono::system_clock;

enum class Quality {
    NeverRead, // no value yet: nothing is shown, never a 0
    Good,      // the latest exchange of every block holding it succeeded
    Stale,     // a block's latest exchange failed (retry pending) or the station is off
    Failed     // a block's request was given up
};
const char *qualityName(Quality q); // "never read", "good", "stale", "failed"

struct Reading {
    Quality quality = Quality::NeverRead;
    QByteArray data; // value bytes (GetRegisterData layout) of the last good read; empty when never read
    WallClock::time_point lastGood{}; // wall-clock time of the last good read
    std::string reason; // why stale or failed; empty when good or never read
};

// A run of registers of one area at one station, as a cyclic block or a
// variable covers it.
struct RegisterRun {
    int station = 0;
    int area = 0;
    int first = 0;
    int count = 0;
    int end() const { return first + count; }
};

// The cyclic plan in register terms. Built once per plan and never changed,
// so the loop and the threads asking for readings can share it.
class Plan {
public:
    explicit Plan(const std::vector<Variable> &vars); // variables already checked
    size_t size() const { return vars_.size(); }
    const Variable &variable(size_t i) const { return vars_[i]; }
    const RegisterRun &run(size_t i) const { return runs_[i]; }
    // The index of a variable with the same type, address, count and station; false if none.
    bool find(const Variable &v, size_t *index) const;
    // The variables that share a register with `block`.
    std::vector<size_t> overlapping(const RegisterRun &block) const;

private:
    using Key = std::tuple<int, int, std::string, int>; // station, type, address, driver count
    std::vector<Variable> vars_;
    std::vector<RegisterRun> runs_;
    std::map<Key, size_t> index_;
    // By station and area: variable indices in order of first register, and
    // the longest variable, which bounds how far back an overlap can start.
    struct Group {
        std::vector<size_t> byFirst;
        int longest = 0;
    };
    std::map<std::pair<int, int>, Group> groups_;
};

// The outcome of the latest exchange of each cyclic block. In multi-station
// mode the driver cuts long variables over several blocks; such a variable
// counts as read only once every piece of it was.
class BlockOutcomes {
public:
    void record(const RegisterRun &block, bool good, WallClock::time_point at);
    // True when every register of `run` lies in a block whose latest exchange
    // succeeded; *since is then the time of the oldest of those exchanges.
    bool allGood(const RegisterRun &run, WallClock::time_point *since) const;
    void clear() { blocks_.clear(); }

private:
    struct Outcome {
        int count;
        bool good;
        WallClock::time_point at;
    };
    std::map<std::tuple<int, int, int>, Outcome> blocks_; // station, area, first register
};

} // namespace plchost

#endif
