// Checksums, the diagnostic log, the register type table and reply classification.
#include "modbus_rtu_master.h"

int getPlcType(int) { return 255; }
int Modbus_RTU_Master::CheckGetData(QByteArray *, int) { return 0; }

extern "C" {
unsigned short CalSUM(unsigned char *, unsigned short) { return 0; }
unsigned short CalCRC(unsigned char *, unsigned short) { return 0; }
unsigned short CalLRC(unsigned char *, unsigned short) { return 0; }
unsigned short CalXOR(unsigned char *, unsigned short) { return 0; }
void Debug_log(const char *, ...) {}
int DigitalToASCII(int) { return 0; }
int ASCIIToDigital(int) { return 0; }
}
