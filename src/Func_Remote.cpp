// Remote-area request records.
#include "modbus_rtu_master.h"

void Modbus_RTU_Master::Remote_ReadVar(RW_VAR *) {}
void Modbus_RTU_Master::Remote_WriteVar(RW_VAR *) {}
