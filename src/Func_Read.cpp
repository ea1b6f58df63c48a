// Modbus TCP read requests.
#include "modbus_rtu_master.h"

void Modbus_RTU_Master::ReadRegister(RW_VAR *var) { ReadAnalog(var); }
void Modbus_RTU_Master::ReadAnalog(RW_VAR *) {}
