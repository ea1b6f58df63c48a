// Remote-area request records. Instead of addressing a PLC's registers, a
// record carries the whole description of the variable to the peer:
//
//   0 length (checksum included, modulo 256)   1 hostTag0   2 accessKind
//   3 nodeId   4 station   5-6 regType   7-10 regAddr   11-12 count
//   13-16 aux0   17-20 aux1   21.. value (writes only)   last: 8-bit sum
//
// Multi-byte fields are big-endian; narrow fields carry the low bytes.
#include "modbus_rtu_master.h"

namespace {

void appendBigEndian(QByteArray &out, quint32 value, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        out.append(static_cast<char>(value >> shift));
}

// Bytes 0 to 20, the length byte still 0.
QByteArray remoteHeader(const RW_VAR &var) {
    QByteArray record;
    record.reserve(22 + var.value.size());
    record.append('\0');
    record.append(static_cast<char>(var.hostTag0));
    record.append(static_cast<char>(var.accessKind));
    record.append(static_cast<char>(var.nodeId));
    record.append(static_cast<char>(var.station));
    appendBigEndian(record, static_cast<quint32>(var.regType), 2);
    appendBigEndian(record, static_cast<quint32>(var.regAddr), 4);
    appendBigEndian(record, static_cast<quint32>(var.count), 2);
    appendBigEndian(record, static_cast<quint32>(var.aux0), 4);
    appendBigEndian(record, static_cast<quint32>(var.aux1), 4);
    return record;
}

// Low 8 bits of the byte sum. CalSUM takes a 16-bit length, so a long record
// is summed in pieces; the low 8 bits of a sum add up piece by piece.
quint8 sum8(QByteArray &record) {
    unsigned char *bytes = reinterpret_cast<unsigned char *>(record.data());
    unsigned sum = 0;
    for (int at = 0; at < record.size(); at += 0xFFFF)
        sum += CalSUM(bytes + at, static_cast<unsigned short>(qMin(0xFFFF, record.size() - at)));
    return static_cast<quint8>(sum);
}

// Sets the length byte, then appends the checksum, which covers it.
void seal(QByteArray &record) {
    record[0] = static_cast<char>(record.size() + 1);
    record.append(static_cast<char>(sum8(record)));
}

void queueRecord(ProtocolQueue &queue, ComInfo *info, const QByteArray &record,
                 int replyHeadLen, int dataLen, int replyLen, const RW_VAR &var) {
    Protocol p;
    p.frame = record;
    p.frameLen = record.size();
    p.replyLen = replyLen;
    p.replyHeadLen = replyHeadLen;
    p.dataLen = dataLen;
    p.var = var;
    queue.append(p);
    info->framesDone = 0;
    info->framesExpected = 1;
}

} // namespace

// The peer answers a read like a Modbus read: nine bytes in front of the
// registers. Only read records (register area 0..2) of a real station are
// framed.
void Modbus_RTU_Master::Remote_ReadVar(RW_VAR *var) {
    if (var->station == 0 || static_cast<quint32>(var->regType) > 2)
        return;
    QByteArray record = remoteHeader(*var);
    seal(record);
    const int dataLen = static_cast<quint16>(2u * static_cast<quint32>(var->count));
    queueRecord(protocolQueue, comInfo, record, 9, dataLen, 9 + dataLen, *var);
}

// A write carries its value bytes unchanged; a broadcast (station 0) is not
// answered. The local store shows the value at once.
void Modbus_RTU_Master::Remote_WriteVar(RW_VAR *var) {
    QByteArray record = remoteHeader(*var);
    record.append(var->value);
    seal(record);
    queueRecord(protocolQueue, comInfo, record, 0, 0, var->station == 0 ? 0 : 12, *var);
    WriteDataToLocal(var);
}
