// Set-up of the driver object, the register type table and address text parsing.
#include "driver_fixture.h"

#include <climits>
#include <tuple>

namespace {

TEST(AddressText, ConvertsByTypeAndRefusesWhatDoesNotFit) {
    const struct {
        int regType;
        const char *text;
        int expected;
    } cases[] = {
        // bit types: "byte.bit" = byte * 8 + bit, the bit not limited to 0..7
        {1, "12.3", 99}, {0, "5.", 40}, {2, ".3", 3}, {0, "3.9", 33}, {0, "a.b", 0},
        {1, "12", -1}, {1, "1.2.3", -1}, {0, "100", -1},
        // other known types: a decimal number; text that is not one is 0
        {7, "100", 100}, {11, "65535", 65535}, {7, "abc", 0}, {7, "", 0}, {8, "-5", -5},
        // unknown types
        {12, "100", 0}, {-1, "1.2", 0}, {255, "7", 0},
        // numbers beyond 32 bits are unusable, never wrapped
        {7, "2147483647", INT_MAX}, {7, "2147483648", -1}, {4, "99999999999", -1},
        {10, "123456789012345678901234567890", -1}, {0, "268435455.7", INT_MAX},
        {0, "268435456.0", -1}, {1, "0.2147483648", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(StringAddressToInt(c.regType, QString::fromLatin1(c.text)), c.expected)
            << "type " << c.regType << " text '" << c.text << "'";
}

TEST(TypeTable, AreaOfEachTypeCode) {
    for (int type = 0; type <= 11; ++type)
        EXPECT_EQ(getPlcType(type), type % 3) << type;
    for (int type : {12, 255, -1, INT_MIN})
        EXPECT_EQ(getPlcType(type), 255) << type;
}

TEST(CharacterHelpers, HexDigitsBothWays) {
    for (int value = 0; value < 16; ++value)
        EXPECT_EQ(ASCIIToDigital(DigitalToASCII(value)), value);
    EXPECT_EQ(DigitalToASCII(15), 'F');
    // the six codes after '9' continue the count, '@' and codes below '0'
    // give 0, small letters are not folded
    const int codes[][2] = {{':', 10}, {'?', 15}, {'@', 0}, {'/', 0}, {'a', 42}};
    for (const auto &c : codes)
        EXPECT_EQ(ASCIIToDigital(c[0]), c[1]) << c[0];
}

using SetUpTest = DriverTest;

TEST_F(SetUpTest, SetComInfoClearsHostStatusAndSwitchesRecord) {
    ComInfo other{};
    other.hostStatus0 = 5;
    other.hostStatus1 = 6;
    other.framesDone = 7;
    d.SetComInfo(&other);
    EXPECT_EQ(d.comInfo, &other);
    EXPECT_EQ(std::make_tuple(other.hostStatus0, other.hostStatus1, other.framesDone),
              std::make_tuple(0, 0, 7));
}

} // namespace
