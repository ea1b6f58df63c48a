#include "plc_host.h"

#include "exchange_text.h"
#include "modbus_protocol.h"

namespace plchost {

namespace {

const int kWriteKind = 0;
const int kReadKind = 1;
const size_t kEventCap = 4096;
const char kNotLoaded[] = "the driver plug-in is not loaded";

// The callbacks carry no host pointer. The driver calls them from
// ComCommunication and DataCom, that is on the loop thread of the host whose
// driver it is; and it reports a write or one-shot read that its full queue
// refuses at once, on the thread that asked, with the host's handle.
thread_local PlcHost *loopHost = nullptr;
std::mutex hostsMutex;
std::map<int, PlcHost *> hostOfHandle;
int lastHandle = 0;

// Cyclic blocks come from the driver's read-list template (tags 0 and -1);
// the host's own requests carry its sequence numbers from 1 up.
bool isCyclic(const RW_VAR &v) { return v.accessKind == PLC_ACCESS_READ && v.hostTag1 == -1; }

bool checkConfig(const HostConfig &c, std::string &error) {
    if (c.regsPerFrame < 1 || c.regsPerFrame > modbus::kMaxWriteRegisters)
        error = "registers per frame must be 1.." + std::to_string(modbus::kMaxWriteRegisters);
    else if (c.retryLimit < 0 || c.timeoutMs < 1 || c.intervalMs < 0 || c.demoteAfter < 0 ||
             c.demoteMs < 0)
        error = "retries, time-out, interval and demotion settings must not be negative";
    else if (c.defaultStation < 0 || c.defaultStation > modbus::kMaxUnitId)
        error = "station must be 0.." + std::to_string(modbus::kMaxUnitId);
    else if (c.port < 1 || c.port > 65535)
        error = "port must be 1..65535";
    else
        return true;
    return false;
}

// A value that was good is no longer kept up to date; a never-read one
// stays never read, a failed one failed.
void makeStale(Reading &r, const std::string &why) {
    if (r.quality == Quality::Good || r.quality == Quality::Stale) {
        r.quality = Quality::Stale;
        r.reason = why;
    }
}

// What an exchange's outcome makes of a reading.
void merge(Reading &r, Reading next) {
    switch (next.quality) {
    case Quality::Good:
        r = std::move(next);
        break;
    case Quality::Failed: // keeps the bytes and time of the last good read
        r.quality = Quality::Failed;
        r.reason = next.reason;
        break;
    default:
        makeStale(r, next.reason);
    }
}

} // namespace

struct HostCallbacks {
    static int completion(int handle, int tag0, int tag1, int status) {
        if (loopHost) {
            loopHost->recordCompletion(tag0, tag1, status);
            return 0;
        }
        std::lock_guard<std::mutex> lock(hostsMutex);
        const auto host = hostOfHandle.find(handle);
        if (host != hostOfHandle.end())
            host->second->publishRefusal(tag0, tag1, status);
        return 0;
    }
    static int notify(QList<RW_VAR>, int tag0, int flag) {
        if (loopHost)
            loopHost->recordNotify(tag0, flag);
        return 0;
    }
};

// One exchange as the loop saw it on the wire.
struct PlcHost::Wire {
    Io io = Io::Ok;
    QByteArray reply;
    std::string problem; // what went wrong on the wire; empty when a whole reply came
};

PlcHost::PlcHost(HostConfig config) : config_(std::move(config)) {
    std::lock_guard<std::mutex> lock(hostsMutex);
    info_.hostHandle = ++lastHandle;
    hostOfHandle[info_.hostHandle] = this;
}

PlcHost::~PlcHost() {
    stop();
    std::lock_guard<std::mutex> lock(hostsMutex);
    hostOfHandle.erase(info_.hostHandle);
}

bool PlcHost::load(std::string &error) {
    if (!checkConfig(config_, error) || !plugin_.open(config_.pluginPath, &error))
        return false;
    const int handle = info_.hostHandle;
    info_ = ComInfo{};
    info_.hostHandle = handle;
    info_.maxRegsPerFrame = config_.regsPerFrame;
    info_.defaultStation = config_.defaultStation;
    info_.retryLimit = config_.retryLimit;
    info_.multiStation = config_.multiStation ? 1 : 0;
    info_.remoteMode = config_.remote ? 1 : 0;
    info_.localNodeId = 0;
    info_.writeMode = PLC_WRITE_TO_PLC;
    api().SetComInfo(&info_);
    api().RegistCallBackFuncIntf(&HostCallbacks::completion, &HostCallbacks::notify);
    api().FlashLocalRegister(0, 0, 0);
    api().EnCommStation(-1, PLC_STATION_ON);
    return true;
}

bool PlcHost::check(const Variable &v, Access access, std::string &error) const {
    if (!loaded()) {
        error = kNotLoaded;
        return false;
    }
    std::string problem;
    if (checkVariable(v, access, config_.multiStation, problem) &&
        (config_.multiStation || v.station == config_.defaultStation))
        return true;
    if (problem.empty())
        problem = "station " + std::to_string(v.station) + " needs multi-station mode";
    error = v.label + ": " + problem;
    return false;
}

bool PlcHost::setPlan(const std::vector<Variable> &vars, std::string &error) {
    if (!loaded()) {
        error = kNotLoaded;
        return false;
    }
    QList<HOSTVAR> list;
    for (const Variable &v : vars) {
        if (!check(v, Access::Read, error))
            return false;
        // One station's plan is merged but never cut, so each variable must
        // fit in one request.
        if (!config_.multiStation && registerCount(v) > config_.regsPerFrame) {
            error = v.label + ": covers " + std::to_string(registerCount(v)) +
                    " registers, more than the " + std::to_string(config_.regsPerFrame) +
                    " of one request";
            return false;
        }
        HOSTVAR h;
        h.regType = static_cast<quint8>(v.type);
        h.station = static_cast<quint8>(v.station);
        h.address = QString::fromStdString(v.address);
        h.label = QString::fromStdString(v.label);
        h.count = driverCount(v);
        list.append(h);
    }
    auto plan = std::make_shared<const Plan>(vars);
    // Which old reading each kept variable takes over, worked out before
    // the lock is taken: the old plan never changes.
    std::shared_ptr<const Plan> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old = plan_;
    }
    std::vector<std::pair<size_t, size_t>> kept;
    for (size_t i = 0, j; old && i < plan->size(); ++i)
        if (old->find(plan->variable(i), &j))
            kept.emplace_back(i, j);
    api().ReCreatReadVarList(&list);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Reading> readings(plan->size());
        if (plan_ == old)
            for (const auto &k : kept)
                readings[k.first] = readings_[k.second];
        plan_ = plan;
        readings_.swap(readings);
        woken_ = true;
    }
    cycleDone_ = false;
    loopCv_.notify_all();
    return true;
}

void PlcHost::start() {
    if (loop_.joinable() || !loaded())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    stop_.clear();
    loop_ = std::thread(&PlcHost::run, this);
}

void PlcHost::stop() {
    if (!loop_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stop_.raise();
    loopCv_.notify_all();
    doneCv_.notify_all();
    loop_.join();
    for (const auto &d : demotedUntil_) {
        api().EnCommStation(d.first, PLC_STATION_ON);
        markStationOn(d.first);
    }
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

void PlcHost::report(const std::string &line) const {
    if (config_.report)
        config_.report(line);
}

bool PlcHost::write(const Variable &target, const QByteArray &value, RequestId *id,
                    std::string &error) {
    if (!check(target, Access::Write, error))
        return false;
    *id = nextId(kWriteKind);
    int queued = api().SetRegisterData(QString::fromStdString(target.label), target.type,
                                       QString::fromStdString(target.address), target.station,
                                       value, driverCount(target), id->tag0, id->tag1);
    if (queued == 0) {
        error = "the driver refused the write";
        return false;
    }
    wake();
    return true;
}

bool PlcHost::readOnce(const Variable &var, RequestId *id, std::string &error) {
    if (!check(var, Access::Read, error))
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
    if (api().AddListOnceReadVar(&r, PLC_ADD_MERGED) == 0) {
        error = "the driver refused the read";
        return false;
    }
    wake();
    return true;
}

QByteArray PlcHost::valueBytes(const Variable &var) {
    QByteArray data;
    std::string unusable;
    if (!check(var, Access::Read, unusable) ||
        api().GetRegisterData(nullptr, var.type, QString::fromStdString(var.address), var.station,
                              data, driverCount(var)) == 0)
        return {};
    return data;
}

std::vector<std::uint32_t> PlcHost::values(const Variable &var) {
    return decodeValues(var.type, valueBytes(var));
}

// Switches the driver's gate at once; the loop reports the change and
// forgets any demotion of the station, since the caller's word wins.
void PlcHost::setStationEnabled(int station, bool on) {
    if (!loaded())
        return;
    api().EnCommStation(station, on ? PLC_STATION_ON : PLC_STATION_OFF);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stationChanges_.push_back({station, on});
        if (!on)
            markStationOff(station, WallClock::time_point::max());
        else if (station < 0)
            switchedOff_.clear();
        else
            switchedOff_.erase(station);
        woken_ = true;
    }
    loopCv_.notify_all();
}

PlcHost::Status PlcHost::waitCompletion(RequestId id, int idleTimeoutMs) {
    const auto idle = std::chrono::milliseconds(idleTimeoutMs);
    const auto key = std::make_pair(id.tag0, id.tag1);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const std::uint64_t progress = stats_.exchanges;
        const bool moved = doneCv_.wait_for(lock, idle, [&] {
            return completions_.count(key) != 0 || stopping_ || stats_.exchanges != progress;
        });
        auto done = completions_.find(key);
        if (done != completions_.end()) {
            const int status = done->second;
            completions_.erase(done);
            return status == PLC_COMPLETION_DONE ? Done : Failed;
        }
        if (!moved || stopping_)
            return Pending;
    }
}

Reading PlcHost::reading(const Variable &var) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t i;
    return plan_ && plan_->find(var, &i) ? readings_[i] : Reading{};
}

std::uint64_t PlcHost::scans() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scans_;
}

std::vector<StationState> PlcHost::stations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<int, StationState> byNumber;
    for (size_t i = 0; plan_ && i < plan_->size(); ++i)
        byNumber[plan_->run(i).station].station = plan_->run(i).station;
    for (const auto &off : switchedOff_)
        byNumber[off.first] = {off.first, false, off.second};
    std::vector<StationState> all;
    for (const auto &s : byNumber)
        all.push_back(s.second);
    return all;
}

bool PlcHost::waitScan(std::uint64_t seen, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    doneCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [&] { return scans_ > seen || stopping_; });
    return scans_ > seen;
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const HostEvent &e : unpublished_)
            applyEvent(e);
    }
    unpublished_.clear();
    doneCv_.notify_all();
}

void PlcHost::publishRefusal(int tag0, int tag1, int status) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        applyEvent({HostEvent::Completion, tag0, tag1, status});
    }
    doneCv_.notify_all();
}

// Under mutex_.
void PlcHost::applyEvent(const HostEvent &e) {
    if (e.kind == HostEvent::Completion) {
        // A failure of any piece of a request stays the request's outcome.
        int &outcome = completions_[{e.tag0, e.tag1}];
        if (outcome != PLC_COMPLETION_FAILED)
            outcome = e.status;
    }
    events_.push_back(e);
    if (events_.size() > kEventCap)
        events_.pop_front();
}

// ---- the loop thread ----

void PlcHost::run() {
    loopHost = this;
    int emptyCalls = 0;
    while (!stopping()) {
        syncPlan();
        applyStationChanges();
        restoreDemoted();
        Protocol *p = api().ComCommunication();
        const bool dropped = !unpublished_.empty(); // requests reported failed unsent
        publish();
        // A call can come back empty with work left: when it ended a turn
        // (an empty cyclic turn re-opens the write and one-shot turns) or
        // dropped requests. Only a second empty call in a row that dropped
        // nothing means there is nothing to send.
        emptyCalls = p || dropped ? 0 : emptyCalls + 1;
        if (emptyCalls >= 2) {
            waitForWork();
            emptyCalls = 0;
        }
        if (!p)
            continue;
        // The frame stays pending in the driver while the loop pauses. A
        // retry is the same frame again, not the start of a new pass.
        if (isCyclic(p->var) && !retryPending_ && passCompleted(p->var))
            pauseFor(config_.intervalMs, true);
        if (stopping() || !exchange(*p))
            break;
    }
    loopHost = nullptr;
}

bool PlcHost::stopping() const { return stop_.raised(); }

// The loop's records of blocks and passes belong to one plan.
void PlcHost::syncPlan() {
    std::shared_ptr<const Plan> plan;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        plan = plan_;
    }
    if (plan == loopPlan_)
        return;
    loopPlan_ = plan;
    blocks_.clear();
    passBlocks_.clear();
    passFailed_ = false;
}

// A pass is over when a cyclic block comes round again. (The driver keeps
// its own cycleDone in ComInfo, but writes it under its list lock, which a
// host cannot take.)
bool PlcHost::passCompleted(const RW_VAR &block) {
    const auto key = std::make_tuple(block.station, block.regType, block.regAddr, block.count);
    if (passBlocks_.insert(key).second)
        return false;
    passBlocks_ = {key};
    cycleDone_ = !passFailed_;
    passFailed_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++scans_;
    }
    doneCv_.notify_all();
    return true;
}

// False when the host stopped before the exchange was over: the frame then
// stays pending in the driver and goes out again after a restart.
bool PlcHost::exchange(const Protocol &p) {
    const RW_VAR request = p.var; // DataCom destroys p
    const QByteArray frame = p.frame;
    const int replyLen = p.replyLen;
    const auto start = Clock::now();
    Wire wire = transact(p);
    if (wire.io == Io::Stopped)
        return false;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const bool answered = wire.io == Io::Ok && !wire.reply.isEmpty();
    const int result = api().DataCom(&wire.reply, wire.reply.size())->result;
    const bool success = isSuccess(result);
    ReplyVerdict verdict;
    if (!success && wire.problem.empty())
        verdict = judgeRefusedReply(frame, replyLen, wire.reply, config_.remote, result);
    // Nothing may answer a frame that expects no reply, nor a failed one,
    // into the next exchange. Only a clean refusal (an exception response
    // to this very request) shows the connection still in step.
    if (link_.isOpen() && (replyLen == 0 || !success)) {
        if (verdict.inStep)
            link_.discardPending();
        else
            link_.close();
    }
    const std::string &why = wire.problem.empty() ? verdict.reason : wire.problem;
    if (!success)
        reportFailure(request, result, why);
    if (isCyclic(request) && loopPlan_)
        updateReadings({request.station, request.regType, request.regAddr, request.count},
                       success ? Quality::Good
                       : result == PLC_RESULT_RETRY_PENDING ? Quality::Stale
                                                            : Quality::Failed,
                       why);
    account(request.station, result, answered ? ms : -1);
    publish();
    return true;
}

// Sends the frame and collects its reply. Whatever goes wrong on the wire
// drops the connection: a late reply must never meet a later request.
PlcHost::Wire PlcHost::transact(const Protocol &p) {
    Wire w;
    if (!ensureConnected(w.problem)) {
        w.io = stopping() ? Io::Stopped : Io::Failed;
        return w;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(config_.timeoutMs);
    w.io = link_.send(p.frame, deadline);
    if (w.io == Io::Ok && p.replyLen != 0)
        w.io = config_.remote && p.replyLen > 0 ? link_.receive(p.replyLen, &w.reply, deadline)
                                                : link_.receiveModbusReply(&w.reply, deadline);
    if (w.io == Io::Ok)
        return w;
    w.problem = wireProblem(w.io, w.reply, config_.timeoutMs);
    w.reply.clear();
    link_.close();
    return w;
}

bool PlcHost::ensureConnected(std::string &error) {
    if (link_.isOpen())
        return true;
    const auto start = Clock::now();
    if (link_.open(config_.address, config_.port, config_.timeoutMs, error)) {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.reconnects += connectedOnce_ ? 1 : 0;
        connectedOnce_ = true;
        return true;
    }
    // A refused connection fails at once: spend the rest of the time-out,
    // as an unanswered request would, instead of spinning.
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    pauseFor(config_.timeoutMs - static_cast<int>(spent.count()), false);
    return false;
}

void PlcHost::reportFailure(const RW_VAR &request, int result, const std::string &why) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastError_ = why;
    }
    if (result != PLC_RESULT_RETRY_PENDING)
        report(describe(request) + " given up: " + why);
}

// The readings of the plan variables that a cyclic block holds, after an
// exchange that ended as `outcome`: Good, Stale (retry pending) or Failed.
void PlcHost::updateReadings(const RegisterRun &block, Quality outcome, const std::string &why) {
    const auto now = WallClock::now();
    blocks_.record(block, outcome == Quality::Good, now);
    std::vector<Update> updates;
    for (size_t i : loopPlan_->overlapping(block)) {
        Reading next{outcome, {}, now, outcome == Quality::Good ? "" : why};
        if (outcome != Quality::Good || readGood(i, block, next))
            updates.emplace_back(i, std::move(next));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (plan_ == loopPlan_)
        for (Update &u : updates)
            merge(readings_[u.first], std::move(u.second));
}

// True when every block holding variable i was read (one cut over several
// blocks waits for all); fills in its value bytes as the PLC gave them, not
// as a write may have changed the driver's copy before the PLC confirmed it.
bool PlcHost::readGood(size_t i, const RegisterRun &block, Reading &next) {
    const Variable &v = loopPlan_->variable(i);
    const RegisterRun &run = loopPlan_->run(i);
    const bool inBlock = run.first >= block.first && run.end() <= block.end();
    return (inBlock || blocks_.allGood(run, &next.lastGood)) &&
           api().GetRegisterData(nullptr, v.type, QString::fromStdString(v.address), v.station,
                                 next.data, driverCount(v)) != 0;
}

// "station 1: read hold.word 10..19 (temp, level)"
std::string PlcHost::describe(const RW_VAR &request) const {
    std::vector<std::string> labels;
    if (isCyclic(request) && loopPlan_) {
        const RegisterRun block{request.station, request.regType, request.regAddr, request.count};
        for (size_t i : loopPlan_->overlapping(block))
            labels.push_back(loopPlan_->variable(i).label);
    } else if (!request.label.isEmpty()) {
        labels.push_back(request.label.toStdString());
    }
    return "station " + std::to_string(request.station) + ": " + requestText(request, labels);
}

void PlcHost::account(int station, int result, double roundTripMs) {
    const bool ok = isSuccess(result);
    const bool retry = result == PLC_RESULT_RETRY_PENDING;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.exchanges;
        if (ok) {
            if (roundTripMs >= 0)
                roundTrips_.add(roundTripMs);
        } else {
            ++stats_.failures;
            ++(retry ? stats_.retries : stats_.givenUp);
        }
    }
    passFailed_ = passFailed_ || !ok;
    retryPending_ = retry;
    // A station that answers, be it with a refusal, is alive: only silence
    // counts towards switching it off.
    if (ok || roundTripMs >= 0) {
        consecutiveGiveUps_[station] = 0;
        return;
    }
    // In single-station mode every request is the one station's: switching
    // it off would only pause everything and drop queued writes.
    if (!retry && ++consecutiveGiveUps_[station] >= config_.demoteAfter &&
        config_.demoteAfter > 0 && config_.multiStation)
        demote(station);
}

void PlcHost::demote(int station) {
    api().EnCommStation(station, PLC_STATION_OFF);
    demotedUntil_[station] = Clock::now() + std::chrono::milliseconds(config_.demoteMs);
    consecutiveGiveUps_[station] = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.demotions;
        markStationOff(station, WallClock::now() + std::chrono::milliseconds(config_.demoteMs));
    }
    report("station " + std::to_string(station) + ": switched off for " +
           std::to_string(config_.demoteMs) + " ms after " + std::to_string(config_.demoteAfter) +
           " requests in a row were given up");
}

void PlcHost::restoreDemoted() {
    const auto now = Clock::now();
    for (auto it = demotedUntil_.begin(); it != demotedUntil_.end();) {
        if (it->second > now) {
            ++it;
            continue;
        }
        api().EnCommStation(it->first, PLC_STATION_ON);
        markStationOn(it->first);
        report("station " + std::to_string(it->first) + ": switched back on");
        it = demotedUntil_.erase(it);
    }
}

void PlcHost::applyStationChanges() {
    std::vector<StationChange> changes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        changes.swap(stationChanges_);
    }
    for (const StationChange &c : changes) {
        if (c.station < 0)
            demotedUntil_.clear(); // the driver switched every station on
        else
            demotedUntil_.erase(c.station);
        consecutiveGiveUps_.erase(c.station);
        report((c.station < 0 ? std::string("every station") : "station " + std::to_string(c.station)) +
               (c.on ? ": switched on" : ": switched off"));
    }
}

// With mutex_ held: the values of a switched-off station (of every one for
// a negative number) are no longer kept up to date.
void PlcHost::markStationOff(int station, WallClock::time_point backAt) {
    if (station >= 0)
        switchedOff_[station] = backAt;
    for (size_t i = 0; plan_ && i < plan_->size(); ++i) {
        const int s = plan_->run(i).station;
        if (station < 0 || s == station) {
            switchedOff_[s] = backAt;
            makeStale(readings_[i], "station " + std::to_string(s) + " switched off");
        }
    }
}

void PlcHost::markStationOn(int station) {
    std::lock_guard<std::mutex> lock(mutex_);
    switchedOff_.erase(station);
}

void PlcHost::pauseFor(int ms, bool wakeable) {
    if (ms <= 0)
        return;
    std::unique_lock<std::mutex> lock(mutex_);
    loopCv_.wait_for(lock, std::chrono::milliseconds(ms),
                     [&] { return stopping_ || (wakeable && woken_); });
    if (wakeable)
        woken_ = false;
}

// Nothing to send: sleep until a caller brings work, the host stops or a
// demoted station is due back.
void PlcHost::waitForWork() {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto ready = [&] { return stopping_ || woken_; };
    if (demotedUntil_.empty()) {
        loopCv_.wait(lock, ready);
    } else {
        auto due = demotedUntil_.begin()->second;
        for (const auto &d : demotedUntil_)
            due = std::min(due, d.second);
        loopCv_.wait_until(lock, due, ready);
    }
    woken_ = false;
}

} // namespace plchost
