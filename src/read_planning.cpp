// The cyclic read list: the host's variables merged into blocks of
// consecutive registers, each of which one request reads.
#include "driver.h"

#include "address_text.h"
#include "driver_lock.h"
#include "read_planning.h"
#include "register_types.h"

#include <QHash>

#include <algorithm>
#include <climits>
#include <optional>
#include <tuple>

namespace {

// A host variable in register terms; nothing when it cannot be read (an
// unusable address, a type code above 11, no elements, or registers beyond
// the range of an int).
std::optional<PlannedRead> plannedRead(const HOSTVAR &host, int station) {
    if (!plc::isKnownType(host.regType) || host.count < 1)
        return std::nullopt;
    const int address = parseAddressText(host.regType, host.address);
    if (address < 0)
        return std::nullopt;
    const plc::RegisterSpan span = plc::registerSpanOf(plc::kindOf(host.regType), address, host.count);
    if (span.end() > INT_MAX)
        return std::nullopt;
    const int area = plc::areaOf(host.regType);
    return PlannedRead{area, area, station, span.first, span.count, 0, &host};
}

// The part of a variable that requests can reach: registers whose address on
// the wire (area 2 from 5000 on) lies in 0..65535. Cutting only this part
// bounds the plan by the register range, whatever count the host gives.
bool clipToWireRange(PlannedRead &read) {
    const qint64 offset = read.area == plc::ExtendedArea ? plc::kExtendedAreaStart : 0;
    const qint64 end = std::min<qint64>(read.first + read.count, modbus::kMaxAddress + 1 - offset);
    read.first = std::max<qint64>(read.first, 0);
    read.count = end - read.first;
    return read.count > 0;
}

// In place, so that a large plan needs no second buffer.
void sortByGroupAndRegister(std::vector<PlannedRead> &reads) {
    std::sort(reads.begin(), reads.end(), [](const PlannedRead &a, const PlannedRead &b) {
        return std::tie(a.group, a.first, a.rank) < std::tie(b.group, b.first, b.rank);
    });
}

} // namespace

// Replaces the cyclic read list with merged blocks. Returns 0 for one
// station, the number of blocks otherwise. Parsing and sorting run before the
// lock is taken: meanwhile the communication loop keeps serving the old list,
// which is then replaced in one step, never seen half-built.
int ModbusTcpDriver::rebuildReadList(QList<HOSTVAR> *vars) {
    const bool usable = vars && !vars->isEmpty() && settings_;
    std::vector<PlannedRead> reads;
    if (usable)
        reads = planReads(*vars);

    DriverLock lock(queueMutex_);
    cyclicBlocks_.clear();
    if (!usable)
        return 0;
    cycleProgress_ = 0;
    settings_->cycleDone = 0;
    RW_VAR blockTemplate;
    blockTemplate.hostTag1 = -1;
    blockTemplate.accessKind = PLC_ACCESS_READ;
    blockTemplate.remoteMode = settings_->remoteMode;
    blockTemplate.nodeId = settings_->localNodeId;
    mergeIntoBlocks(reads, blockTemplate);
    return multiStation() ? cyclicBlocks_.size() : 0;
}

// The reads that the rebuild merges, sorted by group, then register. One
// station: one group per area, areas 0, 1, 2 in turn, variables not cut,
// the first listed opening a block. Several stations: one group per area and
// station, in order of first appearance, variables cut into requests, the
// piece added last opening a block.
std::vector<PlannedRead> ModbusTcpDriver::planReads(const QList<HOSTVAR> &vars) const {
    std::vector<PlannedRead> reads;
    reads.reserve(size_t(vars.size()));
    if (!multiStation()) {
        for (const HOSTVAR &host : vars)
            if (std::optional<PlannedRead> read = plannedRead(host, settings_->defaultStation)) {
                read->rank = qint64(reads.size());
                reads.push_back(*read);
            }
    } else {
        const int limit = maxRegsPerRequest();
        QHash<int, int> groupOfAreaAndStation;
        for (const HOSTVAR &host : vars) {
            std::optional<PlannedRead> read = plannedRead(host, host.station);
            if (!read || !clipToWireRange(*read))
                continue;
            const int key = read->area * kStationCount + read->station;
            auto group = groupOfAreaAndStation.constFind(key);
            if (group == groupOfAreaAndStation.constEnd())
                group = groupOfAreaAndStation.insert(key, groupOfAreaAndStation.size());
            read->group = *group;
            for (qint64 done = 0; done < read->count; done += limit) {
                PlannedRead piece = *read;
                piece.first = read->first + done;
                piece.count = std::min<qint64>(limit, read->count - done);
                piece.rank = -qint64(reads.size());
                reads.push_back(piece);
            }
        }
    }
    sortByGroupAndRegister(reads);
    return reads;
}

// Merges sorted reads into blocks appended to the cyclic list, each group
// apart. A variable joins the open block of its group when the span from the
// block's start to the variable's end fits in one request, gap included; one
// inside the block changes nothing. A single variable longer than a request stays one block of
// its own. A block is the template filled in from the variable that opened it.
void ModbusTcpDriver::mergeIntoBlocks(const std::vector<PlannedRead> &reads,
                                      const RW_VAR &blockTemplate) {
    const int limit = maxRegsPerRequest();
    bool open = false;
    int group = 0;
    qint64 start = 0;
    qint64 length = 0;
    for (const PlannedRead &read : reads) {
        open = open && read.group == group;
        const qint64 end = start + length;
        const qint64 readEnd = read.first + read.count;
        if (open && read.first < end && readEnd <= end)
            continue;
        if (open && readEnd - start <= limit) {
            length = readEnd - start;
            cyclicBlocks_.last().count = int(length);
            continue;
        }
        RW_VAR block = blockTemplate;
        block.label = read.host->label;
        block.address = read.host->address;
        block.station = read.station;
        block.regType = read.area;
        block.regAddr = int(read.first);
        block.count = int(read.count);
        cyclicBlocks_.append(block);
        open = true;
        group = read.group;
        start = read.first;
        length = read.count;
    }
}
