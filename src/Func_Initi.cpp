// Set-up, address parsing, the variable queues and the read-list rebuild.
#include "modbus_rtu_master.h"

#include <QStringList>

void Modbus_RTU_Master::SetComInfo(ComInfo *info) { comInfo = info; }
void Modbus_RTU_Master::RegistCallBackFuncIntf(CompletionCallback completion, NotifyCallback notify) {
    completionCallback = completion;
    notifyCallback = notify;
}
// A request size below 1 would divide by zero or never end a split: it counts as 1.
int Modbus_RTU_Master::maxRegs() const {
    return comInfo && comInfo->maxRegsPerFrame > 1 ? comInfo->maxRegsPerFrame : 1;
}

int StringAddressToInt(int regType, const QString &address) {
    if (regType >= 0 && regType <= 2) {
        const QStringList parts = address.split(QLatin1Char('.'));
        if (parts.size() != 2)
            return -1;
        return parts[0].toInt() * 8 + parts[1].toInt();
    }
    if (regType >= 3 && regType <= 11)
        return address.toInt();
    return 0;
}
int Modbus_RTU_Master::AddListReadVar(RW_VAR *) { return 0; }
int Modbus_RTU_Master::AddListOnceReadVar(RW_VAR *, int) { return 0; }
int Modbus_RTU_Master::AddListWriteVar(RW_VAR *, int) { return 0; }
int Modbus_RTU_Master::ReCreatReadVarList(QList<HOSTVAR> *) { return 0; }
void Modbus_RTU_Master::sortByRegAddr(QList<RW_VAR> *) {}
int Modbus_RTU_Master::WordVarReCreat(QList<RW_VAR> *, int, int blocks) { return blocks; }
