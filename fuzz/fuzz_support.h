// Shared pieces of the fuzz targets: a private driver wired to a settings
// record, the host's half of the communication loop, and the invariants that
// every step must keep whatever the input: frames are well formed, the images
// change only where the step may write, the queues stay within their caps,
// result codes are known ones and callbacks run under the queue lock.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include "modbus_rtu_master.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

namespace fuzz {

// Registers [first, end) of one area's image.
struct RegRange {
    int area;
    qint64 first;
    qint64 end;
};
using RegRanges = std::vector<RegRange>;

// The registers that `count` elements of `regType` starting at element
// address `addr` occupy in the image of the type's area.
inline RegRange writeRange(int regType, qint64 addr, qint64 count) {
    const int area = getPlcType(regType);
    if (area > 2 || count < 1)
        return {0, 0, 0};
    const qint64 last = addr + count - 1;
    switch (regType / 3) {
    case 0:
        return {area, addr >> 4, (last >> 4) + 1};
    case 1:
        return {area, addr >> 1, (last >> 1) + 1};
    case 2:
        return {area, addr, last + 1};
    default:
        return {area, 2 * addr, 2 * last + 2};
    }
}

// The registers a reply to frame `p` may store: the block it reads, or the
// register holding the byte of a byte write's read half.
inline RegRange replyRange(const Protocol &p) {
    const RW_VAR &v = p.var;
    if (v.regType == 4 || v.regType == 5) {
        const qint64 reg = (v.regAddr / 2) & 0xFFFF;
        return {v.regType % 3, reg, reg + 1};
    }
    if (v.regType >= 0 && v.regType <= 2)
        return {v.regType, v.regAddr, qint64(v.regAddr) + p.dataLen / 2};
    return {0, 0, 0};
}

inline bool covers(const RegRanges &allowed, int area, qint64 reg) {
    for (const RegRange &r : allowed)
        if (r.area == area && reg >= r.first && reg < r.end)
            return true;
    return false;
}

// A copy of the three images, to compare after a step.
struct Images {
    std::vector<quint16> area[3];
    explicit Images(const Modbus_RTU_Master &d)
        : area{{d.InputImage, d.InputImage + kInputRegs},
               {d.HoldingImage, d.HoldingImage + kHoldingRegs},
               {d.ExtHoldingImage, d.ExtHoldingImage + kExtRegs}} {}

    // Every register that differs in `d` lies in one of `allowed`.
    void expectChangesWithin(const Modbus_RTU_Master &d, const RegRanges &allowed) const {
        const quint16 *now[3] = {d.InputImage, d.HoldingImage, d.ExtHoldingImage};
        for (int a = 0; a < 3; ++a) {
            const size_t n = area[a].size();
            if (std::memcmp(area[a].data(), now[a], n * sizeof(quint16)) == 0)
                continue;
            for (size_t reg = 0; reg < n; ++reg)
                if (area[a][reg] != now[a][reg])
                    FUZZ_CHECK(covers(allowed, a, qint64(reg)));
        }
    }
};

inline int byteAt(const QByteArray &b, int i) { return quint8(b.at(i)); }

// A Modbus TCP request: MBAP header with transaction and protocol 0, length
// = frame length - 6, unit = low byte of the station, a known function code
// with its own layout; the expected reply length of a read matches it.
inline void checkModbusFrame(const Protocol &p) {
    const QByteArray &f = p.frame;
    const int n = f.size();
    FUZZ_CHECK(n >= 12);
    for (int i = 0; i < 4; ++i)
        FUZZ_CHECK(byteAt(f, i) == 0);
    FUZZ_CHECK(((byteAt(f, 4) << 8) | byteAt(f, 5)) == ((n - 6) & 0xFFFF));
    FUZZ_CHECK(byteAt(f, 6) == (p.var.station & 0xFF));
    const int function = byteAt(f, 7);
    const int quantity = (byteAt(f, 10) << 8) | byteAt(f, 11);
    switch (function) {
    case 3:
    case 4:
        FUZZ_CHECK(n == 12);
        FUZZ_CHECK(p.replyLen == 9 + ((2 * quantity) & 0xFFFF));
        break;
    case 5:
        FUZZ_CHECK(n == 12);
        FUZZ_CHECK((byteAt(f, 10) == 0xFF || byteAt(f, 10) == 0) && byteAt(f, 11) == 0);
        break;
    case 6:
        FUZZ_CHECK(n == 12);
        break;
    case 16:
        FUZZ_CHECK(n == 13 + 2 * quantity);
        FUZZ_CHECK(byteAt(f, 12) == ((2 * quantity) & 0xFF));
        break;
    default:
        FUZZ_CHECK(!"function code outside 3, 4, 5, 6, 16");
    }
}

// A remote-area record: length byte = length mod 256, 8-bit sum at the end.
inline void checkRemoteFrame(const Protocol &p) {
    const QByteArray &f = p.frame;
    const int n = f.size();
    FUZZ_CHECK(n >= 22);
    FUZZ_CHECK(byteAt(f, 0) == (n & 0xFF));
    unsigned sum = 0;
    for (int i = 0; i < n - 1; ++i)
        sum += unsigned(byteAt(f, i));
    FUZZ_CHECK(byteAt(f, n - 1) == (sum & 0xFF));
    FUZZ_CHECK(byteAt(f, 4) == (p.var.station & 0xFF));
}

inline void checkFrame(const Protocol &p, bool remote) {
    FUZZ_CHECK(p.frameLen == p.frame.size());
    FUZZ_CHECK(p.replyLen >= -1);
    if (remote)
        checkRemoteFrame(p);
    else
        checkModbusFrame(p);
}

inline bool knownResult(int r) {
    if (r == 0 || r == 1 || r == 100)
        return true;
    for (int base : {10, 40, 70, 110, 140, 170})
        if (r > base && r <= base + 12)
            return true;
    return false;
}

// The reply a healthy peer gives to `p`: the request's header, then data.
inline QByteArray plausibleReply(const Protocol &p, quint8 pattern) {
    if (p.replyLen <= 0)
        return {};
    QByteArray reply(p.replyLen, '\0');
    const bool modbus = p.frame.size() >= 12 && byteAt(p.frame, 0) == 0;
    for (int i = 0; i < reply.size(); ++i)
        reply[i] = char(pattern + 7 * i);
    if (modbus) {
        for (int i = 0; i < 8 && i < reply.size(); ++i)
            reply[i] = p.frame.at(i);
        if (reply.size() > 5) {
            reply[4] = char(((reply.size() - 6) >> 8) & 0xFF);
            reply[5] = char((reply.size() - 6) & 0xFF);
        }
        if (reply.size() > 8)
            reply[8] = char((reply.size() - 9) & 0xFF);
    } else if (reply.size() > 7) {
        reply[7] = 0;
    }
    return reply;
}

inline QString addressText(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0:
        return QString::number(in.ConsumeIntegralInRange(0, 1100));
    case 1:
        return QString::number(in.ConsumeIntegralInRange(0, 9000));
    case 2:
        return QStringLiteral("%1.%2")
            .arg(in.ConsumeIntegralInRange(0, 2100))
            .arg(in.ConsumeIntegralInRange(0, 9));
    case 3:
        return QString::number(in.ConsumeIntegral<int>());
    default:
        return QString::fromLatin1(in.ConsumeRandomLengthString(12).c_str());
    }
}

// A private driver wired to its own settings and the checking callbacks, with
// the host's side of the loop. One per fuzz input, so each starts fresh.
class Loop {
public:
    ComInfo info{};
    std::unique_ptr<Modbus_RTU_Master> driver = std::make_unique<Modbus_RTU_Master>();
    Modbus_RTU_Master &d = *driver;

    explicit Loop(FuzzedDataProvider &in) {
        info.maxRegsPerFrame = in.ConsumeIntegralInRange(-1, 130);
        const int stations[] = {1, 1, 2, 0, 255, 300, -1};
        info.defaultStation = in.PickValueInArray(stations);
        info.retryLimit = in.ConsumeIntegralInRange(-1, 3);
        info.multiStation = in.ConsumeBool();
        info.remoteMode = in.ConsumeIntegralInRange(0, 3) == 0;
        info.localNodeId = in.ConsumeIntegralInRange(0, 1);
        info.writeMode = in.ConsumeIntegralInRange(0, 3) == 0 ? 0 : 2;
        info.hostHandle = kHandle;
        active() = this;
        d.SetComInfo(&info);
        d.RegistCallBackFuncIntf(onCompletion, onNotify);
    }
    ~Loop() { active() = nullptr; }
    Loop(const Loop &) = delete;
    Loop &operator=(const Loop &) = delete;

    // One turn of the host's loop: ask for a frame and answer it, with a
    // healthy reply when `in` is null, else with bytes and a length the fuzz
    // input picks. False when there was nothing to send.
    bool exchange(FuzzedDataProvider *in) {
        Protocol *p = request();
        if (!p)
            return false;
        QByteArray reply = in ? fuzzedReply(*p, *in) : plausibleReply(*p, quint8(steps));
        int length = reply.size();
        if (in && in->ConsumeIntegralInRange(0, 15) == 0)
            length = in->ConsumeIntegralInRange(-2, 70000); // a host that miscounts
        answer(reply, length);
        return true;
    }

    // Runs the loop with healthy replies until no write or one-shot read is
    // left: with every station on and a peer that answers, none may stay.
    void drain() {
        const int bound = 4 * (d.writeQueue.size() + d.onceQueue.size()) + 8;
        for (int i = 0; i < bound && !idle(); ++i)
            exchange(nullptr);
        FUZZ_CHECK(idle());
    }

    bool idle() const {
        return d.writeQueue.isEmpty() && d.onceQueue.isEmpty() && d.protocolQueue.isEmpty();
    }

    Protocol *request() {
        const bool fresh = d.protocolQueue.isEmpty();
        RegRanges allowed;
        if (info.multiStation == 0)
            for (const RW_VAR &w : d.writeQueue)
                allowed.push_back(writeRange(w.regType, w.regAddr, w.count));
        const Images before(d);
        Protocol *p = d.ComCommunication();
        before.expectChangesWithin(d, allowed);
        checkState();
        if (fresh)
            batchRemote = info.remoteMode != 0;
        if (p) {
            FUZZ_CHECK(p == &d.protocolQueue.first());
            for (const Protocol &queued : d.protocolQueue)
                checkFrame(queued, batchRemote);
        }
        ++steps;
        return p;
    }

    void answer(QByteArray &reply, int length) {
        RegRanges allowed;
        if (info.multiStation == 0 && !d.protocolQueue.isEmpty())
            allowed.push_back(replyRange(d.protocolQueue.first()));
        const Images before(d);
        RW_VAR *r = d.DataCom(&reply, length);
        FUZZ_CHECK(r == &d.resultRecord);
        FUZZ_CHECK(knownResult(r->result));
        before.expectChangesWithin(d, allowed);
        checkState();
        if (!d.protocolQueue.isEmpty())
            checkFrame(d.protocolQueue.first(), batchRemote);
    }

    // Queue caps, at most a two-frame request pending, a per-station store
    // that holds only registers of the three areas within 16-bit addresses.
    void checkState() {
        FUZZ_CHECK(d.writeQueue.size() <= kQueueCap);
        FUZZ_CHECK(d.onceQueue.size() <= kQueueCap);
        FUZZ_CHECK(d.protocolQueue.size() <= 2);
        FUZZ_CHECK(d.extendIndex.size() == d.extendList.size());
        for (; checkedExtend < d.extendList.size(); ++checkedExtend) {
            const EXTENDVAR &e = d.extendList.at(checkedExtend);
            FUZZ_CHECK(e.area >= 0 && e.area <= 2);
            FUZZ_CHECK(e.regAddr >= 0 && e.regAddr <= 0xFFFF);
        }
    }

    static constexpr int kHandle = 42;

private:
    bool batchRemote = false;
    int steps = 0;
    int checkedExtend = 0;

    static Loop *&active() {
        static Loop *loop = nullptr;
        return loop;
    }

    // Both callbacks run with the queue lock held (a host that calls back
    // into a queue entry point from them would deadlock).
    static void expectListLocked() {
        Modbus_RTU_Master &d = active()->d;
        const bool free = d.listMutex.tryLock();
        if (free)
            d.listMutex.unlock();
        FUZZ_CHECK(!free);
    }

    static int onCompletion(int handle, int, int, int status) {
        FUZZ_CHECK(handle == kHandle);
        FUZZ_CHECK(status == 1 || status == 2);
        expectListLocked();
        return 0;
    }

    static int onNotify(QList<RW_VAR> list, int, int flag) {
        FUZZ_CHECK(list.isEmpty());
        FUZZ_CHECK(flag == 1);
        expectListLocked();
        return 0;
    }

    // What a faulty network or peer may hand back for `p`.
    static QByteArray fuzzedReply(const Protocol &p, FuzzedDataProvider &in) {
        QByteArray good = plausibleReply(p, in.ConsumeIntegral<quint8>());
        switch (in.ConsumeIntegralInRange(0, 6)) {
        case 0:
            return good;
        case 1:
            return {};
        case 2:
            return good.left(good.size() - in.ConsumeIntegralInRange(1, 12));
        case 3:
            return good + QByteArray(in.ConsumeIntegralInRange(1, 12), '\x5A');
        case 4: { // exception response
            QByteArray e = p.frame.left(9);
            if (e.size() == 9) {
                e[5] = 3;
                e[7] = char(byteAt(e, 7) | 0x80);
                e[8] = 4;
            }
            return e;
        }
        case 5:
            for (int flips = in.ConsumeIntegralInRange(1, 4); flips > 0 && !good.isEmpty(); --flips)
                good[in.ConsumeIntegralInRange(0, int(good.size()) - 1)] = char(in.ConsumeIntegral<quint8>());
            return good;
        default: {
            const std::string raw = in.ConsumeRandomLengthString(300);
            return QByteArray(raw.data(), int(raw.size()));
        }
        }
    }
};

} // namespace fuzz

#endif // FUZZ_SUPPORT_H
