#include "plc_host.h"

namespace plchost {

namespace {

const int kWriteKind = 0;
const int kReadKind = 1;
const size_t kEventCap = 4096;
const char kNotLoaded[] = "the driver plug-in is not loaded";

// The callbacks carry no host pointer, but the driver only calls them from
// ComCommunication and DataCom, that is on the loop thread of the host whose
// driver it is.
thread_local PlcHost *loopHost = nullptr;

// Cyclic blocks come from the driver's read-list template (tags 0 and -1);
// the host's own requests carry its sequence numbers from 1 up.
bool isCyclic(const RW_VAR &v) { return v.accessKind == 0 && v.hostTag1 == -1; }

std::string checkConfig(const HostConfig &c) {
    if (c.regsPerFrame < 1 || c.regsPerFrame > 123)
        return "registers per frame must be 1..123";
    if (c.retryLimit < 0 || c.timeoutMs < 1 || c.intervalMs < 0 || c.demoteAfter < 0 ||
        c.demoteMs < 0)
        return "retries, time-out, interval and demotion settings must not be negative";
    if (c.defaultStation < 0 || c.defaultStation > 255)
        return "station must be 0..255";
    if (c.port < 1 || c.port > 65535)
        return "port must be 1..65535";
    return {};
}

} // namespace

struct HostCallbacks {
    static int completion(int, int tag0, int tag1, int status) {
        if (loopHost)
            loopHost->recordCompletion(tag0, tag1, status);
        return 0;
    }
    static int notify(QList<RW_VAR>, int tag0, int flag) {
        if (loopHost)
            loopHost->recordNotify(tag0, flag);
        return 0;
    }
};

PlcHost::PlcHost(HostConfig config) : config_(std::move(config)) {}

PlcHost::~PlcHost() { stop(); }

bool PlcHost::load(std::string *error) {
    *error = checkConfig(config_);
    if (!error->empty() || !plugin_.open(config_.pluginPath, error))
        return false;
    info_ = ComInfo{};
    info_.maxRegsPerFrame = config_.regsPerFrame;
    info_.defaultStation = config_.defaultStation;
    info_.retryLimit = config_.retryLimit;
    info_.multiStation = config_.multiStation ? 1 : 0;
    info_.remoteMode = config_.remote ? 1 : 0;
    info_.localNodeId = 0;
    info_.writeMode = 2; // writes go to the PLC, not only into the local store
    info_.hostHandle = 1;
    api().SetComInfo(&info_);
    api().RegistCallBackFuncIntf(&HostCallbacks::completion, &HostCallbacks::notify);
    api().FlashLocalRegister(0, 0, 0);
    api().EnCommStation(-1, 1);
    return true;
}

std::string PlcHost::check(const Variable &v, Access access) const {
    if (!loaded())
        return kNotLoaded;
    std::string problem = checkVariable(v, access);
    if (problem.empty() && !config_.multiStation && v.station != config_.defaultStation)
        problem = "station " + std::to_string(v.station) + " needs multi-station mode";
    return problem.empty() ? problem : v.label + ": " + problem;
}

bool PlcHost::setPlan(const std::vector<Variable> &vars, std::string *error) {
    if (!loaded()) {
        *error = kNotLoaded;
        return false;
    }
    QList<HOSTVAR> list;
    for (const Variable &v : vars) {
        *error = check(v, Access::Read);
        // One station's plan is merged but never cut, so each variable must
        // fit in one request.
        if (error->empty() && !config_.multiStation && registerCount(v) > config_.regsPerFrame)
            *error = v.label + ": covers " + std::to_string(registerCount(v)) +
                     " registers, more than the " + std::to_string(config_.regsPerFrame) +
                     " of one request";
        if (!error->empty())
            return false;
        HOSTVAR h;
        h.regType = static_cast<quint8>(v.type);
        h.station = static_cast<quint8>(v.station);
        h.address = QString::fromStdString(v.address);
        h.label = QString::fromStdString(v.label);
        h.count = driverCount(v);
        list.append(h);
    }
    api().ReCreatReadVarList(&list);
    cycleDone_ = false;
    planChanged_ = true;
    wake();
    return true;
}

void PlcHost::start() {
    if (loop_.joinable() || !loaded())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    loop_ = std::thread(&PlcHost::run, this);
}

void PlcHost::stop() {
    if (!loop_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    loopCv_.notify_all();
    loop_.join();
    for (const auto &d : demotedUntil_)
        api().EnCommStation(d.first, 1);
    demotedUntil_.clear();
    link_.close();
}

RequestId PlcHost::nextId(int kind) { return {kind, ++sequence_}; }

void PlcHost::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    loopCv_.notify_all();
}

bool PlcHost::write(const Variable &target, const QByteArray &value, RequestId *id,
                    std::string *error) {
    *error = check(target, Access::Write);
    if (!error->empty())
        return false;
    *id = nextId(kWriteKind);
    int queued = api().SetRegisterData(QString::fromStdString(target.label), target.type,
                                       QString::fromStdString(target.address), target.station,
                                       value, driverCount(target), id->tag0, id->tag1);
    if (queued == 0) {
        *error = "the driver refused the write";
        return false;
    }
    wake();
    return true;
}

bool PlcHost::readOnce(const Variable &var, RequestId *id, std::string *error) {
    *error = check(var, Access::Read);
    if (!error->empty())
        return false;
    *id = nextId(kReadKind);
    RW_VAR r;
    r.hostTag0 = id->tag0;
    r.hostTag1 = id->tag1;
    r.remoteMode = info_.remoteMode;
    r.nodeId = info_.localNodeId;
    r.label = QString::fromStdString(var.label);
    r.address = QString::fromStdString(var.address);
    r.regType = var.type;
    r.station = var.station;
    r.count = driverCount(var);
    if (api().AddListOnceReadVar(&r, 0) == 0) {
        *error = "the driver refused the read";
        return false;
    }
    wake();
    return true;
}

std::vector<std::uint32_t> PlcHost::values(const Variable &var) {
    QByteArray data;
    if (!check(var, Access::Read).empty() ||
        api().GetRegisterData(nullptr, var.type, QString::fromStdString(var.address), var.station,
                              data, driverCount(var)) == 0)
        return {};
    return decodeValues(var.type, data);
}

void PlcHost::setStationEnabled(int station, bool on) {
    if (loaded())
        api().EnCommStation(station, on ? 1 : 0);
}

PlcHost::Status PlcHost::waitCompletion(RequestId id, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto key = std::make_pair(id.tag0, id.tag1);
    if (!doneCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return completions_.count(key) != 0; }))
        return Pending;
    int status = completions_[key];
    completions_.erase(key);
    return status == 1 ? Done : Failed;
}

std::vector<HostEvent> PlcHost::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {events_.begin(), events_.end()};
}

StatsSnapshot PlcHost::stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    StatsSnapshot s = stats_;
    s.p50Ms = roundTrips_.percentile(0.50);
    s.p90Ms = roundTrips_.percentile(0.90);
    s.p99Ms = roundTrips_.percentile(0.99);
    return s;
}

std::string PlcHost::lastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
}

void PlcHost::recordCompletion(int tag0, int tag1, int status) {
    unpublished_.push_back({HostEvent::Completion, tag0, tag1, status});
}

void PlcHost::recordNotify(int tag0, int flag) {
    unpublished_.push_back({HostEvent::Notify, tag0, 0, flag});
}

void PlcHost::publish() {
    if (unpublished_.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const HostEvent &e : unpublished_) {
            if (e.kind == HostEvent::Completion) {
                // A failure of any piece of a request stays the request's outcome.
                int &outcome = completions_[{e.tag0, e.tag1}];
                if (outcome != Failed)
                    outcome = e.status;
            }
            events_.push_back(e);
            if (events_.size() > kEventCap)
                events_.pop_front();
        }
    }
    unpublished_.clear();
    doneCv_.notify_all();
}

// ---- the loop thread ----

void PlcHost::run() {
    loopHost = this;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                break;
        }
        restoreDemoted();
        Protocol *p = api().ComCommunication();
        publish();
        if (!p) {
            idle(config_.intervalMs, true);
            continue;
        }
        // The frame stays pending in the driver while the loop pauses. A
        // retry is the same frame again, not the start of a new pass.
        if (isCyclic(p->var) && !retryPending_ && passCompleted(p->var))
            idle(config_.intervalMs, true);
        exchange(p);
    }
    loopHost = nullptr;
}

// A pass is over when a cyclic block comes round again. (The driver keeps
// its own cycleDone in ComInfo, but writes it under its list lock, which a
// host cannot take.)
bool PlcHost::passCompleted(const RW_VAR &block) {
    if (planChanged_.exchange(false)) {
        passBlocks_.clear();
        passFailed_ = false;
    }
    const auto key = std::make_tuple(block.station, block.regType, block.regAddr, block.count);
    if (passBlocks_.insert(key).second)
        return false;
    passBlocks_ = {key};
    cycleDone_ = !passFailed_;
    passFailed_ = false;
    return true;
}

void PlcHost::exchange(Protocol *p) {
    const int station = p->var.station;
    QByteArray reply;
    const auto start = Clock::now();
    const bool answered = transact(*p, &reply) && !reply.isEmpty();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    RW_VAR *r = api().DataCom(&reply, reply.size());
    account(station, r->result, answered ? ms : -1);
    publish();
}

// Sends the frame and collects its reply. On a time-out or a broken
// connection the connection is dropped, so that a late reply can never be
// taken for the answer to a later request: the frames carry no transaction
// number the driver would check.
bool PlcHost::transact(const Protocol &p, QByteArray *reply) {
    if (!ensureConnected())
        return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(config_.timeoutMs);
    Io io = link_.send(p.frame, deadline);
    if (io == Io::Ok && p.replyLen != 0)
        io = config_.remote && p.replyLen > 0 ? link_.receive(p.replyLen, reply, deadline)
                                              : link_.receiveModbusReply(reply, deadline);
    if (io == Io::Ok)
        return true;
    reply->clear();
    link_.close();
    return false;
}

bool PlcHost::ensureConnected() {
    if (link_.isOpen())
        return true;
    const auto start = Clock::now();
    std::string error;
    if (link_.open(config_.address, config_.port, config_.timeoutMs, &error)) {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.reconnects += connectedOnce_ ? 1 : 0;
        connectedOnce_ = true;
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastError_ = error;
    }
    // A refused connection fails at once: spend the rest of the time-out,
    // as an unanswered request would, instead of spinning.
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    idle(config_.timeoutMs - static_cast<int>(spent.count()), false);
    return false;
}

void PlcHost::account(int station, int result, double roundTripMs) {
    bool demoteNow = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.exchanges;
        if (isSuccess(result)) {
            if (roundTripMs >= 0)
                roundTrips_.add(roundTripMs);
        } else {
            ++stats_.failures;
            ++(result == 0 ? stats_.retries : stats_.givenUp);
        }
    }
    passFailed_ = passFailed_ || !isSuccess(result);
    retryPending_ = result == 0;
    if (isSuccess(result))
        consecutiveGiveUps_[station] = 0;
    else if (result != 0)
        demoteNow = ++consecutiveGiveUps_[station] >= config_.demoteAfter;
    // In single-station mode every request is the one station's: switching
    // it off would only pause everything and drop queued writes unreported.
    if (demoteNow && config_.demoteAfter > 0 && config_.multiStation)
        demote(station);
}

void PlcHost::demote(int station) {
    api().EnCommStation(station, 0);
    demotedUntil_[station] = Clock::now() + std::chrono::milliseconds(config_.demoteMs);
    consecutiveGiveUps_[station] = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.demotions;
}

void PlcHost::restoreDemoted() {
    const auto now = Clock::now();
    for (auto it = demotedUntil_.begin(); it != demotedUntil_.end();) {
        if (it->second > now) {
            ++it;
            continue;
        }
        api().EnCommStation(it->first, 1);
        it = demotedUntil_.erase(it);
    }
}

void PlcHost::idle(int ms, bool wakeable) {
    if (ms <= 0)
        return;
    std::unique_lock<std::mutex> lock(mutex_);
    loopCv_.wait_for(lock, std::chrono::milliseconds(ms),
                     [&] { return stopping_ || (wakeable && woken_); });
    if (wakeable)
        woken_ = false;
}

} // namespace plchost
