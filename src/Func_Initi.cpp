// Set-up, address parsing, the variable queues and the read-list rebuild.
#include "modbus_rtu_master.h"

#include <QRegularExpression>

#include <algorithm>
#include <climits>
#include <optional>
#include <vector>

namespace {

bool fitsInt(qint64 value) { return value >= INT_MIN && value <= INT_MAX; }

// A decimal text as an int. Text that is not a decimal integer counts as 0,
// as hosts have always seen it; a decimal integer beyond 32 bits gives
// nothing, so that it is refused rather than wrapped.
std::optional<int> decimalValue(QStringView text) {
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (ok)
        return fitsInt(value) ? std::optional<int>(int(value)) : std::nullopt;
    static const QRegularExpression decimal(QStringLiteral("^\\s*[+-]?[0-9]+\\s*$"));
    return decimal.match(text).hasMatch() ? std::nullopt : std::optional<int>(0);
}

// A run of 16-bit registers of one area: what one read request covers.
struct RegisterSpan {
    int regType; // area 0..2 for the known types
    int first;
    int count;
};

// The registers that `elements` elements (1 or more) of a type 0..11 cover,
// starting at element address `address` (0 or more). A bit register holds the
// bits of two byte numbers, a byte register two bytes, a double word takes two
// registers. Nothing when the span would end beyond a 32-bit int.
std::optional<RegisterSpan> registerSpan(int regType, int address, int elements) {
    const qint64 n = elements;
    qint64 first = address;
    qint64 count = n;
    switch (regType / 3) {
    case 0: // bits
        first = address >> 4;
        count = (address % 16 + n + 15) / 16;
        break;
    case 1: // bytes
        first = address >> 1;
        count = (address % 2 + n + 1) / 2;
        break;
    case 3: // double words
        first = qint64(address) * 2;
        count = n + n % 2;
        break;
    default: // words
        break;
    }
    if (!fitsInt(first + count))
        return std::nullopt;
    return RegisterSpan{getPlcType(regType), int(first), int(count)};
}

// A one-shot read in register terms. A type the table does not know keeps the
// register address and count that the host gave.
std::optional<RegisterSpan> onceReadSpan(const RW_VAR &var, int address) {
    if (getPlcType(var.regType) != 255)
        return registerSpan(var.regType, address, var.count);
    if (!fitsInt(qint64(var.regAddr) + var.count))
        return std::nullopt;
    return RegisterSpan{var.regType, var.regAddr, var.count};
}

// Cuts `count` registers from `first` into requests of at most `maxRegs`,
// handing each one's first register and size to take(); stops early when
// take() returns false.
template <typename Take>
void forEachRequest(int first, int count, int maxRegs, Take take) {
    for (qint64 done = 0; done < count; done += maxRegs)
        if (!take(int(first + done), int(std::min<qint64>(maxRegs, count - done))))
            return;
}

bool sameOnceRead(const RW_VAR &a, const RW_VAR &b) {
    return a.hostTag0 == b.hostTag0 && a.hostTag1 == b.hostTag1 && a.station == b.station &&
           a.regType == b.regType && a.regAddr == b.regAddr && a.count == b.count;
}

bool sameWriteTarget(const RW_VAR &a, const RW_VAR &b) {
    return a.station == b.station && a.regType == b.regType && a.regAddr == b.regAddr &&
           a.count == b.count;
}

// A host variable in register terms; nothing when it cannot be read
// (unusable address, a type code above 11, no elements, or numbers beyond
// 32 bits).
std::optional<PlannedRead> plannedRead(const HOSTVAR &host, int station) {
    if (host.regType > 11 || host.count < 1)
        return std::nullopt;
    const int address = StringAddressToInt(host.regType, host.address);
    if (address < 0)
        return std::nullopt;
    const std::optional<RegisterSpan> span = registerSpan(host.regType, address, host.count);
    if (!span)
        return std::nullopt;
    return PlannedRead{span->regType, station, span->first, span->count, &host};
}

// The host's variables in register terms, in the groups that the rebuild
// merges one after the other, each group sorted by register. One station:
// one group per area, areas 0, 1, 2 in turn, variables not cut. Several
// stations: variables cut to `limit` registers, grouped by area × 255 +
// station in order of first appearance.
std::vector<std::vector<PlannedRead>> planGroups(Modbus_RTU_Master &d, const QList<HOSTVAR> &vars,
                                                 bool multi, int limit) {
    std::vector<std::vector<PlannedRead>> groups;
    if (!multi) {
        groups.resize(3);
        for (const HOSTVAR &host : vars)
            if (const std::optional<PlannedRead> read = plannedRead(host, d.comInfo->defaultStation))
                groups[read->regType].push_back(*read);
    } else {
        QHash<int, int> groupOfKey;
        for (const HOSTVAR &host : vars) {
            const std::optional<PlannedRead> read = plannedRead(host, host.station);
            if (!read)
                continue;
            // 255, not 256: area 0 at station 255 and area 1 at station 0 share a group.
            const int key = read->regType * 255 + read->station;
            const int index = groupOfKey.value(key, int(groups.size()));
            if (index == int(groups.size())) {
                groupOfKey.insert(key, index);
                groups.emplace_back();
            }
            std::vector<PlannedRead> &group = groups[index];
            forEachRequest(read->regAddr, read->count, limit, [&](int regAddr, int count) {
                group.push_back(PlannedRead{read->regType, read->station, regAddr, count, read->host});
                return true;
            });
        }
        // Among pieces at the same register the one added last comes first,
        // so it is the one that opens a block.
        for (std::vector<PlannedRead> &group : groups)
            std::reverse(group.begin(), group.end());
    }
    for (std::vector<PlannedRead> &group : groups)
        d.sortByRegAddr(&group);
    return groups;
}

} // namespace

void Modbus_RTU_Master::SetComInfo(ComInfo *info) {
    if (info) {
        info->hostStatus0 = 0;
        info->hostStatus1 = 0;
    }
    comInfo = info;
}

void Modbus_RTU_Master::RegistCallBackFuncIntf(CompletionCallback completion, NotifyCallback notify) {
    completionCallback = completion;
    notifyCallback = notify;
}

// A request size below 1 would divide by zero or never end a split: it counts as 1.
int Modbus_RTU_Master::maxRegs() const {
    return comInfo && comInfo->maxRegsPerFrame > 1 ? comInfo->maxRegsPerFrame : 1;
}

// Bit types take "byte.bit" (bit address byte × 8 + bit; the bit number is not
// limited to 0..7), the other known types a decimal number. -1 marks an
// unusable text: a malformed bit address or a number beyond 32 bits.
int StringAddressToInt(int regType, const QString &address) {
    if (regType >= 0 && regType <= 2) {
        const int dot = address.indexOf(QLatin1Char('.'));
        if (dot < 0 || address.lastIndexOf(QLatin1Char('.')) != dot)
            return -1;
        const std::optional<int> byte = decimalValue(QStringView(address).left(dot));
        const std::optional<int> bit = decimalValue(QStringView(address).mid(dot + 1));
        if (!byte || !bit)
            return -1;
        const qint64 bitAddress = qint64(*byte) * 8 + *bit;
        return fitsInt(bitAddress) ? int(bitAddress) : -1;
    }
    if (regType >= 3 && regType <= 11)
        return decimalValue(address).value_or(-1);
    return 0;
}

// No lock: the rebuild calls this with listMutex held.
int Modbus_RTU_Master::AddListReadVar(RW_VAR *var) {
    if (!var)
        return readList.size();
    readList.append(*var);
    return readList.size();
}

// Converts a one-shot read into register terms in the caller's record, cuts it
// into requests of at most maxRegs() registers and queues those not already
// waiting. Parsing and conversion run before the lock is taken.
int Modbus_RTU_Master::AddListOnceReadVar(RW_VAR *var, int mode) {
    if (!var)
        return 0;
    if (mode == 1) {
        DriverLock lock(listMutex);
        onceQueue.append(*var);
        return onceQueue.size();
    }
    if (!comInfo)
        return 0;
    const int address = StringAddressToInt(var->regType, var->address);
    if (address < 0)
        return 0;
    if (var->count < 1) {
        DriverLock lock(listMutex);
        return onceQueue.size();
    }
    const std::optional<RegisterSpan> span = onceReadSpan(*var, address);
    if (!span)
        return 0;
    var->aux0 = 0;
    var->aux1 = 0;
    if (comInfo->multiStation == 0)
        var->station = comInfo->defaultStation;
    var->regType = span->regType;
    const int limit = maxRegs();

    DriverLock lock(listMutex);
    forEachRequest(span->first, span->count, limit, [this, var](int regAddr, int count) {
        if (onceQueue.size() >= kQueueCap)
            return false; // full: every further request would be dropped too
        var->regAddr = regAddr;
        var->count = count;
        const bool waiting = std::any_of(onceQueue.cbegin(), onceQueue.cend(),
                                         [var](const RW_VAR &q) { return sameOnceRead(q, *var); });
        if (!waiting)
            onceQueue.append(*var);
        return true;
    });
    return onceQueue.size();
}

// A newer write to a target that is already waiting replaces the older one in
// its place. The head record is the write in flight and is never replaced.
int Modbus_RTU_Master::AddListWriteVar(RW_VAR *var, int mode) {
    if (!var)
        return 0;
    DriverLock lock(listMutex);
    if (mode != 1 && writeQueue.size() > 1) {
        const auto waiting = std::find_if(writeQueue.begin() + 1, writeQueue.end(),
                                          [&](const RW_VAR &q) { return sameWriteTarget(q, *var); });
        if (waiting != writeQueue.end()) {
            *waiting = *var;
            return writeQueue.size();
        }
        if (writeQueue.size() >= kQueueCap)
            return writeQueue.size();
    }
    writeQueue.append(*var);
    return writeQueue.size();
}

// Replaces the cyclic read list with merged blocks (groups as planGroups
// makes them). Returns 0 for one station, the number of blocks otherwise.
// Parsing and sorting run before listMutex is taken: meanwhile the
// communication loop keeps serving the old list, which is then replaced in
// one step under the lock, never seen half-built.
int Modbus_RTU_Master::ReCreatReadVarList(QList<HOSTVAR> *vars) {
    const bool usable = vars && !vars->isEmpty() && comInfo;
    const bool multi = usable && comInfo->multiStation != 0;
    const int limit = maxRegs();
    std::vector<std::vector<PlannedRead>> groups;
    if (usable)
        groups = planGroups(*this, *vars, multi, limit);

    DriverLock lock(listMutex);
    readList.clear();
    if (!usable)
        return 0;
    cycleProgress = 0;
    comInfo->cycleDone = 0;
    RW_VAR blockTemplate;
    blockTemplate.hostTag1 = -1;
    blockTemplate.remoteMode = comInfo->remoteMode;
    blockTemplate.nodeId = comInfo->localNodeId;
    int blocks = 0;
    for (const std::vector<PlannedRead> &group : groups)
        blocks = WordVarReCreat(group, blockTemplate, limit, blocks);
    return multi ? readList.size() : 0;
}

void Modbus_RTU_Master::sortByRegAddr(std::vector<PlannedRead> *plan) {
    std::stable_sort(plan->begin(), plan->end(), [](const PlannedRead &a, const PlannedRead &b) {
        return a.regAddr < b.regAddr;
    });
}

// Merges a sorted group into blocks appended to readList. A variable joins the
// open block when the span from the block's start to the variable's end fits
// in `limit` registers, gap included; one inside the block changes nothing.
// A single variable longer than `limit` stays one block of its own. A block
// is the template filled in from the variable that opened it.
int Modbus_RTU_Master::WordVarReCreat(const std::vector<PlannedRead> &plan,
                                      const RW_VAR &blockTemplate, int limit, int blocks) {
    bool open = false;
    qint64 start = 0;
    qint64 length = 0;
    for (const PlannedRead &read : plan) {
        const qint64 end = start + length;
        const qint64 readEnd = qint64(read.regAddr) + read.count;
        if (open && read.regAddr < end && readEnd <= end)
            continue;
        if (open && readEnd - start <= limit) {
            length = readEnd - start;
            readList.last().count = int(length);
            continue;
        }
        RW_VAR block = blockTemplate;
        block.label = read.host->label;
        block.address = read.host->address;
        block.station = read.station;
        block.regType = read.regType;
        block.regAddr = read.regAddr;
        block.count = read.count;
        AddListReadVar(&block);
        open = true;
        start = read.regAddr;
        length = read.count;
        ++blocks;
    }
    return blocks;
}
