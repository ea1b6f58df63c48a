// Shared pieces of the fuzz targets: one driver per process, rebuilt in place
// for every input, and a host that works it through its public members only.
// The host keeps a ledger of the requests it makes and checks, whatever the
// input, what any host can see:
//  - each request frame is well formed and addresses exactly the registers its
//    record names (area 2 from holding register 5000 on, double word d at
//    registers 2d and 2d + 1, byte b in register b / 2, bit a as coil a), and
//    none reaches past register 65535: such a record yields no frame at all;
//  - each record a frame serves belongs to a request of the host and lies
//    within it, carrying the host's value bytes;
//  - a retry is byte-identical, every other Modbus frame has a transaction id
//    other than the previous one's;
//  - each result code is a documented one and fits the reply: only a reply
//    that answers the request is accepted, and the store then shows its data;
//  - each write and local one-shot read ends with exactly one report, "done"
//    only from an accepted reply; nothing else is ever reported.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include "address_text.h"
#include "driver.h"
#include "modbus_protocol.h"
#include "register_store.h"
#include "register_types.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <optional>
#include <tuple>
#include <vector>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

// --- inputs ----------------------------------------------------------------

// Addresses and stations where arithmetic on them overflows, a 16-bit or
// 8-bit field wraps, or an area, the images or the wire end.
constexpr int kValueEdges[] = {
    INT_MIN, INT_MIN + 1, -65536, -2, -1, 0, 1, 2, 255, 256, 1023, 1024, 4999, 5000, 8191,
    8192, 32767, 32768, 60535, 60536, 65535, 65536, INT_MAX / 16 + 1, INT_MAX / 2 + 1,
    INT_MAX - 1, INT_MAX};
// Counts at the limits the driver checks (request sizes, queue capacity,
// elements of a value access) and at both ends of the int range. A count in
// the thousands makes the driver build as many records, compare each with
// every waiting one, or plan as many blocks: drawn often, it would make most
// inputs a thousand times slower.
constexpr int kCountEdges[] = {
    INT_MIN, -1, 0, 1, 2, 123, 124, 125, 126, 127, 128, 1024, 1025, 65535, 65536, 65537,
    INT_MAX};

// Any int: one in [low, high], except one draw in `rarity` an edge and one
// any int at all.
template <size_t N>
int anyOf(FuzzedDataProvider &in, int low, int high, const int (&edges)[N], int rarity) {
    const int pick = in.ConsumeIntegralInRange(1, rarity);
    return pick == 1   ? in.PickValueInArray(edges)
           : pick == 2 ? in.ConsumeIntegral<int>()
                       : in.ConsumeIntegralInRange(low, high);
}
inline int anyInt(FuzzedDataProvider &in, int low, int high) {
    return anyOf(in, low, high, kValueEdges, 16);
}
inline int anyCount(FuzzedDataProvider &in, int low, int high, int rarity = 64) {
    return anyOf(in, low, high, kCountEdges, rarity);
}

inline QByteArray anyBytes(FuzzedDataProvider &in, size_t most) {
    const std::string raw = in.ConsumeRandomLengthString(most);
    return QByteArray(raw.data(), int(raw.size()));
}

// Element addresses ("12", bit addresses "12.3") over the whole int range, or
// any text.
inline QString addressText(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return QString::number(anyInt(in, 0, 1100));
    case 1: return QStringLiteral("%1.%2").arg(anyInt(in, 0, 2100)).arg(anyInt(in, 0, 15));
    case 2: return QString::number(anyInt(in, 0, 9000));
    default: return QString::fromLatin1(anyBytes(in, 16));
    }
}

// A cyclic variable of any type, station, address and count; one count in
// `rarity / 2` an edge or any int (a long variable with several stations is
// cut into a thousand pieces or more).
inline HOSTVAR anyVariable(FuzzedDataProvider &in, int rarity) {
    HOSTVAR v;
    v.regType = quint8(anyInt(in, 0, 11));
    v.station = quint8(anyInt(in, 1, 3));
    v.address = addressText(in);
    v.label = QStringLiteral("v");
    v.count = anyCount(in, 1, 130, rarity);
    return v;
}

// --- bytes -------------------------------------------------------------------

inline int byteAt(const QByteArray &b, qint64 i) {
    return i >= 0 && i < b.size() ? quint8(b.at(int(i))) : 0;
}
// A big-endian field, as Modbus sends them.
inline int u16(const QByteArray &b, qint64 i) { return byteAt(b, i) << 8 | byteAt(b, i + 1); }
// Register i of a host value, which holds registers low byte first.
inline int valueWord(const QByteArray &value, qint64 i) {
    return byteAt(value, 2 * i + 1) << 8 | byteAt(value, 2 * i);
}
inline qint64 wireOffset(int area) {
    return area == plc::ExtendedArea ? plc::kExtendedAreaStart : 0;
}
inline bool isWriteFunction(int function) {
    return function == 5 || function == 6 || function == 16;
}

// Value bytes per element of a write record.
inline int valueWidth(int regType) {
    switch (plc::kindOf(regType)) {
    case plc::ElementKind::Word: return 2;
    case plc::ElementKind::DoubleWord: return 4;
    default: return 1;
    }
}

// `length` bytes of `value` from `offset`, zero-padded.
inline QByteArray valuePiece(const QByteArray &value, qint64 offset, qint64 length) {
    QByteArray out = offset < value.size() ? value.mid(int(offset), int(length)) : QByteArray();
    return out.append(QByteArray(int(length) - out.size(), '\0'));
}

// Registers as a host value holds them (low byte first) in the order of the
// wire (high byte first), and back.
inline QByteArray swapPairs(QByteArray registers) {
    char *bytes = registers.data();
    for (char *end = bytes + registers.size() / 2 * 2; bytes != end; bytes += 2)
        std::swap(bytes[0], bytes[1]);
    return registers;
}

// Storage for the process's one driver object. Each input constructs a fresh
// driver in it and destroys it at its end: every input starts alike, and
// frees what it allocated (else libFuzzer suspects a leak and runs it again).
alignas(ModbusTcpDriver) inline unsigned char driverStorage[sizeof(ModbusTcpDriver)];

// --- the ledger ----------------------------------------------------------------

enum class Expect { None, AtMostOne, One }; // the reports a request ends with

// A request as the host made it. Reads count registers, writes elements
// (double words for double-word types). A record queued as is reaches the
// wire unchanged; other requests are cut into records that lie within them.
struct Request {
    bool write = false;
    bool asIs = false;
    Expect expect = Expect::One;
    int reports = 0;
    int station = 0;
    int regType = 0; // writes: the host's type; reads: the area (as given when as is)
    qint64 first = 0;
    qint64 end = 0;
    qint64 piece = 1; // most elements or registers of one record
    QByteArray value; // a write's value bytes from element `first` on
};

using Keys = std::pair<int, int>;
inline Keys keysOf(const RW_VAR &v) { return {v.hostTag0, v.hostTag1}; }
// The keys of every block of a rebuilt read plan; no request of the host has them.
constexpr Keys kPlanKeys{0, -1};

// Registers [first, end).
struct Span {
    qint64 first;
    qint64 end;
};

// A frame as it went out.
struct Sent {
    Protocol p;
    bool remote = false; // a remote-area record, not a Modbus TCP frame
    bool write = false;  // it serves a write request
};

// The write half that an accepted read half of a byte write announces.
struct PairWrite {
    Keys keys;
    int unit;
    int reg;
    int value;
};

// What a rebuild planned, worked out on the host's side.
struct PlanFacts {
    int blocks = 0;         // what the rebuild returned
    int usable = 0;         // variables it can read
    qint64 mostBlocks = 0;  // no group has more blocks than pieces or reachable registers
    bool answerable = true; // every block can be framed, and a healthy peer answers it
};

class Host {
public:
    static constexpr int kHandle = 42;

    ComInfo info{};
    ModbusTcpDriver &d = *new (driverStorage) ModbusTcpDriver;

    // Settings from the input; remote-area records only when `remoteAllowed`.
    Host(FuzzedDataProvider &in, bool remoteAllowed) {
        info.maxRegsPerFrame = anyCount(in, 32, 125, 256); // 1 cuts plans into single registers
        info.defaultStation = anyInt(in, 1, 3);
        info.retryLimit = anyInt(in, -1, 3);
        info.multiStation = in.ConsumeBool();
        info.remoteMode = remoteAllowed && in.ConsumeIntegralInRange(0, 3) == 0;
        info.localNodeId = in.ConsumeIntegralInRange(0, 1);
        info.writeMode = in.ConsumeIntegralInRange(0, 3) == 0 ? anyInt(in, 0, 2) : PLC_WRITE_TO_PLC;
        info.hostHandle = kHandle;
        active() = this;
        d.setComInfo(&info);
        d.setCallbacks(onCompletion, onNotify);
    }
    ~Host() {
        d.~ModbusTcpDriver();
        active() = nullptr;
    }
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    qint64 limit() const { return std::max(info.maxRegsPerFrame, 1); }
    int stationOf(int station) const { return info.multiStation ? station : info.defaultStation; }
    bool pending() const { return retry_ || pairWrite_; }

    // --- requests: each gets keys of its own ---

    int writeValues(int regType, const QString &address, int station, const QByteArray &value,
                    int count) {
        const bool toPlc = info.writeMode == PLC_WRITE_TO_PLC;
        Request r;
        r.write = true;
        r.station = stationOf(station);
        r.regType = regType;
        if (plc::isKnownType(regType)) {
            const bool doubleWords = plc::kindOf(regType) == plc::ElementKind::DoubleWord;
            r.first = parseAddressText(regType, address);
            r.end = r.first + (doubleWords ? (qint64(count) + 1) / 2 : count);
            r.piece = valueWidth(regType) == 1 ? 1 : limit();
        }
        r.value = value;
        const Keys keys = open(r);
        const int result = d.writeValues(QStringLiteral("w"), regType, address, station, value,
                                         count, keys.first, keys.second);
        FUZZ_CHECK(result >= 0);
        settle(keys, result == 0 || !toPlc ? Expect::None : Expect::One);
        if (result != 0 && toPlc)
            queuedWrite(keys, true);
        return result;
    }

    int queueWrite(RW_VAR var, int mode) {
        const Keys keys = open(asIs(var, true));
        const int result = d.queueWrite(&tagged(var, keys), mode);
        FUZZ_CHECK(result >= 0);
        settle(keys, result == 0 ? Expect::None : Expect::One);
        if (result != 0)
            queuedWrite(keys, mode != PLC_ADD_AS_IS);
        return result;
    }

    int queueOnceRead(RW_VAR var, int mode) {
        Request r = asIs(var, false);
        if (mode != PLC_ADD_AS_IS) { // in register terms, cut into requests
            plc::RegisterSpan span{var.regAddr, var.count};
            if (plc::isKnownType(var.regType)) {
                const int address = parseAddressText(var.regType, var.address);
                span = plc::registerSpanOf(plc::kindOf(var.regType), address, var.count);
                r.regType = plc::areaOf(var.regType);
            }
            r.asIs = false;
            r.station = stationOf(var.station);
            r.first = span.first;
            r.end = span.end();
            r.piece = limit();
        }
        const Keys keys = open(r);
        const int count = var.count; // the call leaves the last request's terms in `var`
        const int result = d.queueOnceRead(&tagged(var, keys), mode);
        FUZZ_CHECK(result >= 0);
        // Nothing is queued for no registers, or when the call refuses (0).
        const bool queued = result != 0 && (mode == PLC_ADD_AS_IS || count >= 1);
        const bool local = var.nodeId == info.localNodeId;
        settle(keys, !queued ? Expect::None : local ? Expect::One : Expect::AtMostOne);
        if (queued && r.asIs)
            queuedRecords_ += 1;
        else if (queued)
            queuedRecords_ += std::clamp<qint64>((r.end - r.first) / r.piece + 1, 1, 2048);
        return result;
    }

    // A block the host appends to the cyclic list itself: never reported.
    int appendCyclicBlock(RW_VAR var) {
        const Keys keys = open(asIs(var, false));
        const int result = d.appendCyclicBlock(&tagged(var, keys));
        settle(keys, Expect::None);
        return result;
    }

    PlanFacts rebuildReadList(QList<HOSTVAR> vars) {
        PlanFacts facts = notePlan(vars);
        facts.blocks = d.rebuildReadList(&vars);
        FUZZ_CHECK(facts.blocks >= 0 && facts.blocks <= facts.mostBlocks);
        if (!info.multiStation)
            FUZZ_CHECK(facts.blocks == 0); // one station: the plan's size is not returned
        return facts;
    }

    // --- the loop ---

    // One turn of the host's loop: the next frame, answered by a healthy peer
    // when `in` is null, else as the input picks. False when there was
    // nothing to send.
    bool exchange(FuzzedDataProvider *in) {
        const Protocol *offered = d.nextRequest();
        if (!offered) {
            FUZZ_CHECK(!pending()); // a prepared frame always goes first
            return false;
        }
        Sent s{*offered, remote_, false};
        if (!pending())
            s.remote = remote_ = info.remoteMode != 0;
        checkOffered(s);

        QByteArray reply = in ? fuzzedReply(s, *in) : healthyReply(s, quint8(exchanges_++));
        int length = reply.size();
        if (in && in->ConsumeIntegralInRange(0, 15) == 0)
            length = anyCount(*in, 0, 300); // a host that miscounts
        doneKeys_.clear();
        inReply_ = true;
        const RW_VAR *r = d.handleReply(&reply, length);
        inReply_ = false;
        FUZZ_CHECK(r);
        judged(s, reply, length, r->result);
        return true;
    }

    // Every station on, the cyclic list emptied, and a peer that answers:
    // the queues drain, and then every request has had its reports.
    void drain() {
        d.switchStation(-1, PLC_STATION_ON);
        QList<HOSTVAR> none;
        d.rebuildReadList(&none);
        info.retryLimit = 1; // a record that no peer can answer gives up soon
        // Up to two frames per record, each tried twice; three idle turns in
        // a row (writes, one-shot reads, cyclic list) find every queue empty.
        const qint64 bound = 4 * queuedRecords_ + 16;
        int idle = 0;
        for (qint64 turn = 0; turn < bound && idle < 3; ++turn)
            idle = exchange(nullptr) ? 0 : idle + 1;
        FUZZ_CHECK(idle == 3);
        for (const auto &entry : ledger_) {
            const Request &r = entry.second;
            FUZZ_CHECK(r.expect == Expect::AtMostOne ||
                       r.reports == (r.expect == Expect::One ? 1 : 0));
        }
    }

    // The registers of `area` at `station` from `first` on show `registers`
    // (big-endian, as on the wire) where the store holds them, 0 elsewhere.
    void expectStored(int area, int station, qint64 first, const QByteArray &registers) {
        const qint64 from = std::max<qint64>(first, 0);
        const qint64 to = std::min<qint64>(first + registers.size() / 2, modbus::kMaxAddress + 1);
        if (from >= to)
            return;
        QByteArray data;
        const int ok = d.readValues(6 + area, QString::number(from), station, data, int(to - from));
        if (info.multiStation && (station < 0 || station >= kStationCount)) {
            FUZZ_CHECK(ok == 0);
            return;
        }
        QByteArray expected = registers.mid(int(2 * (from - first)), int(2 * (to - from)));
        const qint64 held = info.multiStation ? to : std::min<qint64>(to, kImageRegisters[area]);
        if (held < to) // registers beyond the images read as 0
            std::fill(expected.begin() + 2 * std::max<qint64>(held - from, 0), expected.end(), 0);
        FUZZ_CHECK(ok == 1 && swapPairs(data) == expected);
    }

private:
    std::map<Keys, Request> ledger_;
    int lastTag_ = 0;
    qint64 queuedRecords_ = 0; // at least the records queued
    // The write records queued, by target (station, type, address, count):
    // a newer write to a target replaces a waiting record, whose request may
    // then end unreported.
    std::multimap<std::tuple<int, int, qint64, qint64>, Keys> writeTargets_;
    std::map<std::pair<int, int>, Span> planHull_; // by (area, station)

    bool remote_ = false;       // the batch of frames in hand is remote-area records
    std::optional<Sent> retry_; // the frame that must come again
    std::optional<PairWrite> pairWrite_;
    bool sentModbus_ = false;
    int lastTransactionId_ = 0;
    bool inReply_ = false;
    std::vector<Keys> doneKeys_; // reported done during the current reply
    int exchanges_ = 0;          // healthy ones: varies their data

    static Host *&active() {
        static Host *host = nullptr;
        return host;
    }

    static RW_VAR &tagged(RW_VAR &var, const Keys &keys) {
        var.hostTag0 = keys.first;
        var.hostTag1 = keys.second;
        return var;
    }

    static Request asIs(const RW_VAR &var, bool write) {
        Request r;
        r.write = write;
        r.asIs = true;
        r.station = var.station;
        r.regType = var.regType;
        r.first = var.regAddr;
        r.end = qint64(var.regAddr) + var.count;
        return r;
    }

    // Enters a request; reports during its queueing call count towards it.
    Keys open(const Request &r) {
        ++lastTag_;
        const Keys keys{lastTag_, lastTag_};
        ledger_[keys] = r;
        return keys;
    }

    // `expect` holds for a request the queueing call did not report; one it
    // refused with a report at once (a full queue) has had its one report.
    void settle(const Keys &keys, Expect expect) {
        Request &r = ledger_.at(keys);
        r.expect = r.reports != 0 ? Expect::One : expect;
    }

    // A write the driver took, unless the queueing call refused it with a
    // report (a full queue). Merged into the queue, its records may replace
    // waiting ones of older requests.
    void queuedWrite(const Keys &keys, bool merges) {
        const Request &r = ledger_.at(keys);
        if (r.reports != 0)
            return;
        std::vector<std::tuple<int, int, qint64, qint64>> targets;
        if (r.asIs)
            targets.emplace_back(r.station, r.regType, r.first, r.end - r.first);
        for (qint64 at = r.first; !r.asIs && at < r.end; at += r.piece)
            targets.emplace_back(r.station, r.regType, at, std::min(r.piece, r.end - at));
        for (const auto &target : targets) {
            const auto [from, to] = writeTargets_.equal_range(target);
            for (auto it = from; merges && it != to; ++it) {
                Request &older = ledger_.at(it->second);
                if (older.expect == Expect::One)
                    older.expect = Expect::AtMostOne;
            }
            writeTargets_.emplace(target, keys);
        }
        queuedRecords_ += qint64(targets.size());
    }

    // The host's variables in register terms: what the rebuild can read,
    // grouped by area and station (with several stations cut to the
    // registers the wire reaches, and into requests).
    PlanFacts notePlan(const QList<HOSTVAR> &vars) {
        PlanFacts facts;
        // Pieces and reachable registers by (area, station).
        std::map<std::pair<int, int>, std::pair<qint64, qint64>> groups;
        for (const HOSTVAR &v : vars) {
            const int address = parseAddressText(v.regType, v.address);
            if (!plc::isKnownType(v.regType) || v.count < 1 || address < 0)
                continue;
            const plc::RegisterSpan span =
                plc::registerSpanOf(plc::kindOf(v.regType), address, v.count);
            if (span.end() > INT_MAX)
                continue;
            const int area = plc::areaOf(v.regType);
            const int station = stationOf(v.station);
            const qint64 reachable = modbus::kMaxAddress + 1 - wireOffset(area);
            const qint64 first = span.first;
            const qint64 end =
                info.multiStation ? std::min<qint64>(span.end(), reachable) : span.end();
            if (end <= first)
                continue;
            ++facts.usable;
            Span &hull = planHull_.try_emplace({area, station}, Span{first, end}).first->second;
            hull = {std::min(hull.first, first), std::max(hull.end, end)};
            auto &group = groups.try_emplace({area, station}, 0, reachable).first->second;
            const qint64 registers = end - first;
            group.first += info.multiStation ? (registers + limit() - 1) / limit() : 1;
            const qint64 longest = info.multiStation ? std::min(registers, limit()) : registers;
            facts.answerable = facts.answerable && station >= 1 && station <= modbus::kMaxUnitId &&
                               limit() <= 127 && longest <= 127 && end <= reachable;
        }
        for (const auto &entry : groups)
            facts.mostBlocks += std::min(entry.second.first, entry.second.second);
        return facts;
    }

    // --- frames ---

    void checkOffered(Sent &s) {
        const Protocol &p = s.p;
        FUZZ_CHECK(p.frameLen == p.frame.size());
        const bool retry = retry_.has_value();
        const bool fresh = !retry && !pairWrite_; // built now, in the mode of now
        if (retry) {
            FUZZ_CHECK(p.frame == retry_->p.frame && keysOf(p.var) == keysOf(retry_->p.var));
            retry_.reset();
        } else if (pairWrite_) {
            const QByteArray &f = p.frame;
            // Function 6 to the register just read, with the new byte merged in.
            FUZZ_CHECK(f.size() == modbus::kRequestLength && keysOf(p.var) == pairWrite_->keys);
            FUZZ_CHECK(byteAt(f, modbus::kUnitIdOffset) == pairWrite_->unit &&
                       byteAt(f, modbus::kFunctionOffset) == 6);
            FUZZ_CHECK(u16(f, modbus::kAddressOffset) == pairWrite_->reg &&
                       u16(f, modbus::kSingleValueOffset) == pairWrite_->value);
            pairWrite_.reset();
        }
        if (keysOf(p.var) == kPlanKeys) {
            checkPlanBlock(p.var);
        } else {
            const auto it = ledger_.find(keysOf(p.var));
            FUZZ_CHECK(it != ledger_.end()); // every frame serves a request of the host's
            s.write = it->second.write;
            checkServes(p.var, it->second);
        }
        if (s.remote) {
            checkRemoteRecord(s);
            return;
        }
        checkModbusFrame(s, fresh);
        const int transactionId = u16(p.frame, modbus::kTransactionIdOffset);
        if (!retry)
            FUZZ_CHECK(!sentModbus_ || transactionId != lastTransactionId_);
        sentModbus_ = true;
        lastTransactionId_ = transactionId;
    }

    // The record lies within its request: unchanged when queued as is, else
    // a piece of it with the host's value bytes for its elements.
    static void checkServes(const RW_VAR &v, const Request &r) {
        FUZZ_CHECK(v.regType == r.regType && v.station == r.station);
        if (r.asIs) {
            FUZZ_CHECK(v.regAddr == r.first && qint64(v.regAddr) + v.count == r.end);
            return;
        }
        FUZZ_CHECK(v.count >= 1 && v.count <= r.piece && v.regAddr >= r.first &&
                   qint64(v.regAddr) + v.count <= r.end);
        if (r.write) {
            const int width = valueWidth(r.regType);
            FUZZ_CHECK(v.value ==
                       valuePiece(r.value, (v.regAddr - r.first) * width, qint64(v.count) * width));
        }
    }

    // A plan block reads registers of one area of one station within the
    // variables planned for them.
    void checkPlanBlock(const RW_VAR &v) const {
        FUZZ_CHECK(v.regType >= plc::InputArea && v.regType <= plc::ExtendedArea && v.count >= 1);
        const auto it = planHull_.find({v.regType, v.station});
        FUZZ_CHECK(it != planHull_.end());
        FUZZ_CHECK(v.regAddr >= it->second.first && qint64(v.regAddr) + v.count <= it->second.end);
    }

    // The function, first register (or coil) and register count that the
    // record of a frame names. `function` is the frame's, needed only for a
    // byte write: its read half (3) and its write (6) address one register.
    struct WireAccess {
        int function;
        qint64 first;
        qint64 count;
    };

    static WireAccess namedAccess(const RW_VAR &v, bool write, int function) {
        if (!write) {
            FUZZ_CHECK(v.regType >= plc::InputArea && v.regType <= plc::ExtendedArea);
            return {v.regType == plc::InputArea ? 4 : 3, v.regAddr + wireOffset(v.regType),
                    v.count};
        }
        FUZZ_CHECK(plc::isWritable(v.regType));
        const qint64 offset = wireOffset(plc::areaOf(v.regType));
        switch (plc::kindOf(v.regType)) {
        case plc::ElementKind::Bit: return {5, v.regAddr + offset, 1};
        case plc::ElementKind::Byte:
            FUZZ_CHECK(v.regAddr >= 0);
            FUZZ_CHECK(function == 6 ||
                       (function == 3 && v.aux0 == -1 && v.accessKind == PLC_ACCESS_READ));
            return {function, v.regAddr / 2 + offset, 1};
        case plc::ElementKind::Word: return {v.count == 1 ? 6 : 16, v.regAddr + offset, v.count};
        case plc::ElementKind::DoubleWord: break;
        }
        return {16, 2 * qint64(v.regAddr) + offset, 2 * qint64(v.count)};
    }

    void checkModbusFrame(const Sent &s, bool fresh) const {
        using namespace modbus;
        const Protocol &p = s.p;
        const RW_VAR &v = p.var;
        const QByteArray &f = p.frame;
        const int n = f.size();
        FUZZ_CHECK(n >= kRequestLength && n <= kMaxAduLength);
        FUZZ_CHECK(u16(f, kProtocolIdOffset) == 0 &&
                   u16(f, kLengthOffset) == n - kLengthFieldStart);
        // Several stations are unit identifiers; one station sends its low byte.
        FUZZ_CHECK(!fresh || !info.multiStation || (v.station >= 0 && v.station <= kMaxUnitId));
        FUZZ_CHECK(byteAt(f, kUnitIdOffset) == (v.station & 0xFF));
        const int function = byteAt(f, kFunctionOffset);
        const WireAccess named = namedAccess(v, s.write, function);
        FUZZ_CHECK(function == named.function);
        // No address wraps: every register lies within 0..65535.
        FUZZ_CHECK(named.first >= 0 && named.count >= 0 &&
                   named.first + std::max<qint64>(named.count, 1) - 1 <= kMaxAddress);
        FUZZ_CHECK(u16(f, kAddressOffset) == named.first);
        const int field = u16(f, kQuantityOffset);
        switch (function) {
        case 3:
        case 4:
            FUZZ_CHECK(n == kRequestLength && field == named.count);
            if (named.count <= kMaxReadRegisters)
                FUZZ_CHECK(p.replyLen == readReplyLength(field));
            if (!s.write && named.count <= kMaxReadRegisters) // a block, not a read half
                FUZZ_CHECK(p.replyHeadLen == kReplyDataOffset && p.dataLen == 2 * field);
            break;
        case 5:
            FUZZ_CHECK(n == kRequestLength && field == (byteAt(v.value, 0) != 0 ? kCoilOn : 0));
            break;
        case 6: // a word; a byte write's value comes from its read half
            FUZZ_CHECK(n == kRequestLength);
            if (plc::kindOf(v.regType) == plc::ElementKind::Word)
                FUZZ_CHECK(field == valueWord(v.value, 0));
            break;
        default:
            FUZZ_CHECK(field == named.count && n == writeMultipleLength(field) &&
                       byteAt(f, kWriteByteCountOffset) == 2 * field);
            FUZZ_CHECK(f.mid(kWriteDataOffset) == swapPairs(valuePiece(v.value, 0, 2 * field)));
        }
        if (isWriteFunction(function))
            FUZZ_CHECK(p.replyLen == (v.station == 0 ? 0 : kWriteReplyLength));
    }

    // A remote-area record: length byte (mod 256), the record's fields (low
    // bytes of the narrow ones), a write's value, the 8-bit sum at the end.
    static void checkRemoteRecord(const Sent &s) {
        const Protocol &p = s.p;
        const RW_VAR &v = p.var;
        const QByteArray &f = p.frame;
        const int n = f.size();
        FUZZ_CHECK(n >= 22 && byteAt(f, 0) == (n & 0xFF));
        unsigned sum = 0;
        for (int i = 0; i < n - 1; ++i)
            sum += unsigned(byteAt(f, i));
        FUZZ_CHECK(byteAt(f, n - 1) == int(sum & 0xFF));
        FUZZ_CHECK(byteAt(f, 1) == (v.hostTag0 & 0xFF) && byteAt(f, 2) == (v.accessKind & 0xFF) &&
                   byteAt(f, 3) == (v.nodeId & 0xFF) && byteAt(f, 4) == (v.station & 0xFF));
        FUZZ_CHECK(u16(f, 5) == (v.regType & 0xFFFF) && u16(f, 11) == (v.count & 0xFFFF));
        FUZZ_CHECK((quint32(u16(f, 7)) << 16 | quint32(u16(f, 9))) == quint32(v.regAddr));
        if (s.write) {
            FUZZ_CHECK(f.mid(21, n - 22) == v.value && p.replyLen == (v.station == 0 ? 0 : 12));
        } else {
            FUZZ_CHECK(n == 22 && v.station != 0 && v.regType >= plc::InputArea &&
                       v.regType <= plc::ExtendedArea);
            FUZZ_CHECK(p.replyLen == p.replyHeadLen + p.dataLen &&
                       p.dataLen == quint16(2 * quint32(v.count)));
        }
    }

    // --- replies ---

    // The answer of a healthy peer: a write's echo, a read's registers (a
    // byte count holds no more than 127), any bytes of the length a remote
    // record asks.
    static QByteArray healthyReply(const Sent &s, quint8 pattern) {
        const Protocol &p = s.p;
        if (p.replyLen <= 0)
            return {};
        QByteArray reply;
        const QByteArray &f = p.frame;
        if (s.remote) {
            reply.resize(p.replyLen);
        } else if (isWriteFunction(byteAt(f, modbus::kFunctionOffset))) {
            reply = f.left(modbus::kWriteReplyLength);
            reply[modbus::kLengthOffset] = 0;
            reply[modbus::kLengthOffset + 1] =
                char(modbus::kWriteReplyLength - modbus::kLengthFieldStart);
            return reply;
        } else {
            const int registers = std::min(u16(f, modbus::kQuantityOffset), 127);
            reply = f.left(modbus::kFunctionOffset + 1);
            reply[modbus::kLengthOffset] = 0;
            reply[modbus::kLengthOffset + 1] = char(3 + 2 * registers);
            reply.append(char(2 * registers));
            reply.resize(modbus::readReplyLength(registers));
        }
        char *bytes = reply.data();
        for (int i = s.remote ? 0 : modbus::kReplyDataOffset; i < reply.size(); ++i)
            bytes[i] = char(pattern + 7 * i);
        return reply;
    }

    // What a faulty network or peer may hand back.
    static QByteArray fuzzedReply(const Sent &s, FuzzedDataProvider &in) {
        QByteArray good = healthyReply(s, in.ConsumeIntegral<quint8>());
        switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: return good;
        case 1: return {};
        case 2: return good.left(good.size() - in.ConsumeIntegralInRange(1, 12));
        case 3: return good + anyBytes(in, 12);
        case 4: { // an exception response, perhaps cut short
            QByteArray e = s.p.frame.left(modbus::kExceptionReplyLength);
            if (e.size() == modbus::kExceptionReplyLength) {
                e[modbus::kLengthOffset + 1] = 3;
                e[modbus::kFunctionOffset] =
                    char(byteAt(e, modbus::kFunctionOffset) | modbus::kExceptionFlag);
                e[modbus::kExceptionCodeOffset] = char(in.ConsumeIntegralInRange(1, 11));
            }
            return e.left(e.size() - in.ConsumeIntegralInRange(0, 1));
        }
        case 5: // another transaction, protocol or function
            if (good.size() > modbus::kFunctionOffset) {
                const int at = in.PickValueInArray({0, 1, 2, 3, modbus::kFunctionOffset});
                good[at] = char(good.at(at) ^ in.ConsumeIntegralInRange(1, 255));
            }
            return good;
        case 6:
            for (int flips = in.ConsumeIntegralInRange(1, 4); flips > 0 && !good.isEmpty(); --flips)
                good[in.ConsumeIntegralInRange(0, good.size() - 1)] =
                    char(in.ConsumeIntegral<quint8>());
            return good;
        default: return anyBytes(in, 300);
        }
    }

    // After a reply: the result code fits it, an accepted read's data is in
    // the store, and what the driver must offer next is noted.
    void judged(const Sent &s, const QByteArray &reply, int length, int result) {
        const RW_VAR &v = s.p.var;
        const bool remoteFamily = v.nodeId != info.localNodeId;
        const int base = remoteFamily ? PLC_RESULT_REMOTE_DONE : 0;
        const int k = v.hostTag0 >= 0 && v.hostTag0 <= 11 ? v.hostTag0 + 1 : 1;
        const bool accepted =
            result == PLC_RESULT_DONE || (remoteFamily && result == PLC_RESULT_REMOTE_DONE);
        const bool givenUp = result == base + PLC_RESULT_INVALID_ACCESS + k ||
                             result == base + PLC_RESULT_NO_REPLY + k ||
                             result == base + PLC_RESULT_BAD_REPLY + k;
        FUZZ_CHECK(result == PLC_RESULT_RETRY_PENDING || accepted || givenUp);
        if (length == 0 && s.p.replyLen != 0)
            FUZZ_CHECK(result == PLC_RESULT_RETRY_PENDING ||
                       result == base + PLC_RESULT_NO_REPLY + k);
        if (result == PLC_RESULT_RETRY_PENDING)
            FUZZ_CHECK(info.retryCount >= 1 && info.retryCount <= info.retryLimit);
        else
            FUZZ_CHECK(info.retryCount == 0);
        for (const Keys &keys : doneKeys_)
            FUZZ_CHECK(accepted && keys == keysOf(v));

        if (result == PLC_RESULT_RETRY_PENDING)
            retry_ = s;
        if (!accepted)
            return;
        if (!s.remote)
            expectAnswered(s, reply, length, !remoteFamily); // another node's area stores nothing
        const int function = byteAt(s.p.frame, modbus::kFunctionOffset);
        if (s.write && !s.remote && function == 3)
            mergedByteWrite(s, reply);
        else if (!s.write && v.accessKind == PLC_ACCESS_READ && !remoteFamily)
            expectStored(v.regType, v.station, v.regAddr, reply.mid(s.p.replyHeadLen, s.p.dataLen));
    }

    // An accepted Modbus reply answers its request in the bytes the host
    // handed over: the same transaction, protocol 0 and the same function; a
    // write's exact echo (or silence after a broadcast), a read's byte count,
    // and all its registers when they are to be stored.
    static void expectAnswered(const Sent &s, const QByteArray &reply, int length, bool stores) {
        using namespace modbus;
        const QByteArray &f = s.p.frame;
        const int function = byteAt(f, kFunctionOffset);
        const int n = std::min(length, reply.size());
        if (isWriteFunction(function)) {
            if (length == 0 && s.p.replyLen == 0)
                return;
            FUZZ_CHECK(length == kWriteReplyLength && n == kWriteReplyLength);
            FUZZ_CHECK(reply.mid(kFunctionOffset, 5) == f.mid(kFunctionOffset, 5));
        } else if (s.p.var.accessKind == PLC_ACCESS_READ) {
            FUZZ_CHECK(length == s.p.replyLen && (n == length || !stores));
            if (n > kReplyByteCountOffset)
                FUZZ_CHECK(byteAt(reply, kReplyByteCountOffset) == 2 * u16(f, kQuantityOffset));
        }
        if (n > kFunctionOffset) {
            FUZZ_CHECK(u16(reply, kTransactionIdOffset) == u16(f, kTransactionIdOffset));
            FUZZ_CHECK(u16(reply, kProtocolIdOffset) == 0 && byteAt(reply, kFunctionOffset) == function);
        }
    }

    // The read half of a byte write was answered: its register holds the
    // register as read with the new byte in its half (high for an odd byte
    // address), and the write half must send just that.
    void mergedByteWrite(const Sent &s, const QByteArray &reply) {
        const RW_VAR &v = s.p.var;
        const int read = u16(reply, modbus::kReplyDataOffset);
        const int newByte = byteAt(v.value, 0);
        const int merged = v.regAddr % 2 ? newByte << 8 | (read & 0xFF) : (read & 0xFF00) | newByte;
        const char wire[] = {char(merged >> 8), char(merged)};
        expectStored(plc::areaOf(v.regType), v.station, v.regAddr / 2, QByteArray(wire, 2));
        pairWrite_ =
            PairWrite{keysOf(v), v.station & 0xFF, u16(s.p.frame, modbus::kAddressOffset), merged};
    }

    // --- callbacks ---

    static int onCompletion(int handle, int tag0, int tag1, int status) {
        Host &h = *active();
        FUZZ_CHECK(handle == kHandle);
        FUZZ_CHECK(status == PLC_COMPLETION_DONE || status == PLC_COMPLETION_FAILED);
        const auto it = h.ledger_.find({tag0, tag1});
        FUZZ_CHECK(it != h.ledger_.end()); // only requests of the host are reported
        Request &r = it->second;
        FUZZ_CHECK(r.expect != Expect::None && ++r.reports == 1); // never twice, so never both
        if (status == PLC_COMPLETION_DONE) {
            FUZZ_CHECK(h.inReply_); // done only when a reply came
            h.doneKeys_.push_back({tag0, tag1});
        }
        return 0;
    }

    static int onNotify(QList<RW_VAR> list, int, int flag) {
        FUZZ_CHECK(list.isEmpty() && flag == 1);
        return 0;
    }
};

} // namespace fuzz

#endif // FUZZ_SUPPORT_H
