// Checksums over byte buffers, and the hexadecimal digit helpers of ASCII
// framing. Only CalSUM takes part in the driver's own traffic: remote-area
// records carry the low byte of its result.
#include "plc_driver.h"

namespace {

quint32 byteSum(const unsigned char *buf, unsigned short len) {
    quint32 sum = 0;
    for (unsigned short i = 0; i < len; ++i)
        sum += buf[i];
    return sum;
}

} // namespace

extern "C" {

// Sum of the bytes modulo 65536.
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

// 0..9 to the digit characters, 10..15 to 'A'..'F'.
int DigitalToASCII(int value) { return value <= 9 ? value + '0' : value + 'A' - 10; }

// The digit characters to 0..9 and 'A'..'F' to 10..15; small letters are not
// folded. Codes below '0' and '@' itself give 0.
int ASCIIToDigital(int ch) {
    if (ch < '0' || ch == '@')
        return 0;
    return ch < '@' ? ch - '0' : ch - 'A' + 10;
}

} // extern "C"
