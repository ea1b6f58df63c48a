// The plug-in's exported entry points. Each one hands the call to the one
// driver object, which is constructed when the host loads the plug-in and
// destroyed when it unloads it.
#include "address_text.h"
#include "driver.h"

static ModbusTcpDriver driver;

extern "C" {

int LB = 0;
int LW = 0;
int RWI = 0;

void SetComInfo(ComInfo *info) { driver.setComInfo(info); }

void FlashLocalRegister(int lb, int lw, int rwi) {
    LB = lb;
    LW = lw;
    RWI = rwi;
}

void RegistCallBackFuncIntf(CompletionCallback completion, NotifyCallback notify) {
    driver.setCallbacks(completion, notify);
}

int PLCAddressChangeIntef(int regType, QString address) { return parseAddressText(regType, address); }

int AddListReadVar(RW_VAR *var) { return driver.appendCyclicBlock(var); }
int AddListOnceReadVar(RW_VAR *var, int mode) { return driver.queueOnceRead(var, mode); }
int AddListWriteVar(RW_VAR *var, int mode) { return driver.queueWrite(var, mode); }
int ReCreatReadVarList(QList<HOSTVAR> *vars) { return driver.rebuildReadList(vars); }

Protocol *ComCommunication() { return driver.nextRequest(); }
void EnCommStation(int station, int op) { driver.switchStation(station, op); }
RW_VAR *DataCom(QByteArray *reply, int length) { return driver.handleReply(reply, length); }

int GetRegisterData(void *, int regType, QString address, int station, QByteArray &data, int count) {
    return driver.readValues(regType, address, station, data, count);
}

int QueryFinishFlag() { return 1; }

int SetRegisterData(const QString &label, int regType, const QString &address, int station,
                    const QByteArray &value, int count, int hostTag0, int hostTag1) {
    return driver.writeValues(label, regType, address, station, value, count, hostTag0, hostTag1);
}

} // extern "C"
