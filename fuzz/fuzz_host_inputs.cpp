// Whatever a host may pass: address texts, register types, counts, stations
// and value bytes through the address conversion, one-shot reads, value
// writes and value reads, while a healthy peer answers what was queued.
// Beyond the shared invariants: a value read returns the documented number of
// bytes or refuses and leaves the host's buffer alone; a value written to the
// store alone reads back as written, and the elements on either side keep
// theirs.
#include "fuzz_support.h"

namespace {

using fuzz::anyInt;
using plc::ElementKind;

// Bytes a value read returns for `count` elements of `regType`; double-word
// counts count registers, and a count of 1 reads one of them.
qint64 valueBytes(int regType, qint64 count) {
    if (count <= 0 || !plc::isKnownType(regType))
        return 0;
    switch (plc::kindOf(regType)) {
    case ElementKind::Bit: return count;
    case ElementKind::DoubleWord: return count == 1 ? 2 : 4 * (count / 2);
    default: return 2 * count;
    }
}

// Decimal numbers, with or without white space and signs, convert to their
// value; bit addresses to byte x 8 + bit when that fits in an int.
void convertAddress(FuzzedDataProvider &in) {
    const int type = anyInt(in, 0, 11);
    const int number = anyInt(in, 0, 9000);
    const int bit = anyInt(in, 0, 15);
    const bool isBit = plc::isKnownType(type) && plc::kindOf(type) == ElementKind::Bit;
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: {
        const QString digits =
            number < 0 ? QString::number(number) : QStringLiteral("+%1").arg(number);
        const QString text =
            in.ConsumeBool() ? QStringLiteral(" %1 ").arg(digits) : QString::number(number);
        FUZZ_CHECK(parseAddressText(type, text) == (!plc::isKnownType(type) ? 0
                                                    : isBit                 ? -1
                                                                            : number));
        break;
    }
    case 1: {
        const qint64 bitAddress = qint64(number) * 8 + bit;
        const int expected = bitAddress >= INT_MIN && bitAddress <= INT_MAX ? int(bitAddress) : -1;
        const int value = parseAddressText(type, QStringLiteral("%1.%2").arg(number).arg(bit));
        FUZZ_CHECK(value == (!plc::isKnownType(type) ? 0 : isBit ? expected : 0));
        break;
    }
    default: {
        const QString text = QString::fromUtf8(fuzz::anyBytes(in, 24));
        const int value = parseAddressText(type, text);
        if (!plc::isKnownType(type))
            FUZZ_CHECK(value == 0);
        else if (isBit && text.count(QLatin1Char('.')) != 1)
            FUZZ_CHECK(value == -1);
    }
    }
}

void readOnce(fuzz::Host &host, FuzzedDataProvider &in) {
    RW_VAR var;
    var.regType = anyInt(in, 0, 11);
    var.address = fuzz::addressText(in);
    var.station = anyInt(in, 0, 3);
    var.count = fuzz::anyCount(in, 1, 300);
    var.nodeId = host.info.localNodeId;
    host.queueOnceRead(var, PLC_ADD_MERGED);
}

// The element text of element `e`: "byte.bit" for bits.
QString elementText(ElementKind kind, qint64 e) {
    return kind == ElementKind::Bit ? QStringLiteral("%1.%2").arg(e / 8).arg(e % 8)
                                    : QString::number(e);
}

// Reads elements [first, first + count) as bytes per element; empty when
// the read is refused.
QByteArray readElements(fuzz::Host &host, int type, int station, qint64 first, qint64 count) {
    const ElementKind kind = plc::kindOf(type);
    QByteArray data;
    const int registers = int(kind == ElementKind::DoubleWord ? 2 * count : count);
    if (first < 0 || first > INT_MAX / 16 || count < 0 || count > 1024 ||
        !host.d.readValues(type, elementText(kind, first), station, data, registers))
        return {};
    FUZZ_CHECK(data.size() == valueBytes(type, registers));
    return data;
}

// After a write to the store alone: each element of a writable type that the
// value holds whole reads back as written where the store holds it (0
// elsewhere), and the elements just before and after are unchanged. A bit
// takes 1 for on; in a station's registers a value above 1 leaves it as it was.
void writeLocally(fuzz::Host &host, FuzzedDataProvider &in) {
    const int type = anyInt(in, 0, 11);
    const QString address = fuzz::addressText(in);
    const int station = anyInt(in, 0, 3);
    const QByteArray value = fuzz::anyBytes(in, 64);
    const int count = fuzz::anyCount(in, 1, 40);
    if (!plc::isKnownType(type) || host.info.writeMode == PLC_WRITE_TO_PLC) {
        host.writeValues(type, address, station, value, count);
        return;
    }
    const ElementKind kind = plc::kindOf(type);
    const int width = fuzz::valueWidth(type); // value bytes of an element written, and read:
    const int size = int(valueBytes(type, kind == ElementKind::DoubleWord ? 2 : 1));
    const qint64 records = kind == ElementKind::DoubleWord ? (qint64(count) + 1) / 2 : count;
    const qint64 whole =
        std::min<qint64>(records, value.size() / width); // elements the value holds
    const qint64 elements = plc::isWritable(type) ? std::max<qint64>(whole, 0) : 0;
    const qint64 element = parseAddressText(type, address);
    const qint64 first = std::max<qint64>(element - 1, 0);
    const qint64 window = element + elements + 1 - first;
    const QByteArray before = readElements(host, type, station, first, window);
    const int result = host.writeValues(type, address, station, value, count);
    const QByteArray after = readElements(host, type, station, first, window);
    if (result == 0 || before.isEmpty()) {
        FUZZ_CHECK(after == before);
        return;
    }
    FUZZ_CHECK(result == 1 && after.size() == before.size());
    const bool stationArea = host.info.multiStation != 0;
    const qint64 held = stationArea ? modbus::kMaxAddress + 1 : kImageRegisters[plc::areaOf(type)];
    for (qint64 e = first; e < first + window; ++e) {
        const int at = int(e - first) * size;
        const qint64 i = e - element;
        QByteArray expected = before.mid(at, size);
        if (i >= 0 && i < elements && plc::registerSpanOf(kind, e, 1).end() > held) {
            expected.fill('\0'); // outside the store
        } else if (i >= 0 && i < elements) {
            const int byte = fuzz::byteAt(value, i);
            if (kind == ElementKind::Bit)
                expected[0] = char(stationArea && byte > 1 ? expected.at(0) : byte == 1);
            else if (kind == ElementKind::Byte)
                expected[0] = char(byte);
            else
                expected = value.mid(int(i) * width, width);
        }
        FUZZ_CHECK(after.mid(at, size) == expected);
    }
}

void readValues(fuzz::Host &host, FuzzedDataProvider &in) {
    const int type = anyInt(in, 0, 11);
    const QString address = fuzz::addressText(in);
    const int station = anyInt(in, 0, 3);
    const int count = fuzz::anyCount(in, 0, 300);
    const QByteArray marker("untouched");
    QByteArray data = marker;
    const int result = host.d.readValues(type, address, station, data, count);
    if (result == 0) {
        FUZZ_CHECK(data == marker);
        return;
    }
    FUZZ_CHECK(result == 1 && count <= 65536 && data.size() == valueBytes(type, count));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::Host host(in, false);
    for (int op = 0; op < 64 && in.remaining_bytes() > 0; ++op) {
        switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0: convertAddress(in); break;
        case 1: readOnce(host, in); break;
        case 2: writeLocally(host, in); break;
        case 3: readValues(host, in); break;
        case 4:
            host.info.writeMode = in.ConsumeBool() ? PLC_WRITE_TO_PLC : PLC_WRITE_LOCAL_ONLY;
            break;
        default: host.exchange(nullptr); break;
        }
    }
    host.drain();
    return 0;
}
