// The plug-in's exported entry points. Each one hands the call to the one
// driver object, which is constructed when the host loads the plug-in and
// destroyed when it unloads it.
#include "modbus_rtu_master.h"

static Modbus_RTU_Master PLC_driver;

extern "C" {

int LB = 0;
int LW = 0;
int RWI = 0;

void SetComInfo(ComInfo *info) { PLC_driver.SetComInfo(info); }

void FlashLocalRegister(int lb, int lw, int rwi) {
    LB = lb;
    LW = lw;
    RWI = rwi;
}

void RegistCallBackFuncIntf(CompletionCallback completion, NotifyCallback notify) {
    PLC_driver.RegistCallBackFuncIntf(completion, notify);
}

int PLCAddressChangeIntef(int regType, QString address) {
    return StringAddressToInt(regType, address);
}

int AddListReadVar(RW_VAR *var) { return PLC_driver.AddListReadVar(var); }
int AddListOnceReadVar(RW_VAR *var, int mode) { return PLC_driver.AddListOnceReadVar(var, mode); }
int AddListWriteVar(RW_VAR *var, int mode) { return PLC_driver.AddListWriteVar(var, mode); }
int ReCreatReadVarList(QList<HOSTVAR> *vars) { return PLC_driver.ReCreatReadVarList(vars); }

Protocol *ComCommunication() { return PLC_driver.ComCommunication(); }
void EnCommStation(int station, int op) { PLC_driver.EnCommStation(station, op); }
RW_VAR *DataCom(QByteArray *reply, int length) { return PLC_driver.DataCom(reply, length); }

int GetRegisterData(void *, int regType, QString address, int station, QByteArray &data,
                    int count) {
    return PLC_driver.GetRegisterData(regType, address, station, data, count);
}

int QueryFinishFlag() { return 1; }

int SetRegisterData(const QString &label, int regType, const QString &address, int station,
                    const QByteArray &value, int count, int hostTag0, int hostTag1) {
    return PLC_driver.SetRegisterData(label, regType, address, station, value, count, hostTag0,
                                      hostTag1);
}

} // extern "C"
