// Modbus TCP write requests: a coil with function 5, one register with
// function 6, several registers with function 16, and a single byte as a
// read-modify-write of the register that holds it (function 3, then 6).
#include "modbus_rtu_master.h"

namespace {

// Byte i of a write value; a value shorter than its count sends 0 bytes.
char valueByte(const QByteArray &value, qint64 i) {
    return i < value.size() ? value.at(static_cast<int>(i)) : '\0';
}

// Register address on the wire: low 16 bits; the area-2 types (2, 5, 8, 11)
// reach the registers from 5000 on. Computed in 64 bits, so a huge address
// wraps instead of overflowing.
int wireAddress(const RW_VAR &var, qint64 reg) {
    const qint64 offset = var.regType % 3 == 2 ? kExtOffset : 0;
    return static_cast<quint16>(reg + offset);
}

// The first `count` registers of a value that holds them low byte first,
// appended as the wire wants them: high byte first.
void appendRegisters(QByteArray &frame, const QByteArray &value, int count) {
    for (qint64 k = 0; k < count; ++k) {
        frame.append(valueByte(value, 2 * k + 1));
        frame.append(valueByte(value, 2 * k));
    }
}

// Function 16: quantity, byte count (its field holds only the low 8 bits of
// 2 x quantity), then the registers.
QByteArray writeMultiple(const RW_VAR &var, int address, quint16 regs) {
    QByteArray frame = mbapFrame(var.station, 16, address, 3 + 2 * regs);
    frame.append(static_cast<char>(regs >> 8));
    frame.append(static_cast<char>(regs));
    frame.append(static_cast<char>(2 * regs));
    appendRegisters(frame, var.value, regs);
    return frame;
}

// A broadcast (station 0) gets no reply; every other write is acknowledged
// with a 12-byte reply.
int writeReplyLen(const RW_VAR &var) { return var.station == 0 ? 0 : 12; }

void queueFrame(ProtocolQueue &queue, const QByteArray &frame, int replyLen,
                const RW_VAR &var) {
    Protocol p;
    p.frame = frame;
    p.frameLen = frame.size();
    p.replyLen = replyLen;
    p.var = var;
    queue.append(p);
}

void expectFrames(ComInfo *info, int frames) {
    info->framesDone = 0;
    info->framesExpected = frames;
}

// The one frame of a bit, word or double-word write.
void queueSingleWrite(ProtocolQueue &queue, ComInfo *info, const QByteArray &frame,
                      const RW_VAR &var) {
    queueFrame(queue, frame, writeReplyLen(var), var);
    expectFrames(info, 1);
}

} // namespace

// Frames the write at the head of the write queue, tells the host it went out
// and, unless the last exchange failed, shows the value in the local store at
// once. Area 0 is read-only: those types (and unknown ones) are no writes.
void Modbus_RTU_Master::WriteRegister(RW_VAR *var) {
    switch (var->regType) {
    case 1:
    case 2:
        WriteBool(var);
        break;
    case 4:
    case 5:
        WriteByte(var);
        break;
    case 7:
    case 8:
        WriteShort(var);
        break;
    case 10:
    case 11:
        WriteInt(var);
        break;
    default:
        return;
    }
    if (notifyCallback)
        notifyCallback(QList<RW_VAR>(), var->hostTag0, 1);
    if (!lastFailed.load())
        WriteDataToLocal(var);
}

// One coil: on for any non-zero first value byte, off otherwise.
void Modbus_RTU_Master::WriteBool(RW_VAR *var) {
    QByteArray frame = mbapFrame(var->station, 5, wireAddress(*var, var->regAddr), 2);
    frame.append(valueByte(var->value, 0) != 0 ? '\xFF' : '\0');
    frame.append('\0');
    queueSingleWrite(protocolQueue, comInfo, frame, *var);
}

// Words: one register with function 6, any other count (0 included) with
// function 16.
void Modbus_RTU_Master::WriteShort(RW_VAR *var) {
    const quint16 words = static_cast<quint16>(var->count);
    const int address = wireAddress(*var, var->regAddr);
    QByteArray frame;
    if (words == 1) {
        frame = mbapFrame(var->station, 6, address, 2);
        appendRegisters(frame, var->value, 1);
    } else {
        frame = writeMultiple(*var, address, words);
    }
    queueSingleWrite(protocolQueue, comInfo, frame, *var);
}

// Double words: two registers each, the lower 16 bits to the lower register.
void Modbus_RTU_Master::WriteInt(RW_VAR *var) {
    const quint16 regs = static_cast<quint16>(2u * static_cast<quint32>(var->count));
    const QByteArray frame = writeMultiple(*var, wireAddress(*var, 2 * qint64(var->regAddr)), regs);
    queueSingleWrite(protocolQueue, comInfo, frame, *var);
}

// A byte is half of a register: read the register, then write it back with
// the new byte merged in. The write frame's data stays 0 until the read's
// reply is merged into it. The read frame's copy of the variable is marked
// for that merge (accessKind 0 so that its reply is stored, aux0 -1) and
// carries the new byte. Station 0 answers nothing, so no read-modify-write is
// possible there.
void Modbus_RTU_Master::WriteByte(RW_VAR *var) {
    if (var->station == 0)
        return;
    const int address = wireAddress(*var, static_cast<quint16>(var->regAddr) / 2);

    RW_VAR readVar = *var;
    readVar.accessKind = 0;
    readVar.aux0 = -1;
    QByteArray read = mbapFrame(var->station, 3, address, 2);
    read.append('\0');
    read.append('\1');
    queueFrame(protocolQueue, read, 11, readVar); // header, function, byte count, register

    QByteArray write = mbapFrame(var->station, 6, address, 2);
    write.append(2, '\0');
    queueFrame(protocolQueue, write, 12, *var);
    expectFrames(comInfo, 2);
}
