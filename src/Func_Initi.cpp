// Set-up, address parsing, the variable queues and the read-list rebuild.
#include "modbus_rtu_master.h"

void Modbus_RTU_Master::SetComInfo(ComInfo *info) { comInfo = info; }
void Modbus_RTU_Master::RegistCallBackFuncIntf(CompletionCallback completion, NotifyCallback notify) {
    completionCallback = completion;
    notifyCallback = notify;
}
int Modbus_RTU_Master::maxRegs() const { return 1; }
int StringAddressToInt(int, const QString &) { return 0; }
int Modbus_RTU_Master::AddListReadVar(RW_VAR *) { return 0; }
int Modbus_RTU_Master::AddListOnceReadVar(RW_VAR *, int) { return 0; }
int Modbus_RTU_Master::AddListWriteVar(RW_VAR *, int) { return 0; }
int Modbus_RTU_Master::ReCreatReadVarList(QList<HOSTVAR> *) { return 0; }
void Modbus_RTU_Master::sortByRegAddr(QList<RW_VAR> *) {}
int Modbus_RTU_Master::WordVarReCreat(QList<RW_VAR> *, int, int blocks) { return blocks; }
