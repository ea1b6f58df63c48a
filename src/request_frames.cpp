// Modbus TCP request frames: a read of a block of registers, and writes of a
// coil (function 5), one register (6), several registers (16), and a single
// byte as a read-modify-write of the register that holds it (3, then 6).
#include "driver.h"

#include "modbus_protocol.h"
#include "register_types.h"

#include <optional>

namespace {

using modbus::FunctionCode;

// The wire address of a request's first register, area 2 counted from 5000.
// Nothing when any register of it would lie outside 0..65535: an address
// never wraps round, so a request that cannot be addressed is refused rather
// than sent to another register.
std::optional<int> wireStart(int area, qint64 first, qint64 count) {
    const qint64 start = first + (area == plc::ExtendedArea ? plc::kExtendedAreaStart : 0);
    if (first < 0 || count < 0 || count > modbus::kMaxAddress || start > modbus::kMaxAddress ||
        start + count - 1 > modbus::kMaxAddress)
        return std::nullopt;
    return int(start);
}

void appendUint16(QByteArray &out, int value) {
    out.append(char(value >> 8));
    out.append(char(value));
}

char valueByte(const QByteArray &value, qint64 i) { return i < value.size() ? value.at(int(i)) : '\0'; }

// The first `count` registers of a value that holds them low byte first,
// appended as the wire wants them: high byte first. Missing bytes are 0.
void appendRegisters(QByteArray &frame, const QByteArray &value, int count) {
    for (qint64 k = 0; k < count; ++k) {
        frame.append(valueByte(value, 2 * k + 1));
        frame.append(valueByte(value, 2 * k));
    }
}

// Unit 0 is a broadcast, which no station answers; every other write is
// confirmed by the echo of its request.
int writeReplyLength(const RW_VAR &var) { return var.station == 0 ? 0 : modbus::kWriteReplyLength; }

} // namespace

// The MBAP header with a new transaction identifier, the function code and
// the first address; the length field counts `tail` more bytes, which the
// caller appends after the address.
QByteArray ModbusTcpDriver::startFrame(int station, FunctionCode function, int address, int tail) {
    QByteArray frame;
    frame.reserve(modbus::kQuantityOffset + tail);
    appendUint16(frame, ++lastTransactionId_); // differs from the previous frame's
    appendUint16(frame, 0);                    // protocol identifier: Modbus
    appendUint16(frame, modbus::kQuantityOffset - modbus::kLengthFieldStart + tail);
    frame.append(char(station)); // unit identifier: the low 8 bits
    frame.append(char(function));
    appendUint16(frame, address);
    return frame;
}

Protocol &ModbusTcpDriver::queueFrame(const QByteArray &frame, int replyLen, const RW_VAR &var,
                                      bool modbus) {
    PendingFrame pending;
    pending.modbus = modbus;
    Protocol &p = pending.protocol;
    p.frame = frame;
    p.frameLen = frame.size();
    p.replyLen = replyLen;
    p.var = var;
    frames_.append(pending);
    return frames_.last().protocol;
}

void ModbusTcpDriver::expectFrames(int frames) {
    settings_->framesDone = 0;
    settings_->framesExpected = frames;
}

// One request reading var.count registers of the record's area; the area
// names the function: input registers (area 0) or holding registers.
// Station 0, the broadcast address, is never read; with several stations a
// station is a unit identifier (a record queued before the mode changed may
// name another).
bool ModbusTcpDriver::buildReadFrame(const RW_VAR &var) {
    if (var.station == 0 || isStationRefused(var.station) || var.regType < plc::InputArea ||
        var.regType > plc::ExtendedArea)
        return false;
    const std::optional<int> start = wireStart(var.regType, var.regAddr, var.count);
    if (!start)
        return false;
    const FunctionCode function = var.regType == plc::InputArea ? FunctionCode::ReadInputRegisters
                                                                : FunctionCode::ReadHoldingRegisters;
    QByteArray frame = startFrame(var.station, function, *start, 2);
    appendUint16(frame, var.count);
    const int dataLen = quint16(2 * var.count);
    Protocol &p = queueFrame(frame, modbus::readReplyLength(0) + dataLen, var);
    p.replyHeadLen = modbus::kReplyDataOffset; // header, function code and byte count
    p.dataLen = dataLen;
    expectFrames(1);
    return true;
}

// Frames the write at the head of the write queue, tells the host it went out
// and, unless the last exchange failed, shows the value in the local store at
// once. Area 0 is read-only: those types (and unknown ones) are no writes.
bool ModbusTcpDriver::buildWriteFrames(const RW_VAR &var) {
    if (!plc::isWritable(var.regType) || isStationRefused(var.station))
        return false;
    bool built = false;
    switch (plc::kindOf(var.regType)) {
    case plc::ElementKind::Bit: built = buildCoilWrite(var); break;
    case plc::ElementKind::Byte: built = buildByteWrite(var); break;
    case plc::ElementKind::Word: built = buildWordWrite(var); break;
    case plc::ElementKind::DoubleWord: built = buildDoubleWordWrite(var); break;
    }
    if (!built)
        return false;
    if (notifyCallback_)
        notifyCallback_(QList<RW_VAR>(), var.hostTag0, 1);
    if (!lastExchangeFailed_.load())
        storeWrittenValue(var);
    return true;
}

// The bits of the holding registers are the PLC's coils: bit address
// byte x 8 + bit is the coil, area 2's counted from 5000. Any non-zero first
// value byte switches it on.
bool ModbusTcpDriver::buildCoilWrite(const RW_VAR &var) {
    const std::optional<int> coil = wireStart(plc::areaOf(var.regType), var.regAddr, 1);
    if (!coil)
        return false;
    QByteArray frame = startFrame(var.station, FunctionCode::WriteSingleCoil, *coil, 2);
    appendUint16(frame, valueByte(var.value, 0) != 0 ? modbus::kCoilOn : 0);
    queueFrame(frame, writeReplyLength(var), var);
    expectFrames(1);
    return true;
}

// Words: one register with function 6, any other count (0 included) with
// function 16, which writes at most 123 registers (Modbus Application
// Protocol V1.1b3, section 6.12): a longer frame's byte count and length
// fields would wrap, and a peer would read its tail as further requests.
bool ModbusTcpDriver::buildWordWrite(const RW_VAR &var) {
    const std::optional<int> start = wireStart(plc::areaOf(var.regType), var.regAddr, var.count);
    if (!start || var.count > modbus::kMaxWriteRegisters)
        return false;
    if (var.count == 1) {
        QByteArray frame = startFrame(var.station, FunctionCode::WriteSingleRegister, *start, 2);
        appendRegisters(frame, var.value, 1);
        queueFrame(frame, writeReplyLength(var), var);
    } else {
        queueWriteMultiple(var, *start, var.count);
    }
    expectFrames(1);
    return true;
}

// Double words: two registers each, the lower 16 bits to the lower register.
bool ModbusTcpDriver::buildDoubleWordWrite(const RW_VAR &var) {
    const qint64 registers = 2 * qint64(var.count);
    const std::optional<int> start = wireStart(plc::areaOf(var.regType), 2 * qint64(var.regAddr), registers);
    if (!start || registers > modbus::kMaxWriteRegisters)
        return false;
    queueWriteMultiple(var, *start, int(registers));
    expectFrames(1);
    return true;
}

// Function 16: quantity, byte count (2 x quantity), then the registers.
void ModbusTcpDriver::queueWriteMultiple(const RW_VAR &var, int start, int registers) {
    QByteArray frame = startFrame(var.station, FunctionCode::WriteMultipleRegisters, start,
                                  3 + 2 * registers);
    appendUint16(frame, registers);
    frame.append(char(2 * registers));
    appendRegisters(frame, var.value, registers);
    queueFrame(frame, writeReplyLength(var), var);
}

// A byte is half of a register: read the register, then write it back with
// the new byte merged in. The write frame's value stays 0 until the read's
// reply is merged into it (reply_storage.cpp); the read frame's copy of the
// variable is marked for that merge and reads as a read, so that its reply is
// stored. Station 0 answers nothing, so no read-modify-write is possible there.
bool ModbusTcpDriver::buildByteWrite(const RW_VAR &var) {
    const std::optional<int> reg = var.regAddr < 0 ? std::nullopt
                                                   : wireStart(plc::areaOf(var.regType), var.regAddr / 2, 1);
    if (var.station == 0 || !reg)
        return false;
    RW_VAR readHalf = var;
    readHalf.accessKind = PLC_ACCESS_READ;
    readHalf.aux0 = kByteWriteReadHalf;
    QByteArray read = startFrame(var.station, FunctionCode::ReadHoldingRegisters, *reg, 2);
    appendUint16(read, 1);
    queueFrame(read, modbus::readReplyLength(1), readHalf);

    QByteArray write = startFrame(var.station, FunctionCode::WriteSingleRegister, *reg, 2);
    appendUint16(write, 0);
    queueFrame(write, modbus::kWriteReplyLength, var);
    expectFrames(2);
    return true;
}
