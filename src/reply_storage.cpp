// Reply storage: the registers of an accepted read reply into the local
// store, and the merge of a byte write. Each returns false when the reply
// lacks what must be stored: such a reply is not the answer, and nothing of
// it is stored.
#include "driver.h"

#include "modbus_protocol.h"
#include "register_types.h"

namespace {

// A block-read reply carries its registers after replyHeadLen bytes, each
// high-order byte first.
bool storeBlock(RegisterArea area, const Protocol &p, const QByteArray &reply) {
    const int registers = p.dataLen / 2;
    if (p.replyHeadLen < 0 || registers < 0 || reply.size() < p.replyHeadLen + 2 * registers)
        return false;
    for (int j = 0; j < registers; ++j)
        area.set(qint64(p.var.regAddr) + j, modbus::getUint16(reply.constData(), p.replyHeadLen + 2 * j));
    return true;
}

} // namespace

// Stores the reply to the first frame: types 0..2 are block reads of an
// area, 4 and 5 the read half of a byte write; other records carry nothing
// to store.
bool ModbusTcpDriver::storeReply(const QByteArray &reply) {
    const RW_VAR &var = frames_.first().protocol.var;
    if (var.regType >= plc::InputArea && var.regType <= plc::ExtendedArea)
        return storeBlock(store_.area(multiStation(), var.station, var.regType), frames_.first().protocol,
                          reply);
    if (plc::isWritable(var.regType) && plc::kindOf(var.regType) == plc::ElementKind::Byte)
        return mergeByteWrite(reply);
    return true;
}

// The read half of a byte write has been answered. Puts the new byte,
// carried by the read frame's own copy of the write variable, into the
// register as read, stores the register, and fills it into the write frame
// waiting behind.
bool ModbusTcpDriver::mergeByteWrite(const QByteArray &reply) {
    if (frames_.size() < 2 || reply.size() < modbus::readReplyLength(1))
        return false;
    const RW_VAR &var = frames_.first().protocol.var;
    const quint16 read = modbus::getUint16(reply.constData(), modbus::kReplyDataOffset);
    const quint16 newByte = var.value.isEmpty() ? 0 : quint8(var.value.at(0));
    // An odd byte address is the register's high-order byte.
    const quint16 merged = var.regAddr % 2 ? quint16(newByte << 8 | (read & 0x00FF))
                                           : quint16((read & 0xFF00) | newByte);
    store_.area(multiStation(), var.station, plc::areaOf(var.regType)).set(var.regAddr / 2, merged);
    QByteArray &write = frames_[1].protocol.frame;
    write[modbus::kSingleValueOffset] = char(merged >> 8);
    write[modbus::kSingleValueOffset + 1] = char(merged);
    return true;
}
