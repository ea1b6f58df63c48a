// Set-up of the driver object, the register type table and address text parsing.
#include "driver_fixture.h"

#include <climits>

namespace {

struct AddressCase {
    int regType;
    const char *text;
    int expected;
};

TEST(AddressText, ConvertsByType) {
    const AddressCase cases[] = {
        // bit types: "byte.bit" = byte * 8 + bit, the bit not limited to 0..7
        {1, "12.3", 99},
        {0, "5.", 40},
        {2, ".3", 3},
        {0, "3.9", 33},
        {0, "4.1", 33},
        {1, "12", -1},
        {1, "1.2.3", -1},
        {0, "100", -1},
        {0, "a.b", 0},
        // the other known types: a decimal number, non-numeric text is 0
        {7, "100", 100},
        {3, "0", 0},
        {11, "65535", 65535},
        {7, "abc", 0},
        {7, "", 0},
        {8, "-5", -5},
        // unknown types
        {12, "100", 0},
        {-1, "1.2", 0},
        {255, "7", 0},
    };
    for (const AddressCase &c : cases)
        EXPECT_EQ(StringAddressToInt(c.regType, QString::fromLatin1(c.text)), c.expected)
            << "type " << c.regType << " text '" << c.text << "'";
}

TEST(AddressText, NumbersBeyond32BitsAreUnusableNotWrapped) {
    const AddressCase cases[] = {
        {7, "2147483647", INT_MAX},
        {7, "2147483648", -1},
        {4, "99999999999", -1},
        {10, "123456789012345678901234567890", -1}, // beyond 64 bits as well
        {0, "268435455.7", INT_MAX},                // 268435455 * 8 + 7
        {0, "268435456.0", -1},
        {1, "0.2147483648", -1},
        {2, "4294967296.0", -1},
    };
    for (const AddressCase &c : cases)
        EXPECT_EQ(StringAddressToInt(c.regType, QString::fromLatin1(c.text)), c.expected)
            << "type " << c.regType << " text '" << c.text << "'";
}

TEST(TypeTable, AreaOfEachTypeCode) {
    for (int type = 0; type <= 11; ++type)
        EXPECT_EQ(getPlcType(type), type % 3) << type;
    for (int type : {12, 255, -1, INT_MIN, INT_MAX})
        EXPECT_EQ(getPlcType(type), 255) << type;
}

TEST(CharacterHelpers, HexDigitsBothWays) {
    const struct {
        int value, ch;
    } digits[] = {{0, '0'}, {9, '9'}, {10, 'A'}, {15, 'F'}};
    for (const auto &d : digits) {
        EXPECT_EQ(DigitalToASCII(d.value), d.ch) << d.value;
        EXPECT_EQ(ASCIIToDigital(d.ch), d.value) << d.ch;
    }
    // the six codes after '9' continue the count; '@' and codes below '0' give 0;
    // small letters are not folded
    const struct {
        int ch, value;
    } others[] = {{':', 10}, {'?', 15}, {'@', 0}, {'/', 0}, {0, 0}, {'a', 42}, {'G', 16}};
    for (const auto &o : others)
        EXPECT_EQ(ASCIIToDigital(o.ch), o.value) << o.ch;
}

using SetUpTest = DriverTest;

TEST_F(SetUpTest, SetComInfoClearsHostStatusAndSwitchesRecord) {
    ComInfo other{};
    other.hostStatus0 = 5;
    other.hostStatus1 = 6;
    other.framesDone = 7;
    d.SetComInfo(&other);
    EXPECT_EQ(d.comInfo, &other);
    EXPECT_EQ(other.hostStatus0, 0);
    EXPECT_EQ(other.hostStatus1, 0);
    EXPECT_EQ(other.framesDone, 7);
}

TEST_F(SetUpTest, SetComInfoWithNullLeavesDriverWithoutRecord) {
    d.SetComInfo(nullptr);
    EXPECT_EQ(d.comInfo, nullptr);
    RW_VAR var;
    var.regType = 7;
    var.address = QStringLiteral("1");
    var.count = 1;
    EXPECT_EQ(d.AddListOnceReadVar(&var, 0), 0);
    QList<HOSTVAR> vars{HOSTVAR{}};
    EXPECT_EQ(d.ReCreatReadVarList(&vars), 0);
}

int otherCompletion(int, int, int, int) { return 0; }
int otherNotify(QList<RW_VAR>, int, int) { return 0; }

TEST_F(SetUpTest, SecondCallbackRegistrationReplacesBoth) {
    d.RegistCallBackFuncIntf(otherCompletion, otherNotify);
    EXPECT_EQ(d.completionCallback, &otherCompletion);
    EXPECT_EQ(d.notifyCallback, &otherNotify);
}

TEST_F(SetUpTest, RequestSizeBelowOneCountsAsOne) {
    for (int given : {0, -3, INT_MIN}) {
        info.maxRegsPerFrame = given;
        EXPECT_EQ(d.maxRegs(), 1) << given;
    }
    info.maxRegsPerFrame = 125;
    EXPECT_EQ(d.maxRegs(), 125);
}

} // namespace
