// The live view: a small HTTP server that shows a polling host in a web
// browser. It serves one self-contained page (no internet needed) and a
// read-only JSON API, both from the latest published snapshot of the
// variables, their quality and trends, the link's statistics and the
// stations. Publishing swaps one pointer under a mutex and the HTTP threads
// only read what was published, so a slow or vanished browser never holds
// up whoever polls.
#ifndef PLCHOST_LIVE_VIEW_H
#define PLCHOST_LIVE_VIEW_H

#include "plc_host.h"

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plchost {

// A variable's value texts ("517", "-3", "0x1F", "3.25", "nan"), one per
// shown value, from its bytes in the layout of GetRegisterData.
using ValueFormatter =
    std::function<std::vector<std::string>(const Variable &v, const QByteArray &data)>;

struct VariableView {
    Variable variable;
    Quality quality = Quality::NeverRead;
    std::vector<std::string> values; // of the last good read; none when never read
    WallClock::time_point lastGood{};
    std::string reason; // why stale or failed
};

struct StationView {
    enum State { On, Failing, Off };
    int station = 0;
    State state = On;
    WallClock::time_point backAt{}; // Off: when the host switches it back on (max: by hand only)
    std::string reason;             // Failing: why its values are not good
};

// One moment of a host, never changed once taken.
struct ViewSnapshot {
    WallClock::time_point taken{};
    std::string plc; // "address:port"
    int intervalMs = 0;
    std::uint64_t scan = 0; // completed passes over the cyclic plan
    std::vector<VariableView> variables;
    StatsSnapshot stats;
    std::vector<StationView> stations;
};

// `vars` are variables of the host's cyclic plan. A station counts as
// failing when none of its values is good and one was given up or went
// stale; a station that answers but refuses one address stays on, and the
// refused variable shows it.
ViewSnapshot takeSnapshot(const PlcHost &host, const std::vector<Variable> &vars,
                          const ValueFormatter &format);

class LiveView {
public:
    LiveView();
    ~LiveView(); // stops following, then serving
    LiveView(const LiveView &) = delete;
    LiveView &operator=(const LiveView &) = delete;

    // Starts serving at "[ADDRESS:]PORT" (ADDRESS 127.0.0.1 unless given;
    // an IPv6 address in brackets; PORT 0 picks a free port) on threads of
    // its own; false with a message when the text is bad or the port taken.
    bool serve(const std::string &addressPort, std::string &error);
    std::string url() const; // "http://127.0.0.1:8080/" once serving

    // Shows `snapshot` from now on; a snapshot of a new scan also adds a
    // point to the trends, which cover the last few minutes.
    void publish(ViewSnapshot snapshot);
    // Publishes after every completed scan of `host`, at most ten times a
    // second (and at least every fraction of a second, so statistics stay
    // fresh when no scan completes), from a thread of its own, and once more
    // when it stops; `host` must outlive this view.
    void follow(PlcHost &host, std::vector<Variable> vars, ValueFormatter format);

private:
    struct Impl; // keeps the HTTP library out of this header
    std::unique_ptr<Impl> impl_;
};

} // namespace plchost

#endif
