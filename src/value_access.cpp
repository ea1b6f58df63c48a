// Host value reads and writes against the local store, never the wire.
//
// The element layout inside 16-bit registers, the same for the images and
// the per-station registers:
//   bit a:          register a / 16, bit a % 16 (bit 0 least significant)
//   byte b:         register b / 2, low half when b is even, high half when odd
//   word r:         register r
//   double word d:  registers 2d (lower 16 bits) and 2d + 1 (upper 16 bits)
// Values cross the interface least significant byte first. Double-word
// counts count 16-bit registers, two per double word.
#include "driver.h"

#include "address_text.h"
#include "driver_lock.h"
#include "register_types.h"

#include <climits>
#include <vector>

namespace {

using plc::ElementKind;

// Largest element count of one value read or write: bounds the work of a call.
constexpr int kMaxElements = 65536;

quint8 byteAt(const QByteArray &bytes, qint64 i) {
    return i >= 0 && i < bytes.size() ? quint8(bytes.at(int(i))) : 0;
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
    return {element / perRegister, int(element % perRegister)};
}

void appendRegister(QByteArray &out, quint16 reg) {
    out.append(char(reg));
    out.append(char(reg >> 8));
}

// --- reads: each appends the value bytes the host sees -------------------

// One byte per bit, 0 or 1.
void readBits(QByteArray &out, const RegisterArea &area, qint64 bitAddr, int count) {
    for (int i = 0; i < count; ++i) {
        const Slot at = slotOf(bitAddr + i, 16);
        out.append(char(area.get(at.reg) >> at.pos & 1));
    }
}

// Two bytes per byte: the byte, then 0.
void readBytes(QByteArray &out, const RegisterArea &area, qint64 byteAddr, int count) {
    for (int i = 0; i < count; ++i) {
        const Slot at = slotOf(byteAddr + i, 2);
        out.append(char(area.get(at.reg) >> 8 * at.pos));
        out.append('\0');
    }
}

// Low byte, then high byte, per register.
void readWords(QByteArray &out, const RegisterArea &area, qint64 wordAddr, int count) {
    for (int i = 0; i < count; ++i)
        appendRegister(out, area.get(wordAddr + i));
}

// Each pair of registers is one double word, an odd last one is dropped. A
// count of 1 reads a single register of the double word: the upper one of an
// image, the lower one of a station's registers, as hosts have always seen it.
void readDoubleWords(QByteArray &out, const RegisterArea &area, qint64 dwordAddr, int count) {
    const qint64 first = 2 * dwordAddr;
    if (count == 1)
        appendRegister(out, area.get(first + (area.isStationArea() ? 0 : 1)));
    else
        readWords(out, area, first, count / 2 * 2);
}

// --- writes: each stores the elements the value holds completely ----------

// In an image any value other than 1 clears a bit; in a station's registers
// 1 sets it, 0 clears it and other values keep it.
void writeBits(RegisterArea &area, qint64 bitAddr, const QByteArray &value, int count) {
    const int n = qMin(count, value.size());
    for (int i = 0; i < n; ++i) {
        const Slot at = slotOf(bitAddr + i, 16);
        const quint16 mask = quint16(1u << at.pos);
        const quint16 reg = area.get(at.reg);
        const quint8 bit = byteAt(value, i);
        const bool on = area.isStationArea() && bit > 1 ? (reg & mask) != 0 : bit == 1;
        area.set(at.reg, quint16(on ? reg | mask : reg & ~mask));
    }
}

void writeBytes(RegisterArea &area, qint64 byteAddr, const QByteArray &value, int count) {
    const int n = qMin(count, value.size());
    for (int i = 0; i < n; ++i) {
        const Slot at = slotOf(byteAddr + i, 2);
        const int shift = 8 * at.pos;
        const quint16 kept = area.get(at.reg) & ~(0xFF << shift);
        area.set(at.reg, quint16(kept | byteAt(value, i) << shift));
    }
}

void writeWords(RegisterArea &area, qint64 wordAddr, const QByteArray &value, int count) {
    const int n = qMin(count, value.size() / 2);
    for (int i = 0; i < n; ++i)
        area.set(wordAddr + i, quint16(byteAt(value, 2 * i) | byteAt(value, 2 * i + 1) << 8));
}

// A write record counts double words; each one the value holds completely
// is stored.
void writeDoubleWords(RegisterArea &area, qint64 dwordAddr, const QByteArray &value, int count) {
    const int doubleWords = qMax(0, qMin(count, value.size() / 4));
    writeWords(area, 2 * dwordAddr, value, 2 * doubleWords);
}

// Zero-padded piece of a host value: `length` bytes from `offset`.
QByteArray piece(const QByteArray &value, qint64 offset, int length) {
    QByteArray out(length, '\0');
    for (int i = 0; i < length; ++i)
        out[i] = char(byteAt(value, offset + i));
    return out;
}

} // namespace

// Answers a value read from the local store at once. Result 0, data
// untouched, for an unusable address, a count above kMaxElements, or (with
// several stations) a station that is no unit identifier; else 1. An
// unknown type reads no bytes.
int ModbusTcpDriver::readValues(int regType, const QString &address, int station, QByteArray &data,
                                int count) {
    const int elementAddress = parseAddressText(regType, address);
    if (elementAddress < 0 || count > kMaxElements || !settings_ || isStationRefused(station))
        return 0;
    // Every kind yields at most two bytes per count: allocate them once, and
    // before taking the lock that the communication thread waits for.
    QByteArray out;
    out.reserve(2 * qMax(count, 0));
    if (plc::isKnownType(regType)) {
        DriverLock lock(storeMutex_);
        const RegisterArea area = store_.area(multiStation(), station, plc::areaOf(regType));
        switch (plc::kindOf(regType)) {
        case ElementKind::Bit: readBits(out, area, elementAddress, count); break;
        case ElementKind::Byte: readBytes(out, area, elementAddress, count); break;
        case ElementKind::Word: readWords(out, area, elementAddress, count); break;
        case ElementKind::DoubleWord: readDoubleWords(out, area, elementAddress, count); break;
        }
    }
    data = out;
    return 1;
}

// Puts a write record's value into the local store. Area 0 is read-only and
// unknown types hold nothing.
void ModbusTcpDriver::storeWrittenValue(const RW_VAR &var) {
    if (!plc::isWritable(var.regType))
        return;
    DriverLock lock(storeMutex_);
    RegisterArea area = store_.area(multiStation(), var.station, plc::areaOf(var.regType));
    switch (plc::kindOf(var.regType)) {
    case ElementKind::Bit: writeBits(area, var.regAddr, var.value, var.count); break;
    case ElementKind::Byte: writeBytes(area, var.regAddr, var.value, var.count); break;
    case ElementKind::Word: writeWords(area, var.regAddr, var.value, var.count); break;
    case ElementKind::DoubleWord: writeDoubleWords(area, var.regAddr, var.value, var.count); break;
    }
}

// A host value write. Unless writeMode asks for writes to the PLC it only
// updates the local store (result 1); otherwise it queues the write (result:
// the write queue's size). Result 0 when nothing is done: an unusable
// address, a read-only or unknown type, no elements, more than kMaxElements,
// addresses beyond an int, or (with several stations) a station that is no
// unit identifier.
int ModbusTcpDriver::writeValues(const QString &label, int regType, const QString &address,
                                 int station, const QByteArray &value, int count, int hostTag0,
                                 int hostTag1) {
    const int elementAddress = parseAddressText(regType, address);
    if (elementAddress < 0 || count > kMaxElements || !settings_ || isStationRefused(station))
        return 0;
    RW_VAR record;
    record.hostTag0 = hostTag0;
    record.hostTag1 = hostTag1;
    record.accessKind = PLC_ACCESS_WRITE;
    record.remoteMode = settings_->remoteMode;
    record.nodeId = settings_->localNodeId;
    record.label = label;
    record.address = address;
    record.regType = regType;
    record.regAddr = elementAddress;
    record.station = multiStation() ? station : settings_->defaultStation;
    const bool doubleWords = plc::isKnownType(regType) && plc::kindOf(regType) == ElementKind::DoubleWord;
    record.count = doubleWords ? (count + 1) / 2 : count; // records count double words
    if (settings_->writeMode != PLC_WRITE_TO_PLC) {
        record.value = value;
        storeWrittenValue(record);
        return 1;
    }
    return plc::isWritable(regType) ? queueWritePieces(record, value) : 0;
}

// Queues a write as records: one per bit or byte, and words or double words
// in pieces of at most maxRegsPerRequest() elements, each piece carrying its
// share of the value (missing bytes as 0). The store shows a queued value
// when its frame is built, or at once while the last exchange has failed.
int ModbusTcpDriver::queueWritePieces(RW_VAR record, const QByteArray &value) {
    const ElementKind kind = plc::kindOf(record.regType);
    const int elements = record.count;
    const int first = record.regAddr;
    const int perRecord = kind == ElementKind::Bit || kind == ElementKind::Byte ? 1 : maxRegsPerRequest();
    const int width = kind == ElementKind::Word ? 2 : kind == ElementKind::DoubleWord ? 4 : 1;
    if (elements < 1 || qint64(first) + elements - 1 > INT_MAX)
        return 0;
    std::vector<RW_VAR> records;
    for (qint64 done = 0; done < elements; done += perRecord) {
        const int n = int(qMin<qint64>(perRecord, elements - done));
        record.regAddr = first + int(done);
        record.count = n;
        record.value = piece(value, done * width, n * width);
        records.push_back(record);
    }
    const int queued = queueWriteRecords(records);
    if (lastExchangeFailed_.load())
        for (const RW_VAR &r : records)
            storeWrittenValue(r);
    return queued;
}
