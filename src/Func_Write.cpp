// Modbus TCP write requests.
#include "modbus_rtu_master.h"

void Modbus_RTU_Master::WriteRegister(RW_VAR *) {}
void Modbus_RTU_Master::WriteBool(RW_VAR *) {}
void Modbus_RTU_Master::WriteByte(RW_VAR *) {}
void Modbus_RTU_Master::WriteShort(RW_VAR *) {}
void Modbus_RTU_Master::WriteInt(RW_VAR *) {}
