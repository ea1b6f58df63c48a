// Host value reads and writes against the local store.
#include "modbus_rtu_master.h"

int Modbus_RTU_Master::GetRegisterData(int, const QString &, int, QByteArray &, int) { return 1; }
int Modbus_RTU_Master::SetRegisterData(const QString &, int, const QString &, int,
                                       const QByteArray &, int, int, int) { return 0; }
void Modbus_RTU_Master::WriteDataToLocal(RW_VAR *) {}
