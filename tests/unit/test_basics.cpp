// Checksums against published check values, the hexadecimal digit helpers,
// the diagnostic log and address text parsing.
#include "address_text.h"
#include "driver_fixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <climits>
#include <string>

namespace {

TEST(Checksums, KnownValuesAndDigits) {
    const struct { std::vector<unsigned char> data; unsigned short sum, crc, lrc, xorValue; } cases[] = {
        {{}, 0, 0xFFFF, 256, 0}, // nothing is read from an empty buffer
        {{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 477, 0x4B37, 0x23, 0x31},
        {{0x80, 0x80}, 256, 0xD061, 256, 0}, {{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}, 14, 0xCDC5, 242, 0x08},
        {std::vector<unsigned char>(300, 0xFF), 10964, 0xDB30, 44, 0},
    };
    for (const auto &c : cases) {
        std::vector<unsigned char> buf = c.data;
        unsigned char *p = buf.empty() ? nullptr : buf.data();
        const auto len = static_cast<unsigned short>(buf.size());
        EXPECT_EQ(CalSUM(p, len), c.sum) << c.data.size();
        EXPECT_EQ(CalCRC(p, len), c.crc) << c.data.size();
        EXPECT_EQ(CalLRC(p, len), c.lrc) << c.data.size();
        EXPECT_EQ(CalXOR(p, len), c.xorValue) << c.data.size();
        EXPECT_EQ(buf, c.data) << "buffer changed";
    }
    for (int digit = 0; digit < 16; ++digit) {
        EXPECT_EQ(DigitalToASCII(digit), "0123456789ABCDEF"[digit]);
        EXPECT_EQ(ASCIIToDigital("0123456789ABCDEF"[digit]), digit);
    }
    EXPECT_EQ(ASCIIToDigital('/') + ASCIIToDigital('@'), 0);
}

// The log appends to drivers.log in the current directory, cut to its buffer.
TEST(DebugLog, AppendsLinesCutToTheBuffer) {
    QTemporaryDir dir;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(dir.isValid() && QDir::setCurrent(dir.path()));
    QFile file(QStringLiteral("drivers.log"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("earlier\n");
    file.close();
    Debug_log("station %d: %s", 3, "timeout");
    Debug_log("%s", std::string(5000, 'x').c_str());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "earlier\nstation 3: timeout\n" + QByteArray(1023, 'x') + '\n');
    QDir::setCurrent(previous);
}

TEST(AddressText, ConvertsByTypeAndRefusesWhatDoesNotFit) {
    const struct { int regType; const char *text; int expected; } cases[] = {
        // bit types: "byte.bit" = byte * 8 + bit, the bit not limited to 0..7
        {1, "12.3", 99}, {0, "5.", 40}, {2, ".3", 3}, {0, "3.9", 33}, {0, "a.b", 0},
        {1, "12", -1}, {1, "1.2.3", -1},
        // other known types: a decimal number; text that is not one is 0
        {7, "100", 100}, {7, "abc", 0}, {8, "-5", -5}, {12, "100", 0}, {-1, "1.2", 0},
        // numbers beyond 32 bits are unusable, never wrapped
        {7, "2147483647", INT_MAX}, {7, "2147483648", -1}, {4, "99999999999", -1}, {7, "-2147483649", -1},
        {0, "268435455.7", INT_MAX}, {0, "268435456.0", -1}, {1, "0.2147483648", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parseAddressText(c.regType, QString::fromLatin1(c.text)), c.expected)
            << "type " << c.regType << " text '" << c.text << "'";
}

} // namespace
