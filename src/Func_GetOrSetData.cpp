// Host value reads and writes against the local store.
//
// The store is the three register images (one station) or the per-station
// register records (several stations). Both are reached through a register
// store with get and set of one 16-bit register, so the element layout
// (bits, bytes, words and double words inside registers) is written once:
//   bit a:          register a / 16, bit a % 16 (bit 0 least significant)
//   byte b:         register b / 2, low half when b is even, high half when odd
//   word r:         register r
//   double word d:  registers 2d (lower 16 bits) and 2d + 1 (upper 16 bits)
// Registers outside a store read as 0 and are never written.
#include "modbus_rtu_master.h"

#include <climits>

namespace {

// Largest element count of one value read or write: bounds the work of a call
// and the per-station records it may create.
constexpr int kMaxElements = 65536;

enum ElementKind { kBit, kByte, kWord, kDoubleWord }; // register type / 3

quint8 byteAt(const QByteArray &bytes, qint64 i) {
    return i >= 0 && i < bytes.size() ? static_cast<quint8>(bytes.at(static_cast<int>(i))) : 0;
}

// The register holding an element, and the element's place in it. Negative
// element addresses land in register -1, which no store holds.
struct Slot {
    qint64 reg;
    int pos;
};

Slot slotOf(qint64 element, int perRegister) {
    if (element < 0)
        return {-1, 0};
    return {element / perRegister, static_cast<int>(element % perRegister)};
}

// One register image.
class ImageStore {
public:
    ImageStore(quint16 *image, int regs) : image(image), regs(regs) {}
    quint16 get(qint64 reg) const { return holds(reg) ? image[reg] : 0; }
    void set(qint64 reg, quint16 value) {
        if (holds(reg))
            image[reg] = value;
    }
    // Any value other than 1 clears a bit in an image.
    static bool newBit(quint8 value, bool) { return value == 1; }
    // A one-register double-word read shows the upper register of an image.
    static constexpr int kSingleDoubleWordRegister = 1;

private:
    bool holds(qint64 reg) const { return reg >= 0 && reg < regs; }
    quint16 *image;
    int regs;
};

// The registers of one station and area, one record each, created on first
// use. Only register addresses 0..65535 exist, so no input grows the store
// without bound. A record's bytes are low byte first; missing bytes read as 0.
class StationStore {
public:
    StationStore(Modbus_RTU_Master &d, int station, int area) : d(d), station(station), area(area) {}
    quint16 get(qint64 reg) const {
        if (!holds(reg))
            return 0;
        const QByteArray &bytes = d.extendList[d.ExtendFindSameVar(station, area, int(reg))].value;
        return static_cast<quint16>(byteAt(bytes, 0) | byteAt(bytes, 1) << 8);
    }
    void set(qint64 reg, quint16 value) {
        if (!holds(reg))
            return;
        QByteArray &bytes = d.extendList[d.ExtendFindSameVar(station, area, int(reg))].value;
        bytes.resize(2);
        bytes[0] = static_cast<char>(value);
        bytes[1] = static_cast<char>(value >> 8);
    }
    // In a station record 1 sets a bit, 0 clears it, other values keep it.
    static bool newBit(quint8 value, bool old) { return value <= 1 ? value == 1 : old; }
    // A one-register double-word read shows the lower register of a record.
    static constexpr int kSingleDoubleWordRegister = 0;

private:
    static bool holds(qint64 reg) { return reg >= 0 && reg <= 0xFFFF; }
    Modbus_RTU_Master &d;
    int station;
    int area;
};

// Runs fn on the store of one area (0..2; any other area has none): its
// image, or the station's records in multi-station mode. The caller holds
// dataMutex.
template <class Fn>
void withStore(Modbus_RTU_Master &d, int station, int area, Fn &&fn) {
    if (area < 0 || area > 2)
        return;
    if (d.comInfo && d.comInfo->multiStation) {
        StationStore store(d, station, area);
        fn(store);
        return;
    }
    const Modbus_RTU_Master::Image image = d.imageOfArea(area);
    ImageStore store(image.regs, image.size);
    fn(store);
}

void appendRegister(QByteArray &out, quint16 reg) {
    out.append(static_cast<char>(reg));
    out.append(static_cast<char>(reg >> 8));
}

// --- reads: each appends the value bytes the host sees -------------------

// One byte per bit, 0 or 1.
template <class Store>
void GetBitFromUS(QByteArray &out, Store &store, qint64 bitAddr, int count) {
    for (int i = 0; i < count; ++i) {
        const Slot at = slotOf(bitAddr + i, 16);
        out.append(static_cast<char>(store.get(at.reg) >> at.pos & 1));
    }
}

// Two bytes per byte: the byte, then 0.
template <class Store>
void GetByteFromUS(QByteArray &out, Store &store, qint64 byteAddr, int count) {
    for (int i = 0; i < count; ++i) {
        const Slot at = slotOf(byteAddr + i, 2);
        out.append(static_cast<char>(store.get(at.reg) >> 8 * at.pos));
        out.append('\0');
    }
}

// Low byte, then high byte, per register.
template <class Store>
void GetWordFromUS(QByteArray &out, Store &store, qint64 wordAddr, int count) {
    for (int i = 0; i < count; ++i)
        appendRegister(out, store.get(wordAddr + i));
}

// count counts registers: each pair is one double word, an odd last one is
// dropped. A count of 1 reads a single register of the double word.
template <class Store>
void GetIntFromUS(QByteArray &out, Store &store, qint64 dwordAddr, int count) {
    const qint64 first = 2 * dwordAddr;
    if (count == 1)
        appendRegister(out, store.get(first + Store::kSingleDoubleWordRegister));
    else
        GetWordFromUS(out, store, first, count / 2 * 2);
}

// --- writes: each stores the elements the value holds completely ----------

template <class Store>
void SetBitToUS(Store &store, qint64 bitAddr, const QByteArray &value, int count) {
    const int n = qMin(count, value.size());
    for (int i = 0; i < n; ++i) {
        const Slot at = slotOf(bitAddr + i, 16);
        const quint16 mask = static_cast<quint16>(1u << at.pos);
        const quint16 reg = store.get(at.reg);
        const bool on = Store::newBit(byteAt(value, i), reg & mask);
        store.set(at.reg, static_cast<quint16>(on ? reg | mask : reg & ~mask));
    }
}

template <class Store>
void SetByteToUS(Store &store, qint64 byteAddr, const QByteArray &value, int count) {
    const int n = qMin(count, value.size());
    for (int i = 0; i < n; ++i) {
        const Slot at = slotOf(byteAddr + i, 2);
        const int shift = 8 * at.pos;
        const quint16 kept = store.get(at.reg) & ~(0xFF << shift);
        store.set(at.reg, static_cast<quint16>(kept | byteAt(value, i) << shift));
    }
}

template <class Store>
void SetWordToUS(Store &store, qint64 wordAddr, const QByteArray &value, int count) {
    const int n = qMin(count, value.size() / 2);
    for (int i = 0; i < n; ++i)
        store.set(wordAddr + i, static_cast<quint16>(byteAt(value, 2 * i) |
                                                     byteAt(value, 2 * i + 1) << 8));
}

// A double word is two consecutive registers, lower 16 bits first.
template <class Store>
void SetWordToUI(Store &store, qint64 dwordAddr, const QByteArray &value, int count) {
    const int n = qMax(0, qMin(count, value.size() / 4)); // a count below 1 stores nothing
    SetWordToUS(store, 2 * dwordAddr, value, 2 * n);
}

// Zero-padded piece of a host value: `length` bytes from `offset`.
QByteArray piece(const QByteArray &value, qint64 offset, int length) {
    QByteArray out(length, '\0');
    for (int i = 0; i < length; ++i)
        out[i] = static_cast<char>(byteAt(value, offset + i));
    return out;
}

} // namespace

// Answers a value read from the local store at once, never from the wire.
// Result 0 for an unusable address or a count above kMaxElements (data
// untouched), else 1; an unknown type reads no bytes.
int Modbus_RTU_Master::GetRegisterData(int regType, const QString &address, int station,
                                       QByteArray &data, int count) {
    const int addr = StringAddressToInt(regType, address);
    if (addr < 0 || count > kMaxElements)
        return 0;
    const int area = getPlcType(regType);
    // Every kind yields at most two bytes per count: allocate them once, and
    // before taking the lock that the communication thread waits for.
    QByteArray out;
    out.reserve(2 * qMax(count, 0));
    DriverLock lock(dataMutex);
    withStore(*this, station, area, [&](auto &store) {
        switch (regType / 3) {
        case kBit:
            GetBitFromUS(out, store, addr, count);
            break;
        case kByte:
            GetByteFromUS(out, store, addr, count);
            break;
        case kWord:
            GetWordFromUS(out, store, addr, count);
            break;
        case kDoubleWord:
            GetIntFromUS(out, store, addr, count);
            break;
        }
    });
    data = out;
    return 1;
}

// Puts a write record's value into the local store. Area 0 is read-only and
// unknown types hold nothing.
void Modbus_RTU_Master::WriteDataToLocal(RW_VAR *var) {
    const int area = getPlcType(var->regType);
    if (area != 1 && area != 2)
        return;
    DriverLock lock(dataMutex);
    withStore(*this, var->station, area, [var](auto &store) {
        switch (var->regType / 3) {
        case kBit:
            SetBitToUS(store, var->regAddr, var->value, var->count);
            break;
        case kByte:
            SetByteToUS(store, var->regAddr, var->value, var->count);
            break;
        case kWord:
            SetWordToUS(store, var->regAddr, var->value, var->count);
            break;
        case kDoubleWord:
            SetWordToUI(store, var->regAddr, var->value, var->count);
            break;
        }
    });
}

// A host value write. With writeMode other than 2 it only updates the local
// store (result 1). Otherwise it queues write records: one per bit or byte,
// and words or double words in pieces of at most maxRegs() elements, each
// piece carrying its share of the value (missing bytes as 0); the result is
// the write queue's size after the last one. The store shows a queued value
// when its frame is built, or at once while the last exchange has failed.
// Result 0 when nothing is done: unusable address, read-only or unknown
// type, no elements, more than kMaxElements, or addresses beyond an int.
int Modbus_RTU_Master::SetRegisterData(const QString &label, int regType, const QString &address,
                                       int station, const QByteArray &value, int count,
                                       int hostTag0, int hostTag1) {
    const int addr = StringAddressToInt(regType, address);
    if (addr < 0 || count > kMaxElements || !comInfo)
        return 0;

    RW_VAR record;
    record.hostTag0 = hostTag0;
    record.hostTag1 = hostTag1;
    record.accessKind = 1;
    record.remoteMode = comInfo->remoteMode;
    record.nodeId = comInfo->localNodeId;
    record.label = label;
    record.address = address;
    record.regType = regType;
    record.station = comInfo->multiStation ? station : comInfo->defaultStation;

    if (comInfo->writeMode != 2) {
        record.regAddr = addr;
        record.count = count;
        record.value = value;
        WriteDataToLocal(&record);
        return 1;
    }

    const int area = getPlcType(regType);
    if (area != 1 && area != 2)
        return 0;
    // Bits and bytes go one element (one value byte) per record; a host's
    // double-word count counts registers.
    const int kind = regType / 3;
    const int elements = kind == kDoubleWord ? (count + 1) / 2 : count;
    const int perRecord = kind == kBit || kind == kByte ? 1 : maxRegs();
    const int width = kind == kWord ? 2 : kind == kDoubleWord ? 4 : 1;
    if (elements < 1 || qint64(addr) + elements - 1 > INT_MAX)
        return 0;

    int queued = 0;
    for (qint64 first = 0; first < elements; first += perRecord) {
        const int n = static_cast<int>(qMin<qint64>(perRecord, elements - first));
        record.regAddr = addr + static_cast<int>(first);
        record.count = n;
        record.value = piece(value, first * width, n * width);
        queued = AddListWriteVar(&record, 0);
        if (lastFailed.load())
            WriteDataToLocal(&record);
    }
    return queued;
}
