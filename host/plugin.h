// The driver plug-in, loaded with dlopen by path and reached only through its
// exported C entry points, as any host reaches it.
#ifndef PLCHOST_PLUGIN_H
#define PLCHOST_PLUGIN_H

#include "plc_driver.h"

#include <string>

namespace plchost {

struct PluginApi {
    decltype(&::SetComInfo) SetComInfo = nullptr;
    decltype(&::FlashLocalRegister) FlashLocalRegister = nullptr;
    decltype(&::RegistCallBackFuncIntf) RegistCallBackFuncIntf = nullptr;
    decltype(&::PLCAddressChangeIntef) PLCAddressChangeIntef = nullptr;
    decltype(&::AddListOnceReadVar) AddListOnceReadVar = nullptr;
    decltype(&::ReCreatReadVarList) ReCreatReadVarList = nullptr;
    decltype(&::ComCommunication) ComCommunication = nullptr;
    decltype(&::EnCommStation) EnCommStation = nullptr;
    decltype(&::DataCom) DataCom = nullptr;
    decltype(&::GetRegisterData) GetRegisterData = nullptr;
    decltype(&::SetRegisterData) SetRegisterData = nullptr;
    decltype(&::QueryFinishFlag) QueryFinishFlag = nullptr;
};

// One loaded copy of the plug-in. The plug-in holds a single driver object,
// so a process can have only one Plugin open per plug-in file.
class Plugin {
public:
    Plugin() = default;
    ~Plugin();
    Plugin(const Plugin &) = delete;
    Plugin &operator=(const Plugin &) = delete;

    bool open(const std::string &path, std::string *error);
    const PluginApi &api() const { return api_; }

private:
    void *handle_ = nullptr;
    PluginApi api_;
};

} // namespace plchost

#endif
