// The driver object, the request scheduler and the reply handling.
#include "modbus_rtu_master.h"

#include <cstring>

Modbus_RTU_Master::Modbus_RTU_Master() {
    std::memset(InputImage, 0, sizeof InputImage);
    std::memset(HoldingImage, 0, sizeof HoldingImage);
    std::memset(ExtHoldingImage, 0, sizeof ExtHoldingImage);
}

Modbus_RTU_Master::~Modbus_RTU_Master() = default;

Protocol *Modbus_RTU_Master::ComCommunication() { return nullptr; }
void Modbus_RTU_Master::EnCommStation(int, int) {}
bool Modbus_RTU_Master::Ethernetcontains(int) { return false; }
RW_VAR *Modbus_RTU_Master::DataCom(QByteArray *, int) { return &resultRecord; }
int Modbus_RTU_Master::DealDataOfLocalArea(QByteArray *, int) { return 0; }
int Modbus_RTU_Master::DealDataOfRemoteArea(QByteArray *, int) { return 0; }
int Modbus_RTU_Master::GetDriverReturnValue(int) { return 0; }
int Modbus_RTU_Master::SwitchErrorReturn(int base) { return base; }
void Modbus_RTU_Master::passRetValue(const RW_VAR &, RW_VAR &) {}
