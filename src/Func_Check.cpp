// Checksums, the diagnostic log, the register type table and reply classification.
#include "modbus_rtu_master.h"

#include <QDebug>

#include <cstdarg>
#include <cstdio>
#include <fstream>

int getPlcType(int regType) {
    static const int areaOfType[12] = {0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2};
    return regType >= 0 && regType <= 11 ? areaOfType[regType] : 255;
}

// What the reply to the frame in flight carries: 2 nothing to store (station 0
// answers nothing, a write reply is an acknowledgement), 1 data to store,
// 0 invalid (an access kind that is neither read nor write).
int Modbus_RTU_Master::CheckGetData(QByteArray *, int) {
    const RW_VAR &var = protocolQueue.first().var;
    if (var.station == 0)
        return 2;
    if (var.accessKind == 0)
        return 1;
    return var.accessKind == 1 ? 2 : 0;
}

namespace {

quint32 byteSum(const unsigned char *buf, unsigned short len) {
    quint32 sum = 0;
    for (unsigned short i = 0; i < len; ++i)
        sum += buf[i];
    return sum;
}

} // namespace

extern "C" {

// Sum of the bytes modulo 65536; remote-area records carry its low byte.
unsigned short CalSUM(unsigned char *buf, unsigned short len) {
    return static_cast<unsigned short>(byteSum(buf, len));
}

// CRC-16/MODBUS: reflected polynomial 0xA001, initial value 0xFFFF, no final
// exclusive or; returned as a register value, not byte-swapped.
unsigned short CalCRC(unsigned char *buf, unsigned short len) {
    quint16 crc = 0xFFFF;
    for (unsigned short i = 0; i < len; ++i) {
        crc ^= buf[i];
        for (int shift = 0; shift < 8; ++shift)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return crc;
}

// Low byte of the one's complement of the byte sum, plus 1 (1..256): stored
// into one byte, the two's complement of the sum as ASCII framing wants it.
unsigned short CalLRC(unsigned char *buf, unsigned short len) {
    return static_cast<unsigned short>((~byteSum(buf, len) & 0xFF) + 1);
}

// Exclusive or of all bytes; an empty buffer gives 0 without being read.
unsigned short CalXOR(unsigned char *buf, unsigned short len) {
    unsigned short x = 0;
    for (unsigned short i = 0; i < len; ++i)
        x ^= buf[i];
    return x;
}

// One diagnostic line, cut to 1023 characters: to the Qt debug output and
// appended to "drivers.log" in the current directory, opened for each line.
void Debug_log(const char *format, ...) {
    if (!format)
        return;
    char text[1024] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    qDebug("%s", text);
    std::ofstream log("drivers.log", std::ios::app);
    if (log)
        log << text << std::endl;
}

// 0..9 to the digit characters, 10..15 to 'A'..'F'.
int DigitalToASCII(int value) { return value <= 9 ? value + 48 : value + 55; }

// The digit characters to 0..9 and 'A'..'F' to 10..15; small letters are not
// folded. Codes below '0' and '@' itself give 0.
int ASCIIToDigital(int ch) {
    if (ch < 48 || ch == 64)
        return 0;
    return ch < 64 ? ch - 48 : ch - 55;
}
}
