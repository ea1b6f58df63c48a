// Drives the built plug-in through its exported C interface only, loaded
// with dlopen by path, with the records declared as a host declares them.
#include "plc_driver.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <tuple>

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
    decltype(&::CalSUM) CalSUM = symbol<decltype(CalSUM)>(lib, "CalSUM");
    decltype(&::CalCRC) CalCRC = symbol<decltype(CalCRC)>(lib, "CalCRC");
    decltype(&::CalLRC) CalLRC = symbol<decltype(CalLRC)>(lib, "CalLRC");
    decltype(&::CalXOR) CalXOR = symbol<decltype(CalXOR)>(lib, "CalXOR");
    decltype(&::DigitalToASCII) DigitalToASCII = symbol<decltype(DigitalToASCII)>(lib, "DigitalToASCII");
    decltype(&::ASCIIToDigital) ASCIIToDigital = symbol<decltype(ASCIIToDigital)>(lib, "ASCIIToDigital");
    int *LB = symbol<int *>(lib, "LB");
    int *LW = symbol<int *>(lib, "LW");
    int *RWI = symbol<int *>(lib, "RWI");

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
    EXPECT_EQ(*p.LW, 22);
    EXPECT_EQ(*p.RWI, 33);
    EXPECT_EQ(info.hostStatus0, 0);
    EXPECT_EQ(info.hostStatus1, 0);
}

// A host's settings record, as a host fills it in.
ComInfo hostSettings(int maxRegs, int multiStation = 0) {
    ComInfo info{};
    info.maxRegsPerFrame = maxRegs;
    info.defaultStation = 1;
    info.retryLimit = 2;
    info.multiStation = multiStation;
    info.hostHandle = 42;
    return info;
}

int ignoreCompletion(int, int, int, int) { return 0; }
int ignoreNotify(QList<RW_VAR>, int, int) { return 0; }

TEST(Interface, AddressTextsConvert) {
    Plugin p;
    ASSERT_NE(p.lib, nullptr) << dlerror();
    const struct {
        int regType;
        const char *text;
        int expected;
    } cases[] = {{1, "12.3", 99}, {1, "12", -1}, {0, "5.", 40}, {7, "100", 100},
                 {7, "abc", 0},   {12, "100", 0}, {7, "2147483648", -1}, {9, "-3", -3}};
    for (const auto &c : cases)
        EXPECT_EQ(p.PLCAddressChangeIntef(c.regType, QString::fromLatin1(c.text)), c.expected)
            << c.regType << " " << c.text;
}

RW_VAR variable(int regType, const char *address, int count, int hostTag0 = 0) {
    RW_VAR var;
    var.hostTag0 = hostTag0;
    var.regType = regType;
    var.address = QString::fromLatin1(address);
    var.count = count;
    return var;
}

TEST(Interface, QueuesAnswerWithTheirSize) {
    Plugin p;
    ASSERT_NE(p.lib, nullptr) << dlerror();
    ComInfo info = hostSettings(100);
    p.SetComInfo(&info);
    p.RegistCallBackFuncIntf(ignoreCompletion, ignoreNotify);

    RW_VAR cut = variable(7, "100", 250);
    EXPECT_EQ(p.AddListOnceReadVar(&cut, 0), 3); // registers 100, 200, 300
    EXPECT_EQ(std::make_tuple(cut.regType, cut.regAddr, cut.count, cut.station),
              std::make_tuple(1, 300, 50, 1));
    RW_VAR again = variable(7, "100", 250);
    EXPECT_EQ(p.AddListOnceReadVar(&again, 0), 3);
    RW_VAR noDot = variable(1, "12", 1);
    EXPECT_EQ(p.AddListOnceReadVar(&noDot, 0), 0);
    RW_VAR tooFar = variable(10, "1073741824", 1);
    EXPECT_EQ(p.AddListOnceReadVar(&tooFar, 0), 0);
    RW_VAR none = variable(7, "5", 0);
    EXPECT_EQ(p.AddListOnceReadVar(&none, 0), 3);

    RW_VAR head = variable(7, "", 1, 1);
    RW_VAR second = variable(7, "", 1, 2);
    second.regAddr = 5;
    RW_VAR newer = second;
    newer.hostTag0 = 3;
    EXPECT_EQ(p.AddListWriteVar(&head, 0), 1);
    EXPECT_EQ(p.AddListWriteVar(&head, 0), 2); // the head is never merged into
    EXPECT_EQ(p.AddListWriteVar(&second, 0), 3);
    EXPECT_EQ(p.AddListWriteVar(&newer, 0), 3); // replaces the waiting write
    EXPECT_EQ(p.AddListWriteVar(&newer, 1), 4);
}

HOSTVAR hostVar(int regType, const char *address, int count, int station) {
    HOSTVAR var;
    var.regType = quint8(regType);
    var.address = QString::fromLatin1(address);
    var.count = count;
    var.station = quint8(station);
    return var;
}

TEST(Interface, RebuildAnswersPerMode) {
    Plugin p;
    ASSERT_NE(p.lib, nullptr) << dlerror();
    ComInfo info = hostSettings(10);
    p.SetComInfo(&info);
    QList<HOSTVAR> vars{hostVar(7, "0", 25, 1), hostVar(7, "0", 3, 2), hostVar(13, "0", 1, 1)};
    EXPECT_EQ(p.ReCreatReadVarList(&vars), 0);
    info.multiStation = 1;
    EXPECT_EQ(p.ReCreatReadVarList(&vars), 4); // 10 + 10 + 5 at station 1, 3 at station 2
    QList<HOSTVAR> empty;
    EXPECT_EQ(p.ReCreatReadVarList(&empty), 0);
}

TEST(Interface, ChecksumsAndCharacterHelpers) {
    Plugin p;
    ASSERT_NE(p.lib, nullptr) << dlerror();
    unsigned char check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(p.CalCRC(check, 9), 0x4B37);
    EXPECT_EQ(p.CalSUM(check, 9), 477);
    EXPECT_EQ(p.CalLRC(check, 9), 35);
    EXPECT_EQ(p.CalXOR(check, 9), 0x31);
    EXPECT_EQ(p.CalXOR(check, 0), 0);
    EXPECT_EQ(p.DigitalToASCII(15), 'F');
    EXPECT_EQ(p.ASCIIToDigital('a'), 42);
}

// The host's loop in small: a cyclic plan becomes a Modbus TCP read request.
TEST(Interface, CyclicPlanProducesReadFrame) {
    Plugin p;
    ASSERT_NE(p.lib, nullptr) << dlerror();
    ComInfo info = hostSettings(100);
    p.SetComInfo(&info);
    p.RegistCallBackFuncIntf(ignoreCompletion, ignoreNotify);
    QList<HOSTVAR> vars{hostVar(7, "100", 4, 0), hostVar(7, "106", 4, 0)};
    p.ReCreatReadVarList(&vars);
    const Protocol *frame = p.ComCommunication();
    ASSERT_NE(frame, nullptr);
    const char expected[] = {0, 0, 0, 0, 0, 6, 1, 3, 0, 100, 0, 10};
    EXPECT_EQ(frame->frame, QByteArray(expected, sizeof expected));
    EXPECT_EQ(frame->frameLen, 12);
    EXPECT_EQ(frame->replyLen, 29);
    EXPECT_EQ(frame->var.regAddr, 100);
    EXPECT_EQ(frame->var.hostTag1, -1);
}

} // namespace
