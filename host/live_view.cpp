#include "live_view.h"

#include "text_encoding.h"

#include "live_view_assets.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>
#include <tuple>

namespace plchost {

namespace {

using std::chrono::milliseconds;

// The trends cover this long, within a bound on the numbers kept (16 MB).
const auto kTrendSpan = std::chrono::minutes(5);
const size_t kTrendNumberCap = 2'000'000;
const size_t kTrendValuesPerVariable = 16; // a word's bits
// How long the follower waits for a scan before it publishes anyway.
const int kFollowWaitMs = 250;
// The shortest time between two snapshots. A host polling without a pause
// completes thousands of scans a second, while the page looks four times a
// second: ten snapshots a second show all it can show, and building one per
// scan would take the processor from the polling thread.
const auto kMinPublishSpacing = milliseconds(100);

// The page may load nothing from elsewhere, nor run anything but its own files.
const char kContentPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

struct TrendFrame {
    std::uint64_t scan = 0;
    WallClock::time_point time{};
    std::vector<double> numbers;     // the variables' numbers, one variable after the other
    std::vector<std::uint32_t> ends; // where each variable's numbers end; none: not good
};

// ---- JSON ----

void appendNumber(std::string &out, double v) {
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", v);
    out += text;
}

// -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)? (std::regex draws false
// warnings from GCC 12 in sanitizer builds)
bool isJsonNumber(const std::string &t) {
    size_t i = t.rfind('-', 0) == 0 ? 1 : 0;
    auto digits = [&] {
        const size_t from = i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9')
            ++i;
        return i - from;
    };
    const size_t whole = digits();
    if (whole == 0 || (whole > 1 && t[i - whole] == '0'))
        return false;
    if (i < t.size() && t[i] == '.' && (++i, digits() == 0))
        return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        i += i < t.size() && (t[i] == '+' || t[i] == '-');
        if (digits() == 0)
            return false;
    }
    return i == t.size();
}

// A value text that is a JSON number goes out as one, any other (hex, nan) as a string.
void appendValue(std::string &out, const std::string &text) {
    if (isJsonNumber(text))
        out += text;
    else
        out += jsonString(text);
}

long long epochMs(WallClock::time_point t) {
    return std::chrono::duration_cast<milliseconds>(t.time_since_epoch()).count();
}

void appendTime(std::string &out, WallClock::time_point t) {
    out += '"' + isoTime(t) + '"';
}

const char *stateName(StationView::State s) {
    return s == StationView::On ? "on" : s == StationView::Failing ? "failing" : "switched off";
}

// ---- the view's documents ----

bool everGood(const VariableView &v) { return v.lastGood != WallClock::time_point{}; }

std::string valuesJson(const ViewSnapshot &s, std::uint64_t plan, WallClock::time_point now) {
    std::string out = "{\"time\":";
    appendTime(out, now);
    out += ",\"plc\":";
    out += jsonString(s.plc);
    out += ",\"interval_ms\":" + std::to_string(s.intervalMs) + ",\"scan\":" +
           std::to_string(s.scan) + ",\"plan\":" + std::to_string(plan) + ",\"variables\":[";
    for (size_t i = 0; i < s.variables.size(); ++i) {
        const VariableView &v = s.variables[i];
        out += i ? ",{\"label\":" : "{\"label\":";
        out += jsonString(v.variable.label);
        out += ",\"type\":\"" + std::string(typeName(v.variable.type)) + "\",\"station\":" +
               std::to_string(v.variable.station) + ",\"address\":";
        out += jsonString(v.variable.address);
        out += ",\"count\":" + std::to_string(v.variable.count) + ",\"quality\":\"" +
               qualityName(v.quality) + "\",\"values\":[";
        for (size_t k = 0; k < v.values.size(); ++k) {
            out += k ? "," : "";
            appendValue(out, v.values[k]);
        }
        out += "],\"last_good\":";
        if (everGood(v)) {
            appendTime(out, v.lastGood);
            out += ",\"age_ms\":" + std::to_string(epochMs(now) - epochMs(v.lastGood));
        } else {
            out += "null,\"age_ms\":null";
        }
        out += ",\"reason\":";
        if (v.reason.empty())
            out += "null";
        else
            out += jsonString(v.reason);
        out += '}';
    }
    return out + "]}";
}

std::string statsJson(const ViewSnapshot &s, WallClock::time_point now) {
    const StatsSnapshot &t = s.stats;
    std::string out = "{\"time\":";
    appendTime(out, now);
    out += ",\"scan\":" + std::to_string(s.scan) + ",\"exchanges\":" +
           std::to_string(t.exchanges) + ",\"failures\":" + std::to_string(t.failures) +
           ",\"retries\":" + std::to_string(t.retries) + ",\"given_up\":" +
           std::to_string(t.givenUp) + ",\"reconnects\":" + std::to_string(t.reconnects) +
           ",\"demotions\":" + std::to_string(t.demotions) + ",\"round_trip_ms\":{";
    const char *names[] = {"\"p50\":", ",\"p90\":", ",\"p99\":"};
    const double times[] = {t.p50Ms, t.p90Ms, t.p99Ms};
    for (int i = 0; i < 3; ++i) {
        out += names[i];
        appendNumber(out, std::round(times[i] * 1000) / 1000); // to the microsecond
    }
    out += "},\"stations\":[";
    for (size_t i = 0; i < s.stations.size(); ++i) {
        const StationView &st = s.stations[i];
        out += (i ? ",{\"station\":" : "{\"station\":") + std::to_string(st.station) +
               ",\"state\":\"" + stateName(st.state) + '"';
        if (st.state == StationView::Off && st.backAt != WallClock::time_point::max()) {
            out += ",\"back_at\":";
            appendTime(out, st.backAt);
            out += ",\"back_in_ms\":" +
                   std::to_string(std::max(0LL, epochMs(st.backAt) - epochMs(now)));
        }
        if (!st.reason.empty()) {
            out += ",\"reason\":";
            out += jsonString(st.reason);
        }
        out += '}';
    }
    return out + "]}";
}

// [[scan, epoch ms, [numbers of variable 0] or null, ...], ...]
std::string trendJson(std::uint64_t plan,
                      const std::vector<std::shared_ptr<const TrendFrame>> &frames) {
    std::string out = "{\"plan\":" + std::to_string(plan) + ",\"frames\":[";
    for (size_t f = 0; f < frames.size(); ++f) {
        const TrendFrame &frame = *frames[f];
        out += (f ? ",[" : "[") + std::to_string(frame.scan) + ',' +
               std::to_string(epochMs(frame.time));
        for (size_t i = 0, begin = 0; i < frame.ends.size(); begin = frame.ends[i++]) {
            if (frame.ends[i] == begin) {
                out += ",null";
                continue;
            }
            out += ",[";
            for (size_t k = begin; k < frame.ends[i]; ++k) {
                out += k > begin ? "," : "";
                appendNumber(out, frame.numbers[k]);
            }
            out += ']';
        }
        out += ']';
    }
    return out + "]}";
}

// ---- trends ----

// A value text as a number: decimal, 0x hexadecimal, 0b binary, nan or inf.
double numberOf(const std::string &text) {
    const bool binary = text.rfind("0b", 0) == 0;
    const char *begin = text.c_str() + (binary ? 2 : 0);
    char *end = nullptr;
    const double v = binary ? static_cast<double>(std::strtoull(begin, &end, 2))
                            : std::strtod(begin, &end);
    return end != begin && *end == '\0' ? v : std::nan("");
}

std::shared_ptr<const TrendFrame> trendFrame(const ViewSnapshot &s) {
    auto frame = std::make_shared<TrendFrame>();
    frame->scan = s.scan;
    frame->time = s.taken;
    for (const VariableView &v : s.variables) {
        if (v.quality == Quality::Good) {
            const size_t n = std::min(v.values.size(), kTrendValuesPerVariable);
            for (size_t k = 0; k < n; ++k)
                frame->numbers.push_back(numberOf(v.values[k]));
        }
        frame->ends.push_back(static_cast<std::uint32_t>(frame->numbers.size()));
    }
    return frame;
}

bool samePlan(const ViewSnapshot &a, const ViewSnapshot &b) {
    auto key = [](const VariableView &v) {
        const Variable &x = v.variable;
        return std::tie(x.label, x.type, x.address, x.count, x.station);
    };
    auto same = [&](const VariableView &x, const VariableView &y) { return key(x) == key(y); };
    return std::equal(a.variables.begin(), a.variables.end(), b.variables.begin(),
                      b.variables.end(), same);
}

// ---- serving ----

// "8080", "0.0.0.0:8080", "[::1]:8080"
bool parseAddressPort(const std::string &text, std::string &address, int &port,
                      std::string &error) {
    const size_t colon = text.rfind(':');
    const std::string digits = colon == std::string::npos ? text : text.substr(colon + 1);
    address = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    const bool bracketed = address.size() > 2 && address.front() == '[' && address.back() == ']';
    if (bracketed)
        address = address.substr(1, address.size() - 2);
    if (address.empty() || (!bracketed && address.find_first_of(":[]") != std::string::npos) ||
        digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > 65535) {
        error = "needs [ADDRESS:]PORT, PORT 0..65535, not '" + text + "'";
        return false;
    }
    port = std::stoi(digits);
    return true;
}

bool isLoopback(const std::string &address) {
    return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}

// The Host header without its port: "localhost", "127.0.0.1", "[::1]".
std::string hostName(const std::string &header) {
    const size_t colon = header.rfind(':');
    const bool hasPort = colon != std::string::npos && header.find(']', colon) == std::string::npos;
    return hasPort ? header.substr(0, colon) : header;
}

// Routes are regular expressions: a file name's dots match only dots.
std::string routePattern(const std::string &path) {
    std::string pattern;
    for (char c : path)
        pattern += c == '.' ? std::string("\\.") : std::string(1, c);
    return pattern;
}

const char *contentType(const std::string &path) {
    auto endsWith = [&](const char *suffix) {
        const std::string s = suffix;
        return path.size() >= s.size() && path.compare(path.size() - s.size(), s.size(), s) == 0;
    };
    return endsWith(".html") ? "text/html; charset=utf-8"
           : endsWith(".css") ? "text/css; charset=utf-8"
                              : "text/javascript; charset=utf-8";
}

} // namespace

ViewSnapshot takeSnapshot(const PlcHost &host, const std::vector<Variable> &vars,
                          const ValueFormatter &format) {
    ViewSnapshot s;
    s.scan = host.scans();
    s.taken = WallClock::now();
    s.plc = host.config().address + ":" + std::to_string(host.config().port);
    s.intervalMs = host.config().intervalMs;
    s.stats = host.stats();
    for (const Variable &v : vars) {
        Reading r = host.reading(v);
        s.variables.push_back({v, r.quality, r.data.isEmpty() ? std::vector<std::string>{}
                                                             : format(v, r.data),
                               r.lastGood, std::move(r.reason)});
    }
    for (const StationState &station : host.stations()) {
        StationView view{station.station, station.on ? StationView::On : StationView::Off,
                         station.backAt, {}};
        bool anyGood = false;
        const VariableView *notGood = nullptr;
        for (const VariableView &v : s.variables) {
            if (v.variable.station != station.station)
                continue;
            anyGood = anyGood || v.quality == Quality::Good;
            if (!notGood && (v.quality == Quality::Stale || v.quality == Quality::Failed))
                notGood = &v;
        }
        if (station.on && !anyGood && notGood) {
            view.state = StationView::Failing;
            view.reason = notGood->reason;
        }
        s.stations.push_back(view);
    }
    return s;
}

struct LiveView::Impl {
    httplib::Server server;
    std::thread listener;
    std::atomic<bool> listening{false};
    std::string address;
    int port = 0;

    std::mutex mutex; // guards the published state below
    std::shared_ptr<const ViewSnapshot> latest = std::make_shared<ViewSnapshot>();
    std::deque<std::shared_ptr<const TrendFrame>> trend;
    size_t trendNumbers = 0;
    std::uint64_t plan = 0; // counts changes of the variable list

    std::thread follower;
    std::mutex followMutex;
    std::condition_variable followCv;
    bool stopFollowing = false;

    std::pair<std::shared_ptr<const ViewSnapshot>, std::uint64_t> current() {
        std::lock_guard<std::mutex> lock(mutex);
        return {latest, plan};
    }

    std::string trendSince(std::uint64_t scan) {
        std::vector<std::shared_ptr<const TrendFrame>> frames;
        std::uint64_t planNow;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto newer = [](std::uint64_t s, const std::shared_ptr<const TrendFrame> &f) {
                return s < f->scan;
            };
            frames.assign(std::upper_bound(trend.begin(), trend.end(), scan, newer), trend.end());
            planNow = plan;
        }
        return trendJson(planNow, frames);
    }

    // A loopback-only server answers only requests made to a loopback
    // name, so a web page whose own name was pointed at 127.0.0.1 (DNS
    // rebinding) cannot read the values.
    bool hostAllowed(const httplib::Request &request) const {
        if (!isLoopback(address))
            return true;
        const std::string name = hostName(request.get_header_value("Host"));
        return name == "localhost" || name == "[::1]" || name.rfind("127.", 0) == 0;
    }

    void routes() {
        server.set_default_headers({{"Content-Security-Policy", kContentPolicy},
                                    {"X-Content-Type-Options", "nosniff"},
                                    {"Referrer-Policy", "no-referrer"},
                                    {"Cache-Control", "no-store"}});
        server.set_pre_routing_handler([this](const httplib::Request &request,
                                              httplib::Response &response) {
            if (hostAllowed(request))
                return httplib::Server::HandlerResponse::Unhandled;
            response.status = 403;
            response.set_content("unexpected Host header\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        });
        for (size_t i = 0; i < kLiveViewAssetCount; ++i) {
            const LiveViewAsset &asset = kLiveViewAssets[i];
            auto handler = [&asset](const httplib::Request &, httplib::Response &response) {
                response.set_content(reinterpret_cast<const char *>(asset.data), asset.size,
                                     contentType(asset.path));
            };
            server.Get(routePattern(asset.path), handler);
            if (std::string(asset.path) == "/index.html")
                server.Get("/", handler);
        }
        const char *json = "application/json";
        server.Get("/api/values", [this, json](const httplib::Request &, httplib::Response &res) {
            auto [snapshot, planNow] = current();
            res.set_content(valuesJson(*snapshot, planNow, WallClock::now()), json);
        });
        server.Get("/api/stats", [this, json](const httplib::Request &, httplib::Response &res) {
            res.set_content(statsJson(*current().first, WallClock::now()), json);
        });
        server.Get("/api/trend", [this, json](const httplib::Request &req, httplib::Response &res) {
            const std::string since = req.get_param_value("since");
            res.set_content(trendSince(std::strtoull(since.c_str(), nullptr, 10)), json);
        });
    }

    void publish(ViewSnapshot snapshot) {
        auto next = std::make_shared<const ViewSnapshot>(std::move(snapshot));
        std::lock_guard<std::mutex> lock(mutex);
        if (!samePlan(*latest, *next)) {
            ++plan;
            trend.clear();
            trendNumbers = 0;
        }
        if (trend.empty() || next->scan > trend.back()->scan) {
            trend.push_back(trendFrame(*next));
            trendNumbers += trend.back()->numbers.size();
        }
        while (trend.size() > 1 && (next->taken - trend.front()->time > kTrendSpan ||
                                    trendNumbers > kTrendNumberCap)) {
            trendNumbers -= trend.front()->numbers.size();
            trend.pop_front();
        }
        latest = std::move(next);
    }

    // Waits for the next scan, not before `earliest`, or a little while;
    // false once told to stop.
    bool nextScan(PlcHost &host, std::uint64_t seen, Clock::time_point earliest) {
        {
            std::unique_lock<std::mutex> lock(followMutex);
            if (followCv.wait_until(lock, earliest, [&] { return stopFollowing; }))
                return false;
        }
        const auto start = Clock::now();
        // Only a stopped host makes waitScan return false before the time-out.
        const bool hostStopped = !host.waitScan(seen, kFollowWaitMs) &&
                                 Clock::now() - start < milliseconds(kFollowWaitMs);
        std::unique_lock<std::mutex> lock(followMutex);
        if (hostStopped) // pause instead of spinning
            followCv.wait_for(lock, milliseconds(kFollowWaitMs), [&] { return stopFollowing; });
        return !stopFollowing;
    }

    void stopFollower() {
        if (!follower.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(followMutex);
            stopFollowing = true;
        }
        followCv.notify_all();
        follower.join();
    }
};

LiveView::LiveView() : impl_(std::make_unique<Impl>()) {}

LiveView::~LiveView() {
    impl_->stopFollower();
    if (impl_->listener.joinable()) {
        // stop() only reaches a server that is already running.
        while (impl_->listening && !impl_->server.is_running())
            std::this_thread::yield();
        impl_->server.stop();
        impl_->listener.join();
    }
}

bool LiveView::serve(const std::string &addressPort, std::string &error) {
    Impl &d = *impl_;
    if (d.listener.joinable()) {
        error = "already serving";
        return false;
    }
    if (!parseAddressPort(addressPort, d.address, d.port, error))
        return false;
    d.routes();
    if (d.port == 0)
        d.port = d.server.bind_to_any_port(d.address);
    else if (!d.server.bind_to_port(d.address, d.port))
        d.port = -1;
    if (d.port < 0) {
        error = "cannot serve at " + addressPort + " (address unknown or port in use)";
        return false;
    }
    d.listening = true;
    d.listener = std::thread([&d] {
        d.server.listen_after_bind();
        d.listening = false;
    });
    return true;
}

std::string LiveView::url() const {
    const std::string &a = impl_->address;
    const std::string host = a == "0.0.0.0" ? "127.0.0.1"
                             : a == "::"    ? "[::1]"
                             : a.find(':') != std::string::npos ? "[" + a + "]"
                                                                : a;
    return "http://" + host + ":" + std::to_string(impl_->port) + "/";
}

void LiveView::publish(ViewSnapshot snapshot) { impl_->publish(std::move(snapshot)); }

void LiveView::follow(PlcHost &host, std::vector<Variable> vars, ValueFormatter format) {
    impl_->stopFollower();
    impl_->stopFollowing = false;
    auto follow = [this, &host, vars = std::move(vars), format = std::move(format)] {
        std::uint64_t seen;
        Clock::time_point published;
        do {
            published = Clock::now();
            seen = host.scans();
            publish(takeSnapshot(host, vars, format));
        } while (impl_->nextScan(host, seen, published + kMinPublishSpacing));
        publish(takeSnapshot(host, vars, format));
    };
    impl_->follower = std::thread(std::move(follow));
}

} // namespace plchost
