// The request scheduler: which request goes out next, and the stations the
// host has switched off.
#include "driver.h"

#include "driver_lock.h"

#include <algorithm>

namespace {

// A queue is served at most this many requests in a row while the other
// queues wait; a cyclic block re-opens both turns.
constexpr int kTurnsInARow = 5;

} // namespace

// The next frame to send, or null when there is none now. A prepared frame
// (awaiting its reply, being retried, or the second of a pair) always goes
// first. Otherwise up to five writes in a row, then up to five one-shot
// reads, then one cyclic block, which re-opens both turns.
Protocol *ModbusTcpDriver::nextRequest() {
    if (!frames_.isEmpty())
        return &frames_.first().protocol;
    if (!settings_)
        return nullptr;
    const bool remote = settings_->remoteMode != 0;
    const FrameBuilder read = remote ? &ModbusTcpDriver::buildRemoteRead : &ModbusTcpDriver::buildReadFrame;
    const FrameBuilder write = remote ? &ModbusTcpDriver::buildRemoteWrite : &ModbusTcpDriver::buildWriteFrames;
    DriverLock lock(queueMutex_);
    if (!writes_.isEmpty() && writeTurns_ < kTurnsInARow) {
        serving_ = Serving::Write;
        writeTurns_ += serveQueueHead(writes_, write) ? 1 : 0;
    } else if (!onceReads_.isEmpty() && onceReadTurns_ < kTurnsInARow) {
        serving_ = Serving::OnceRead;
        onceReadTurns_ += serveQueueHead(onceReads_, read) ? 1 : 0;
    } else {
        serveCyclicBlock(read);
    }
    return frames_.isEmpty() ? nullptr : &frames_.first().protocol;
}

// Frames the head of a write or one-shot queue. Requests of switched-off
// stations, and a head that cannot become a frame (it could never be
// answered), leave the queue reported as failed rather than wait forever or
// block the requests behind them. True when a frame was built.
bool ModbusTcpDriver::serveQueueHead(QList<RW_VAR> &queue, FrameBuilder build) {
    while (!queue.isEmpty()) {
        if (!stationGate_.isOff(queue.first().station) && (this->*build)(queue.first()))
            return true;
        dropRequest(queue, 0);
    }
    return false;
}

// Removes the record at `index` and every other record of the same host
// request (same keys), and reports the request failed once.
void ModbusTcpDriver::dropRequest(QList<RW_VAR> &queue, int index) {
    const RW_VAR dropped = queue.takeAt(index);
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [&](const RW_VAR &v) { return sameHostKeys(v, dropped); }),
                queue.end());
    reportCompletion(dropped, PLC_COMPLETION_FAILED);
}

// One block of the cyclic list, skipping blocks of switched-off stations. A
// cyclic turn re-opens the write and one-shot turns, also when it finds every
// station off, so those queues are never starved. A block that yields no
// frame goes to the end of the list like a served one.
void ModbusTcpDriver::serveCyclicBlock(FrameBuilder build) {
    writeTurns_ = 0;
    onceReadTurns_ = 0;
    if (cyclicBlocks_.isEmpty()) {
        settings_->cycleDone = 1;
        return;
    }
    serving_ = Serving::Cyclic;
    const int n = cyclicBlocks_.size();
    int skipped = 0;
    for (; skipped < n && stationGate_.isOff(cyclicBlocks_.first().station); ++skipped)
        cyclicBlocks_.move(0, n - 1);
    if (skipped < n && !(this->*build)(cyclicBlocks_.first()))
        cyclicBlocks_.move(0, n - 1);
}

// A negative station switches every station on; op 0 switches one off, op 1 on.
void ModbusTcpDriver::switchStation(int station, int op) {
    if (station < 0)
        stationGate_.switchAllOn();
    else if (op == PLC_STATION_OFF)
        stationGate_.switchOff(station);
    else if (op == PLC_STATION_ON)
        stationGate_.switchOn(station);
}
