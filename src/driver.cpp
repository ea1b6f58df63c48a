// The driver object and its set-up.
#include "driver.h"

ModbusTcpDriver::ModbusTcpDriver() = default;
ModbusTcpDriver::~ModbusTcpDriver() = default;

void ModbusTcpDriver::setComInfo(ComInfo *info) {
    if (info) {
        info->hostStatus0 = 0;
        info->hostStatus1 = 0;
    }
    settings_ = info;
}

void ModbusTcpDriver::setCallbacks(CompletionCallback completion, NotifyCallback notify) {
    completionCallback_ = completion;
    notifyCallback_ = notify;
}

// A request size below 1 would divide by zero or never end a split: it counts as 1.
int ModbusTcpDriver::maxRegsPerRequest() const {
    return settings_ && settings_->maxRegsPerFrame > 1 ? settings_->maxRegsPerFrame : 1;
}

bool ModbusTcpDriver::isStationRefused(int station) const {
    return multiStation() && (station < 0 || station >= kStationCount);
}

void ModbusTcpDriver::reportCompletion(const RW_VAR &var, int status) {
    if (completionCallback_)
        completionCallback_(settings_->hostHandle, var.hostTag0, var.hostTag1, status);
}
