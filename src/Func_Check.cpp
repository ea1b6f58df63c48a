// Checksums, the diagnostic log, the register type table and reply classification.
#include "modbus_rtu_master.h"

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

extern "C" {
unsigned short CalSUM(unsigned char *, unsigned short) { return 0; }
unsigned short CalCRC(unsigned char *, unsigned short) { return 0; }
unsigned short CalLRC(unsigned char *, unsigned short) { return 0; }
unsigned short CalXOR(unsigned char *, unsigned short) { return 0; }
void Debug_log(const char *, ...) {}
int DigitalToASCII(int) { return 0; }
int ASCIIToDigital(int) { return 0; }
}
