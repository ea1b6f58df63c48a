// Remote-area request records. Instead of addressing a PLC's registers, a
// record carries the whole description of the variable to the peer:
//
//   0 length (checksum included, modulo 256)   1 hostTag0   2 accessKind
//   3 nodeId   4 station   5-6 regType   7-10 regAddr   11-12 count
//   13-16 aux0   17-20 aux1   21.. value (writes only)   last: 8-bit sum
//
// Multi-byte fields are big-endian; narrow fields carry the low bytes. The
// peer answers a read like a Modbus read, nine bytes in front of the
// registers; it confirms a write with any reply and refuses one by not
// answering.
#include "driver.h"

#include "register_types.h"

namespace {

constexpr int kRecordHeaderLength = 21;
constexpr int kReadReplyHeadLength = 9;
constexpr int kWriteReplyLength = 12;

void appendBigEndian(QByteArray &out, quint32 value, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        out.append(char(value >> shift));
}

// Bytes 0 to 20, the length byte still 0.
QByteArray recordHeader(const RW_VAR &var) {
    QByteArray record;
    record.reserve(kRecordHeaderLength + 1 + var.value.size());
    record.append('\0');
    record.append(char(var.hostTag0));
    record.append(char(var.accessKind));
    record.append(char(var.nodeId));
    record.append(char(var.station));
    appendBigEndian(record, quint32(var.regType), 2);
    appendBigEndian(record, quint32(var.regAddr), 4);
    appendBigEndian(record, quint32(var.count), 2);
    appendBigEndian(record, quint32(var.aux0), 4);
    appendBigEndian(record, quint32(var.aux1), 4);
    return record;
}

// Low 8 bits of the byte sum. CalSUM takes a 16-bit length, so a long record
// is summed in pieces; the low 8 bits of a sum add up piece by piece.
quint8 sum8(QByteArray &record) {
    auto *bytes = reinterpret_cast<unsigned char *>(record.data());
    unsigned sum = 0;
    for (int at = 0; at < record.size(); at += 0xFFFF)
        sum += CalSUM(bytes + at, static_cast<unsigned short>(qMin(0xFFFF, record.size() - at)));
    return quint8(sum);
}

// Sets the length byte, then appends the checksum, which covers it.
void seal(QByteArray &record) {
    record[0] = char(record.size() + 1);
    record.append(char(sum8(record)));
}

} // namespace

// Only read records (register area 0..2) of a real station are framed.
bool ModbusTcpDriver::buildRemoteRead(const RW_VAR &var) {
    if (var.station == 0 || isStationRefused(var.station) || quint32(var.regType) > plc::ExtendedArea)
        return false;
    QByteArray record = recordHeader(var);
    seal(record);
    const int dataLen = quint16(2 * quint32(var.count));
    Protocol &p = queueFrame(record, kReadReplyHeadLength + dataLen, var, false);
    p.replyHeadLen = kReadReplyHeadLength;
    p.dataLen = dataLen;
    expectFrames(1);
    return true;
}

// A write carries its value bytes unchanged; a broadcast (station 0) is not
// answered. The local store shows the value at once.
bool ModbusTcpDriver::buildRemoteWrite(const RW_VAR &var) {
    if (isStationRefused(var.station))
        return false;
    QByteArray record = recordHeader(var);
    record.append(var.value);
    seal(record);
    queueFrame(record, var.station == 0 ? 0 : kWriteReplyLength, var, false);
    expectFrames(1);
    storeWrittenValue(var);
    return true;
}
