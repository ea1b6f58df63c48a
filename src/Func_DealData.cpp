// Reply storage into the register images and the per-station store.
#include "modbus_rtu_master.h"

void Modbus_RTU_Master::SaveToLocalDataErea(QByteArray *) {}
void Modbus_RTU_Master::SaveWordToUS(QByteArray *, quint16 *, int) {}
void Modbus_RTU_Master::SpecialRegisterSave(QByteArray *, quint16 *, int) {}
int Modbus_RTU_Master::ExtendFindSameVar(int, int, int) { return 0; }
