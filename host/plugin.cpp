#include "plugin.h"

#include <dlfcn.h>

#include <mutex>
#include <set>

namespace plchost {

namespace {

// dlopen hands out one handle per file, so two Plugins on the same file
// would share (and fight over) one driver object.
std::mutex openMutex;
std::set<void *> openHandles;

template <typename F>
bool resolve(void *handle, const char *name, F *out, std::string *missing) {
    *out = reinterpret_cast<F>(dlsym(handle, name));
    if (!*out && missing->empty())
        *missing = name;
    return *out != nullptr;
}

} // namespace

Plugin::~Plugin() {
    if (!handle_)
        return;
    {
        std::lock_guard<std::mutex> lock(openMutex);
        openHandles.erase(handle_);
    }
    dlclose(handle_);
}

bool Plugin::open(const std::string &path, std::string *error) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        *error = "cannot load the driver plug-in: " + std::string(dlerror());
        return false;
    }
    std::string missing;
    PluginApi a;
    resolve(handle, "SetComInfo", &a.SetComInfo, &missing);
    resolve(handle, "FlashLocalRegister", &a.FlashLocalRegister, &missing);
    resolve(handle, "RegistCallBackFuncIntf", &a.RegistCallBackFuncIntf, &missing);
    resolve(handle, "PLCAddressChangeIntef", &a.PLCAddressChangeIntef, &missing);
    resolve(handle, "AddListOnceReadVar", &a.AddListOnceReadVar, &missing);
    resolve(handle, "ReCreatReadVarList", &a.ReCreatReadVarList, &missing);
    resolve(handle, "ComCommunication", &a.ComCommunication, &missing);
    resolve(handle, "EnCommStation", &a.EnCommStation, &missing);
    resolve(handle, "DataCom", &a.DataCom, &missing);
    resolve(handle, "GetRegisterData", &a.GetRegisterData, &missing);
    resolve(handle, "SetRegisterData", &a.SetRegisterData, &missing);
    resolve(handle, "QueryFinishFlag", &a.QueryFinishFlag, &missing);
    std::lock_guard<std::mutex> lock(openMutex);
    if (!missing.empty() || !openHandles.insert(handle).second) {
        *error = missing.empty() ? path + " is already in use by another host in this process"
                                 : path + " lacks the entry point " + missing;
        dlclose(handle);
        return false;
    }
    handle_ = handle;
    api_ = a;
    return true;
}

} // namespace plchost
