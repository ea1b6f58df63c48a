// Drives the built plug-in through its exported C interface only, loaded
// with dlopen by path, with the records declared as a host declares them.
#include "plc_driver.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <thread>

namespace {

int completions = 0;
int countCompletion(int handle, int, int, int status) {
    completions += handle == 42 && status == 1;
    return 0;
}
int ignoreNotify(QList<RW_VAR>, int, int) { return 0; }

// A fresh load of the plug-in for each test.
struct Plugin {
    void *lib = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ~Plugin() {
        if (lib)
            dlclose(lib);
    }
    template <typename F>
    F symbol(const char *name) const {
        void *p = lib ? dlsym(lib, name) : nullptr;
        EXPECT_NE(p, nullptr) << name;
        return reinterpret_cast<F>(p);
    }
    // The settings a host hands over (writes go to the PLC), and callbacks
    // that count the successes of host handle 42.
    ComInfo info{};
    void setUp() {
        info.maxRegsPerFrame = 100;
        info.defaultStation = 1;
        info.retryLimit = 2;
        info.hostHandle = 42;
        info.writeMode = 2;
        symbol<decltype(&::SetComInfo)>("SetComInfo")(&info);
        symbol<decltype(&::RegistCallBackFuncIntf)>("RegistCallBackFuncIntf")(countCompletion, ignoreNotify);
        completions = 0;
    }
};

// An exported function or variable of the plug-in `p`, by its declared name.
#define EXPORTED(name) p.symbol<decltype(&::name)>(#name)

QByteArray bytes(std::initializer_list<char> values) { return QByteArray(values.begin(), int(values.size())); }

// A PLC's answer: a write's echo, or a read's byte count and zero registers,
// behind the request's transaction and protocol identifiers.
QByteArray plcReply(const Protocol &p) {
    const char function = p.frame[7];
    const bool write = function == 5 || function == 6 || function == 16;
    const int data = p.replyLen - 9;
    const QByteArray pdu = write ? p.frame.mid(7, 5) : bytes({function, char(data)}) + QByteArray(data, '\0');
    const int length = pdu.size() + 1;
    return p.frame.left(4) + bytes({char(length >> 8), char(length), p.frame[6]}) + pdu;
}

// Calls before set-up answer harmlessly; then a host's loop in small: a
// cyclic plan, a one-shot read and writes become frames, replies come back
// through DataCom and the values through GetRegisterData.
TEST(Interface, HostLoopThroughTheExports) {
    Plugin p;
    ASSERT_NE(p.lib, nullptr) << dlerror();
    EXPECT_EQ(EXPORTED(QueryFinishFlag)(), 1);
    QByteArray none;
    EXPECT_EQ(EXPORTED(DataCom)(&none, 0)->result, 1);
    EXPORTED(FlashLocalRegister)(11, 22, 33);
    EXPECT_EQ(std::make_tuple(*EXPORTED(LB), *EXPORTED(LW), *EXPORTED(RWI)), std::make_tuple(11, 22, 33));
    EXPECT_EQ(EXPORTED(PLCAddressChangeIntef)(1, QStringLiteral("12.3")), 99);
    unsigned char check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(EXPORTED(CalCRC)(check, 9), 0x4B37);
    EXPECT_EQ(EXPORTED(ASCIIToDigital)(EXPORTED(DigitalToASCII)(15)), 15);

    p.info.hostStatus0 = 7;
    p.setUp();
    EXPECT_EQ(p.info.hostStatus0, 0);
    QList<HOSTVAR> vars{{0, 7, 0, 0, 0, QStringLiteral("100"), {}, 4},
                        {0, 7, 0, 0, 0, QStringLiteral("106"), {}, 4}};
    EXPECT_EQ(EXPORTED(ReCreatReadVarList)(&vars), 0);
    const Protocol *frame = EXPORTED(ComCommunication)();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->frame, bytes({0, 1, 0, 0, 0, 6, 1, 3, 0, 100, 0, 10})); // transaction 1
    EXPECT_EQ(frame->replyLen, 29);
    QByteArray reply = bytes({0, 1, 0, 0, 0, 23, 1, 3, 20, 0x12, 0x34}) + QByteArray(18, '\0');
    EXPECT_EQ(EXPORTED(DataCom)(&reply, reply.size())->result, 1);
    QByteArray data;
    EXPECT_EQ(EXPORTED(GetRegisterData)(nullptr, 7, QStringLiteral("100"), 1, data, 1), 1);
    EXPECT_EQ(data, bytes({0x34, 0x12}));

    RW_VAR once{0, 0, 0, 0, 0, 0, {}, QStringLiteral("100"), 7, 0, 0, 250, 0, 0, {}};
    EXPECT_EQ(EXPORTED(AddListOnceReadVar)(&once, 0), 3); // registers 100, 200, 300
    RW_VAR write = once;
    EXPECT_EQ(EXPORTED(AddListWriteVar)(&write, 0), 1);
    EXPECT_EQ(EXPORTED(SetRegisterData)(QString(), 7, QStringLiteral("5"), 1, bytes({1, 0}), 1, 1, 2), 2);
    for (int i = 0; i < 20 && completions < 3; ++i)
        if (const Protocol *next = EXPORTED(ComCommunication)()) {
            QByteArray answer = plcReply(*next);
            EXPECT_EQ(EXPORTED(DataCom)(&answer, answer.size())->result, 1);
        }
    EXPECT_EQ(completions, 3); // two writes, and the one-shot read once for its three pieces
}

// The frame ComCommunication hands out stays in place until DataCom while
// other host threads queue writes and one-shot reads (lists that grow and, in
// Qt 6, move their elements when they do), and the record DataCom returns
// stays valid while they go on. ASan sees a frame that moved as a use after free.
TEST(Interface, FrameAndResultStayPutWhileOtherThreadsQueue) {
    Plugin p;
    ASSERT_NE(p.lib, nullptr) << dlerror();
    p.setUp();
    const auto queueMany = [&](int tag0) {
        for (int i = 0; i < 600; ++i) {
            const QString address = QString::number(i);
            EXPORTED(SetRegisterData)(QString(), 7, address, 1, bytes({char(i), 0}), 1, tag0, i);
            RW_VAR once{tag0, 0, 0, 0, 0, 0, {}, address, 7, 0, 0, 1, 0, 0, {}};
            EXPORTED(AddListOnceReadVar)(&once, 0);
        }
    };
    EXPECT_EQ(EXPORTED(SetRegisterData)(QString(), 7, QStringLiteral("5"), 1, bytes({1, 0}), 1, 1, 2), 1);
    const Protocol *frame = EXPORTED(ComCommunication)();
    ASSERT_NE(frame, nullptr);
    const QByteArray sent = frame->frame;
    std::thread other(queueMany, 10);
    queueMany(20);
    other.join();
    EXPECT_EQ(EXPORTED(ComCommunication)(), frame); // still the one in flight, in place
    EXPECT_EQ(frame->frame, sent);
    EXPECT_EQ(frame->var.hostTag1, 2);

    QByteArray echo = frame->frame; // function 6 is answered with its request
    const RW_VAR *result = EXPORTED(DataCom)(&echo, echo.size());
    std::thread more(queueMany, 30);
    EXPECT_EQ(result->result, 1);
    EXPECT_EQ(result->hostTag1, 2);
    EXPECT_EQ(result->address, QStringLiteral("5"));
    more.join();
}

} // namespace
