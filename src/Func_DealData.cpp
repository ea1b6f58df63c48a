// Reply storage into the register images and the per-station store.
//
// A block-read reply carries its registers after replyHeadLen bytes, each
// high-order byte first. Nothing is ever stored outside an image, and the
// per-station store only holds areas 0..2 and registers 0..65535, so no reply
// can write out of bounds or grow the store without limit.
#include "modbus_rtu_master.h"

namespace {

const qint64 kStationRegs = 0x10000; // registers 0..65535 of one station and area

// The slice [first, end) of a block's registers R + j (j from 0) that lies in
// 0..limit-1, taken from the first `count` registers.
struct Span {
    int first;
    int end;
};

Span clip(qint64 regAddr, qint64 count, qint64 limit) {
    const qint64 end = qMax<qint64>(0, qMin(count, limit - regAddr));
    const qint64 first = qMin(end, qMax<qint64>(0, -regAddr));
    return {static_cast<int>(first), static_cast<int>(end)};
}

// Registers of the block that the reply holds in full.
int completeRegisters(const QByteArray &reply, const Protocol &p) {
    if (p.replyHeadLen < 0)
        return 0;
    return qMax(0, qMin(p.dataLen / 2, (reply.size() - p.replyHeadLen) / 2));
}

quint16 registerAt(const QByteArray &reply, int offset) {
    return static_cast<quint16>(static_cast<uchar>(reply.at(offset)) << 8 |
                                static_cast<uchar>(reply.at(offset + 1)));
}

// A per-station record holds its register low-order byte first. A record
// already holds two bytes after its first store: the call to resize is then
// skipped, as it costs more than storing the two bytes.
void setRecordRegister(QByteArray &value, quint16 reg) {
    if (value.size() != 2)
        value.resize(2);
    char *bytes = value.data();
    bytes[0] = static_cast<char>(reg);
    bytes[1] = static_cast<char>(reg >> 8);
}

bool inStationStore(int area, qint64 regAddr) {
    return area >= 0 && area <= 2 && regAddr >= 0 && regAddr < kStationRegs;
}

// The index key of a record: station, area and register packed into 64
// bits, then multiplied by an odd constant, which maps keys one to one. Qt
// hashes a 64-bit key to its low 32 bits xor the bits from 31 up and takes
// that modulo a prime near a power of two; packed keys, whose fields sit at
// power-of-two distances, would crowd a few buckets of a large store, while
// the product carries every field into all bits of the hash.
quint64 extendKey(int station, int area, int regAddr) {
    const quint64 packed = quint64(quint32(station)) << 32 | quint32(area) << 16 | quint32(regAddr);
    return packed * 0x9E3779B97F4A7C15u;
}

// The read half of a byte write has been answered (register high-order byte
// at reply byte 9, low-order at 10). Puts the new byte, carried by the read
// frame's own copy of the write variable, into the register as read, and
// fills the merged register into the write frame waiting behind it. Returns
// false when there is nothing to merge; *reg is -1 for a negative byte
// address, which is never stored.
bool mergeByteWrite(ProtocolQueue &queue, const QByteArray &reply, int *reg,
                    quint16 *merged) {
    if (queue.size() < 2 || reply.size() < 11)
        return false;
    const RW_VAR &var = queue.first().var;
    const int byteAddr = var.regAddr;
    const quint8 newByte = var.value.isEmpty() ? 0 : static_cast<quint8>(var.value.at(0));
    const quint8 readHigh = static_cast<quint8>(reply.at(9));
    const quint8 readLow = static_cast<quint8>(reply.at(10));
    *merged = byteAddr % 2 ? static_cast<quint16>(newByte << 8 | readLow)
                           : static_cast<quint16>(readHigh << 8 | newByte);
    *reg = byteAddr < 0 ? -1 : (byteAddr / 2) & 0xFFFF;

    QByteArray &frame = queue[1].frame;
    if (frame.size() >= 12) {
        frame[10] = static_cast<char>(*merged >> 8);
        frame[11] = static_cast<char>(*merged);
    }
    return true;
}

// The index of the record (station, area, regAddr): the record right after
// `previous` when it is that one, as the registers of a block are once a
// reply has stored them, without a hash lookup; else the lookup's answer.
int nextRecord(Modbus_RTU_Master &d, int previous, int station, int area, int regAddr) {
    const int next = previous + 1;
    if (previous >= 0 && next < d.extendList.size()) {
        const EXTENDVAR &record = d.extendList.at(next);
        if (record.regAddr == regAddr && record.area == area && record.station == station)
            return next;
    }
    return d.ExtendFindSameVar(station, area, regAddr);
}

// Multi-station block storage: every register of the block gets its record;
// one the reply does not hold in full is emptied (it then reads as 0).
void saveBlockToStations(Modbus_RTU_Master &d, const QByteArray &reply) {
    const Protocol &p = d.protocolQueue.first();
    const int area = getPlcType(p.var.regType);
    const int complete = completeRegisters(reply, p);
    const Span span = clip(p.var.regAddr, p.dataLen / 2, kStationRegs);
    int index = -1;
    for (int j = span.first; j < span.end; ++j) {
        index = nextRecord(d, index, p.var.station, area, p.var.regAddr + j);
        QByteArray &value = d.extendList[index].value;
        if (j < complete)
            setRecordRegister(value, registerAt(reply, p.replyHeadLen + 2 * j));
        else
            value.clear();
    }
}

void mergeByteWriteToStation(Modbus_RTU_Master &d, const QByteArray &reply) {
    const int station = d.protocolQueue.first().var.station;
    const int area = getPlcType(d.protocolQueue.first().var.regType);
    int reg;
    quint16 merged;
    if (!mergeByteWrite(d.protocolQueue, reply, &reg, &merged) || reg < 0)
        return;
    setRecordRegister(d.extendList[d.ExtendFindSameVar(station, area, reg)].value, merged);
}

} // namespace

// Stores the reply to the first frame of protocolQueue. Types 0..2 are block
// reads of an area; 4 and 5 are the read half of a byte write.
void Modbus_RTU_Master::SaveToLocalDataErea(QByteArray *reply) {
    if (protocolQueue.isEmpty() || !reply)
        return;
    const int regType = protocolQueue.first().var.regType;
    if (comInfo->multiStation) {
        if (regType >= 0 && regType <= 2)
            saveBlockToStations(*this, *reply);
        else if (regType == 4 || regType == 5)
            mergeByteWriteToStation(*this, *reply);
        return;
    }
    if (regType >= 0 && regType <= 2) {
        const Image image = imageOfArea(regType);
        SaveWordToUS(reply, image.regs, image.size);
    } else if (regType == 4 || regType == 5) {
        const Image image = imageOfArea(regType % 3);
        SpecialRegisterSave(reply, image.regs, image.size);
    }
}

// Registers missing from a short reply keep their old values.
void Modbus_RTU_Master::SaveWordToUS(QByteArray *reply, quint16 *image, int imageRegs) {
    const Protocol &p = protocolQueue.first();
    const Span span = clip(p.var.regAddr, completeRegisters(*reply, p), imageRegs);
    for (int j = span.first; j < span.end; ++j)
        image[p.var.regAddr + j] = registerAt(*reply, p.replyHeadLen + 2 * j);
}

void Modbus_RTU_Master::SpecialRegisterSave(QByteArray *reply, quint16 *image, int imageRegs) {
    int reg;
    quint16 merged;
    if (mergeByteWrite(protocolQueue, *reply, &reg, &merged) && reg >= 0 && reg < imageRegs)
        image[reg] = merged;
}

// Index of the record (station, area, regAddr), created holding four 0 bytes
// on first use; -1, creating nothing, for an area outside 0..2 or a register
// outside 0..65535. Records are only appended, so an index never changes.
int Modbus_RTU_Master::ExtendFindSameVar(int station, int area, int regAddr) {
    if (!inStationStore(area, regAddr))
        return -1;
    const quint64 key = extendKey(station, area, regAddr);
    const int found = extendIndex.value(key, -1);
    if (found >= 0)
        return found;
    EXTENDVAR record;
    record.station = station;
    record.area = area;
    record.regAddr = regAddr;
    record.value = QByteArray(4, '\0');
    extendList.append(record);
    extendIndex.insert(key, extendList.size() - 1);
    return extendList.size() - 1;
}
