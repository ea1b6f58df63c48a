// The four checksums against published check values, and the diagnostic log.
#include "modbus_rtu_master.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ChecksumCase {
    const char *name;
    std::vector<unsigned char> data;
    unsigned short sum, crc, lrc;
};

TEST(Checksums, KnownValues) {
    const ChecksumCase cases[] = {
        {"empty", {}, 0, 0xFFFF, 256},
        {"abc", {'a', 'b', 'c'}, 294, 0x5749, 218},
        {"check string", {'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 477, 0x4B37, 0x23},
        {"byte sum 256", {0x80, 0x80}, 256, 0xD061, 256},
        {"single zero", {0x00}, 0, 0x40BF, 256},
        {"read request", {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}, 14, 0xCDC5, 242},
        {"300 x 0xFF", std::vector<unsigned char>(300, 0xFF), 10964, 0xDB30, 44},
    };
    for (const ChecksumCase &c : cases) {
        std::vector<unsigned char> buf = c.data;
        const auto len = static_cast<unsigned short>(buf.size());
        EXPECT_EQ(CalSUM(buf.data(), len), c.sum) << c.name;
        EXPECT_EQ(CalCRC(buf.data(), len), c.crc) << c.name;
        EXPECT_EQ(CalLRC(buf.data(), len), c.lrc) << c.name;
        EXPECT_EQ(buf, c.data) << c.name << ": buffer changed";
    }
}

TEST(Checksums, XorFoldsAllBytesAndNeverReadsAnEmptyBuffer) {
    unsigned char abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(CalXOR(abc, 3), 96);
    EXPECT_EQ(CalXOR(abc, 1), 'a');
    EXPECT_EQ(CalXOR(nullptr, 0), 0);
}

// The log writes into the current directory: each test runs in a fresh one.
class DebugLogTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString previous = QDir::currentPath();
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
    }
    void TearDown() override { QDir::setCurrent(previous); }
    static QByteArray logText() {
        QFile file(QStringLiteral("drivers.log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

TEST_F(DebugLogTest, AppendsOneLinePerCall) {
    {
        QFile file(QStringLiteral("drivers.log"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("earlier\n");
    }
    Debug_log("station %d: %s", 3, "timeout");
    Debug_log("%05.1f%%", 2.5);
    EXPECT_EQ(logText(), QByteArray("earlier\nstation 3: timeout\n002.5%\n"));
}

TEST_F(DebugLogTest, LongTextIsCutToTheBuffer) {
    const std::string longText(5000, 'x');
    Debug_log("%s", longText.c_str());
    EXPECT_EQ(logText(), QByteArray(1023, 'x') + '\n');
}

} // namespace
