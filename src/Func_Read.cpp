// Modbus TCP read requests.
#include "modbus_rtu_master.h"

QByteArray mbapFrame(int station, int function, int address, int tailBytes) {
    const int tail = qMax(tailBytes, 0);
    const int length = 4 + tail; // unit, function and address, then the tail
    QByteArray frame;
    frame.reserve(10 + tail);
    frame.append(4, '\0'); // transaction and protocol identifiers
    frame.append(static_cast<char>(length >> 8));
    frame.append(static_cast<char>(length));
    frame.append(static_cast<char>(station));
    frame.append(static_cast<char>(function));
    frame.append(static_cast<char>(address >> 8));
    frame.append(static_cast<char>(address));
    return frame;
}

void Modbus_RTU_Master::ReadRegister(RW_VAR *var) { ReadAnalog(var); }

// One request reading var.count registers of the record's area. Area 2 holds
// the registers from 5000 on, read with the holding-register function.
void Modbus_RTU_Master::ReadAnalog(RW_VAR *var) {
    if (var->station == 0)
        return;
    int function = 3;
    quint16 address = static_cast<quint16>(var->regAddr);
    switch (var->regType) {
    case 0:
        function = 4;
        break;
    case 1:
        break;
    case 2:
        address = static_cast<quint16>(address + kExtOffset);
        break;
    default:
        return;
    }
    const quint16 quantity = static_cast<quint16>(var->count);
    const int dataLen = static_cast<quint16>(2u * static_cast<quint32>(var->count));

    protocolQueue.append(Protocol());
    Protocol &p = protocolQueue.last();
    p.frame = mbapFrame(var->station, function, address, 2);
    p.frame.append(static_cast<char>(quantity >> 8));
    p.frame.append(static_cast<char>(quantity));
    p.frameLen = p.frame.size();
    p.replyLen = 9 + dataLen;
    p.replyHeadLen = 9; // header, function code and byte count
    p.dataLen = dataLen;
    p.var = *var;
    comInfo->framesDone = 0;
    comInfo->framesExpected = 1;
}
