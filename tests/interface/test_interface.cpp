// Drives the built plug-in through its exported C interface only, loaded
// with dlopen by path, with the records declared as a host declares them.
#include "plc_driver.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace {

template <typename F>
F symbol(void *lib, const char *name) {
    void *p = dlsym(lib, name);
    EXPECT_NE(p, nullptr) << name;
    return reinterpret_cast<F>(p);
}

// The plug-in's entry points, resolved once per test from a fresh load.
struct Plugin {
    void *lib = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    decltype(&::SetComInfo) SetComInfo = symbol<decltype(SetComInfo)>(lib, "SetComInfo");
    decltype(&::RegistCallBackFuncIntf) RegistCallBackFuncIntf =
        symbol<decltype(RegistCallBackFuncIntf)>(lib, "RegistCallBackFuncIntf");
    decltype(&::FlashLocalRegister) FlashLocalRegister =
        symbol<decltype(FlashLocalRegister)>(lib, "FlashLocalRegister");
    decltype(&::PLCAddressChangeIntef) PLCAddressChangeIntef =
        symbol<decltype(PLCAddressChangeIntef)>(lib, "PLCAddressChangeIntef");
    decltype(&::AddListOnceReadVar) AddListOnceReadVar =
        symbol<decltype(AddListOnceReadVar)>(lib, "AddListOnceReadVar");
    decltype(&::AddListWriteVar) AddListWriteVar =
        symbol<decltype(AddListWriteVar)>(lib, "AddListWriteVar");
    decltype(&::ReCreatReadVarList) ReCreatReadVarList =
        symbol<decltype(ReCreatReadVarList)>(lib, "ReCreatReadVarList");
    decltype(&::ComCommunication) ComCommunication =
        symbol<decltype(ComCommunication)>(lib, "ComCommunication");
    decltype(&::EnCommStation) EnCommStation = symbol<decltype(EnCommStation)>(lib, "EnCommStation");
    decltype(&::DataCom) DataCom = symbol<decltype(DataCom)>(lib, "DataCom");
    decltype(&::GetRegisterData) GetRegisterData =
        symbol<decltype(GetRegisterData)>(lib, "GetRegisterData");
    decltype(&::SetRegisterData) SetRegisterData =
        symbol<decltype(SetRegisterData)>(lib, "SetRegisterData");
    decltype(&::QueryFinishFlag) QueryFinishFlag =
        symbol<decltype(QueryFinishFlag)>(lib, "QueryFinishFlag");
    int *LB = symbol<int *>(lib, "LB");

    ~Plugin() {
        if (lib)
            dlclose(lib);
    }
};

TEST(Interface, LoadsAndAnswersBeforeSetUp) {
    Plugin p;
    ASSERT_NE(p.lib, nullptr) << dlerror();
    EXPECT_EQ(p.QueryFinishFlag(), 1);
    QByteArray none;
    RW_VAR *r = p.DataCom(&none, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->result, 1);
}

TEST(Interface, SetUpStoresHostValues) {
    Plugin p;
    ASSERT_NE(p.lib, nullptr) << dlerror();
    ComInfo info{};
    info.hostStatus0 = 7;
    info.hostStatus1 = 8;
    p.SetComInfo(&info);
    p.FlashLocalRegister(11, 22, 33);
    EXPECT_EQ(*p.LB, 11);
}

} // namespace
