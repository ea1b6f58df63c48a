// The reference host: loads the driver plug-in, runs its communication loop
// over one TCP connection on a thread of its own, and gives other threads
// value reads, writes, one-shot reads and the quality of every polled value.
#ifndef PLCHOST_PLC_HOST_H
#define PLCHOST_PLC_HOST_H

#include "plugin.h"
#include "readings.h"
#include "stats.h"
#include "tcp_link.h"
#include "variables.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace plchost {

struct HostConfig {
    std::string pluginPath;
    std::string address = "127.0.0.1";
    int port = 502;
    int defaultStation = 1;
    bool multiStation = false; // each variable names its station
    bool remote = false;       // remote-area records instead of Modbus TCP
    int regsPerFrame = 100;    // 1..123
    int retryLimit = 2;        // failed exchanges retried before a request is given up
    int timeoutMs = 1000;      // connect and reply time-out
    int intervalMs = 100;      // pause after each pass over the cyclic plan
    int demoteAfter = 3;       // consecutive given-up requests of one station; 0 never
    int demoteMs = 5000;       // how long a demoted station stays switched off
    // Called on the loop thread: one line per request given up, per station
    // switched off or back on.
    std::function<void(const std::string &line)> report;
};

// A write or one-shot read, as the driver's callbacks name it.
struct RequestId {
    int tag0 = 0;
    int tag1 = 0;
};

// What the driver reported through a callback.
struct HostEvent {
    enum Kind { Completion, Notify } kind;
    int tag0;
    int tag1;   // Completion only
    int status; // Completion: a PlcCompletionStatus; Notify: the flag
};

// Whether the host lets requests go to a station, and when a station it
// switched off after repeated give-ups comes back.
struct StationState {
    int station = 0;
    bool on = true;
    WallClock::time_point backAt{}; // switched off: time_point::max() until switched on by hand
};

inline bool isSuccess(int result) {
    return result == PLC_RESULT_DONE || result == PLC_RESULT_REMOTE_DONE;
}

class PlcHost {
public:
    enum Status { Pending = 0, Done = 1, Failed = 2 };

    explicit PlcHost(HostConfig config);
    ~PlcHost();
    PlcHost(const PlcHost &) = delete;
    PlcHost &operator=(const PlcHost &) = delete;

    // Set-up, before start: load the plug-in and hand it the settings and callbacks.
    bool load(std::string &error);
    // Everything below does nothing (or refuses) until load() succeeded.
    // Replaces the cyclic plan; may also be called while running. Variables
    // kept from the previous plan keep their readings.
    bool setPlan(const std::vector<Variable> &vars, std::string &error);
    void start();
    // Ends within a fraction of a second, whatever exchange is in flight;
    // also switches demoted stations back on.
    void stop();

    // From any thread but the loop's, never from a callback.
    bool write(const Variable &target, const QByteArray &value, RequestId *id, std::string &error);
    bool readOnce(const Variable &var, RequestId *id, std::string &error);
    // The driver's current values (a write may have put its value there
    // before the PLC confirmed it); reading() tells what the PLC gave. The
    // bytes in the layout of GetRegisterData, or unsigned element values.
    QByteArray valueBytes(const Variable &var);
    std::vector<std::uint32_t> values(const Variable &var);
    void setStationEnabled(int station, bool on);
    // Done or Failed once the driver reported the request; Pending when no
    // exchange completed for idleTimeoutMs (choose it above the reply
    // time-out), or once the host stops.
    Status waitCompletion(RequestId id, int idleTimeoutMs);

    // A variable of the cyclic plan; NeverRead for any other.
    Reading reading(const Variable &var) const;
    // Completed passes over the cyclic plan, failed or not.
    std::uint64_t scans() const;
    // True once scans() > seen; false on time-out or stop.
    bool waitScan(std::uint64_t seen, int timeoutMs);
    // True once a whole pass over the cyclic plan went without a failure;
    // false again after a failed pass or a new plan.
    bool cycleDone() const { return cycleDone_; }
    // The stations of the cyclic plan and any switched off, by number.
    std::vector<StationState> stations() const;
    std::vector<HostEvent> events() const;
    StatsSnapshot stats() const;
    std::string lastError() const; // the latest failure's reason
    const HostConfig &config() const { return config_; }

private:
    friend struct HostCallbacks;
    struct Wire;
    struct StationChange {
        int station;
        bool on;
    };
    using Update = std::pair<size_t, Reading>;

    const PluginApi &api() const { return plugin_.api(); }
    bool loaded() const { return api().DataCom != nullptr; }
    bool check(const Variable &v, Access access, std::string &error) const;
    RequestId nextId(int kind);
    void wake();
    void report(const std::string &line) const;

    // The loop thread.
    void run();
    bool stopping() const;
    void syncPlan();
    bool exchange(const Protocol &p);
    Wire transact(const Protocol &p);
    bool ensureConnected(std::string &error);
    bool passCompleted(const RW_VAR &block);
    void reportFailure(const RW_VAR &request, int result, const std::string &why);
    void updateReadings(const RegisterRun &block, Quality outcome, const std::string &why);
    bool readGood(size_t i, const RegisterRun &block, Reading &next);
    std::string describe(const RW_VAR &request) const;
    void account(int station, int result, double roundTripMs);
    void demote(int station);
    void restoreDemoted();
    void applyStationChanges();
    void markStationOff(int station, WallClock::time_point backAt);
    void markStationOn(int station);
    void pauseFor(int ms, bool wakeable);
    void waitForWork();

    // Callbacks (driver's list lock held): record only. What they record is
    // published once the exchange is accounted for, so a waiter that sees a
    // completion also sees the statistics of the exchange that produced it.
    void recordCompletion(int tag0, int tag1, int status);
    void recordNotify(int tag0, int flag);
    void publish();
    // A request the driver refused at once, on the thread that asked.
    void publishRefusal(int tag0, int tag1, int status);
    void applyEvent(const HostEvent &e);

    const HostConfig config_;
    ComInfo info_{}; // read by the driver on every call; must outlive plugin_
    Plugin plugin_;
    StopSignal stop_;
    std::thread loop_;
    std::atomic<int> sequence_{0};
    std::atomic<bool> cycleDone_{false};

    // Loop thread only.
    TcpLink link_{&stop_};
    bool connectedOnce_ = false;
    std::shared_ptr<const Plan> loopPlan_; // the plan the loop's records below belong to
    BlockOutcomes blocks_;
    std::set<std::tuple<int, int, int, int>> passBlocks_; // blocks sent in this pass
    bool passFailed_ = false;
    bool retryPending_ = false;
    std::map<int, int> consecutiveGiveUps_;
    std::map<int, Clock::time_point> demotedUntil_;
    std::vector<HostEvent> unpublished_;

    // Shared; never held while calling into the driver or the report callback.
    mutable std::mutex mutex_;
    std::condition_variable loopCv_;
    std::condition_variable doneCv_;
    bool stopping_ = false;
    bool woken_ = false;
    std::shared_ptr<const Plan> plan_;
    std::vector<Reading> readings_; // one per variable of plan_
    std::uint64_t scans_ = 0;
    std::vector<StationChange> stationChanges_;
    std::map<int, WallClock::time_point> switchedOff_; // station -> back at
    std::map<std::pair<int, int>, int> completions_;
    std::deque<HostEvent> events_;
    StatsSnapshot stats_;
    RoundTrips roundTrips_;
    std::string lastError_;
};

} // namespace plchost

#endif
