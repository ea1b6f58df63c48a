// The request queues: one-shot reads and writes waiting for their turn, and
// blocks a host appends to the cyclic list itself.
//
// A host request may become several records (a long read cut into requests,
// a write cut into pieces), all with the host's two keys. Such a request is
// queued whole or not at all: when its queue has no room for every record,
// none is queued and the host hears of the failure once.
#include "driver.h"

#include "address_text.h"
#include "driver_lock.h"
#include "register_types.h"

#include <algorithm>
#include <climits>

namespace {

constexpr int kQueueCapacity = 1024; // records of the one-shot and the write queue

bool sameOnceRead(const RW_VAR &a, const RW_VAR &b) {
    return a.hostTag0 == b.hostTag0 && a.hostTag1 == b.hostTag1 && a.station == b.station &&
           a.regType == b.regType && a.regAddr == b.regAddr && a.count == b.count;
}

bool sameWriteTarget(const RW_VAR &a, const RW_VAR &b) {
    return a.station == b.station && a.regType == b.regType && a.regAddr == b.regAddr &&
           a.count == b.count;
}

bool fitsInt(qint64 value) { return value >= INT_MIN && value <= INT_MAX; }

// A waiting write to the same target (never the head: that one is in flight).
QList<RW_VAR>::iterator waitingWrite(QList<RW_VAR> &queue, const RW_VAR &var) {
    if (queue.size() < 2)
        return queue.end();
    return std::find_if(queue.begin() + 1, queue.end(),
                        [&](const RW_VAR &q) { return sameWriteTarget(q, var); });
}

} // namespace

int ModbusTcpDriver::appendCyclicBlock(RW_VAR *block) {
    DriverLock lock(queueMutex_);
    if (block && settings_ && !isStationRefused(block->station))
        cyclicBlocks_.append(*block);
    return cyclicBlocks_.size();
}

// Converts a one-shot read into register terms in the caller's record, cuts
// it into requests of at most maxRegsPerRequest() registers and queues those
// not already waiting. The record keeps the terms of the last request.
int ModbusTcpDriver::queueOnceRead(RW_VAR *var, int mode) {
    if (!var || !settings_ || isStationRefused(var->station))
        return 0;
    if (mode == PLC_ADD_AS_IS) {
        DriverLock lock(queueMutex_);
        onceReads_.append(*var);
        return onceReads_.size();
    }
    const int address = parseAddressText(var->regType, var->address);
    if (address < 0)
        return 0;
    if (var->count < 1) {
        DriverLock lock(queueMutex_);
        return onceReads_.size();
    }
    // A type the table does not know keeps the host's register terms.
    plc::RegisterSpan span{var->regAddr, var->count};
    if (plc::isKnownType(var->regType))
        span = plc::registerSpanOf(plc::kindOf(var->regType), address, var->count);
    if (!fitsInt(span.first) || !fitsInt(span.end()))
        return 0;
    var->aux0 = 0;
    var->aux1 = 0;
    if (!multiStation())
        var->station = settings_->defaultStation;
    if (plc::isKnownType(var->regType))
        var->regType = plc::areaOf(var->regType);

    DriverLock lock(queueMutex_);
    if (!queueOnceReadPieces(var, span.first, span.count))
        reportCompletion(*var, PLC_COMPLETION_FAILED);
    return onceReads_.size();
}

// Queues the requests of one one-shot read, all or none; false when they do
// not fit in the queue.
bool ModbusTcpDriver::queueOnceReadPieces(RW_VAR *var, qint64 first, qint64 count) {
    const int limit = maxRegsPerRequest();
    if ((count + limit - 1) / limit > kQueueCapacity)
        return false; // more requests than the queue could ever hold
    const int before = onceReads_.size();
    for (qint64 done = 0; done < count; done += limit) {
        var->regAddr = int(first + done);
        var->count = int(std::min<qint64>(limit, count - done));
        const auto waiting = [var](const RW_VAR &q) { return sameOnceRead(q, *var); };
        if (std::none_of(onceReads_.cbegin(), onceReads_.cbegin() + before, waiting))
            onceReads_.append(*var);
    }
    if (onceReads_.size() <= kQueueCapacity)
        return true;
    onceReads_.erase(onceReads_.begin() + before, onceReads_.end());
    return false;
}

// A newer write to a target that is already waiting replaces the older one
// in its place.
int ModbusTcpDriver::queueWrite(RW_VAR *var, int mode) {
    if (!var || !settings_ || isStationRefused(var->station))
        return 0;
    if (mode == PLC_ADD_AS_IS) {
        DriverLock lock(queueMutex_);
        writes_.append(*var);
        return writes_.size();
    }
    return queueWriteRecords({*var});
}

// Queues the records of one host write, all or none.
int ModbusTcpDriver::queueWriteRecords(const std::vector<RW_VAR> &records) {
    DriverLock lock(queueMutex_);
    const auto appended = std::count_if(records.cbegin(), records.cend(), [this](const RW_VAR &r) {
        return waitingWrite(writes_, r) == writes_.end();
    });
    if (writes_.size() + appended > kQueueCapacity) {
        reportCompletion(records.front(), PLC_COMPLETION_FAILED);
        return writes_.size();
    }
    for (const RW_VAR &record : records) {
        const auto waiting = waitingWrite(writes_, record);
        if (waiting != writes_.end())
            *waiting = record;
        else
            writes_.append(record);
    }
    return writes_.size();
}
