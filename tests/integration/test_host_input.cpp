// The reference host's handling of what a user types: variable, read and
// write specs, CSV files, value texts, and the round-trip percentiles.
#include "stats.h"
#include "variables.h"

#include <gtest/gtest.h>

using namespace plchost;

namespace {

TEST(HostInput, VariableSpecs) {
    struct Case {
        const char *arg;
        int type, count, station;
        const char *address;
    } good[] = {
        {"a,0,12.3,1", 0, 1, 7, "12.3"},
        {"b, hold.word , 100, 4, 3", 7, 4, 3, "100"},
        {"c,ext.dword,4095,1", 11, 1, 7, "4095"}, // registers 8190 and 8191
        {"d,hold.bit,2047.7,1", 1, 1, 7, "2047.7"}, // bit 16383: register 1023
        {"e,in.word,1023,1,", 6, 1, 7, "1023"},   // empty station: the default
        {"f,10,0x10,1", -1, 0, 0, nullptr},
    };
    for (const Case &c : good) {
        Variable v;
        std::string error;
        const bool ok = parseVariableArg(c.arg, 7, &v, &error);
        if (!c.address) {
            EXPECT_FALSE(ok) << c.arg;
            continue;
        }
        ASSERT_TRUE(ok) << c.arg << ": " << error;
        EXPECT_EQ(v.type, c.type) << c.arg;
        EXPECT_EQ(v.count, c.count) << c.arg;
        EXPECT_EQ(v.station, c.station) << c.arg;
        EXPECT_EQ(v.address, c.address) << c.arg;
    }
}

TEST(HostInput, MalformedSpecsAreRefusedWithAReason) {
    struct Case {
        const char *arg;
        const char *reason;
    } cases[] = {
        {"a,12,1,1", "unknown type"},
        {"a,-1,1,1", "unknown type"},
        {"a,hold.bit,12,1", "malformed address"},   // no bit number
        {"a,hold.bit,12.8,1", "malformed address"}, // bits are 0..7
        {"a,hold.word,abc,1", "malformed address"},
        {"a,hold.word,99999999999,1", "malformed address"},
        {"a,hold.word,1,0", "bad count"},
        {"a,hold.word,1,x", "bad count"},
        {"a,hold.word,1,1,256", "bad station"},
        {"a,hold.word,1,1,0", "station 0"},
        {"a,hold.word,1000,25", "reaches past"},
        {"a,in.dword,512,1", "reaches past"},   // registers 1024, 1025
        {"a,hold.bit,2047.7,2", "reaches past"}, // bits 16383, 16384: registers 1023, 1024
        {"a,hold.word,1", "expected label"},
        {"", "expected label"},
    };
    for (const Case &c : cases) {
        Variable v;
        std::string error;
        const bool ok = parseVariableArg(c.arg, 1, &v, &error);
        EXPECT_FALSE(ok) << c.arg;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.arg << ": " << error;
    }
}

TEST(HostInput, ReadAndWriteSpecs) {
    Variable v;
    QByteArray value;
    std::string error;
    ASSERT_TRUE(parseReadArg("hold.word,3,5,9", 2, &v, &error)) << error;
    EXPECT_EQ(v.count, 5);
    EXPECT_EQ(v.station, 9);
    ASSERT_TRUE(parseWriteArg("hold.dword,3,0x12345678", 4, &v, &value, &error)) << error;
    EXPECT_EQ(v.station, 4);
    EXPECT_EQ(value, QByteArray::fromHex("78563412"));
    EXPECT_TRUE(parseWriteArg("ext.word,3,-1,0", 1, &v, &value, &error)) << error; // broadcast
    EXPECT_FALSE(parseWriteArg("in.word,3,1", 1, &v, &value, &error));
    EXPECT_NE(error.find("read-only"), std::string::npos);
    EXPECT_FALSE(parseWriteArg("hold.word,3", 1, &v, &value, &error));
    EXPECT_FALSE(parseWriteArg("hold.word,3,12abc", 1, &v, &value, &error));
    EXPECT_NE(error.find("bad value"), std::string::npos);
}

TEST(HostInput, ValueTextsFitTheirKind) {
    struct Case {
        int type;
        const char *text;
        const char *hex; // nullptr: refused
    } cases[] = {
        {1, "1", "01"},         {1, "2", nullptr},         {4, "-128", "80"},
        {4, "256", nullptr},    {7, "0x1234", "3412"},     {7, "65536", nullptr},
        {10, "4294967295", "ffffffff"}, {10, "-2147483648", "00000080"},
        {10, "4294967296", nullptr},    {7, "0x", nullptr}, {7, "--1", nullptr},
    };
    for (const Case &c : cases) {
        QByteArray bytes;
        std::string error;
        const bool ok = encodeValue(c.type, c.text, &bytes, &error);
        EXPECT_EQ(ok, c.hex != nullptr) << c.type << " " << c.text;
        if (ok && c.hex) {
            EXPECT_EQ(bytes.toHex().toStdString(), c.hex) << c.text;
        }
    }
}

TEST(HostInput, DecodesTheDriversValueLayout) {
    const QByteArray data = QByteArray::fromHex("3400120078563412");
    EXPECT_EQ(decodeValues(1, data.left(3)), (std::vector<std::uint32_t>{0x34, 0, 0x12}));
    EXPECT_EQ(decodeValues(4, data.left(4)), (std::vector<std::uint32_t>{0x34, 0x12}));
    EXPECT_EQ(decodeValues(7, data.mid(4)), (std::vector<std::uint32_t>{0x5678, 0x1234}));
    EXPECT_EQ(decodeValues(10, data.mid(4)), (std::vector<std::uint32_t>{0x12345678}));
    EXPECT_TRUE(decodeValues(10, data.left(3)).empty()); // an incomplete element is not shown
}

TEST(HostInput, CsvFiles) {
    std::vector<Variable> vars;
    std::string error;
    ASSERT_TRUE(parseVariableCsv("label,type,address,count,station\n"
                                 "# comment\n\n"
                                 "speed, hold.word, 10, 1\n"
                                 "flags,0,1.0,8,2\n",
                                 5, &vars, &error))
        << error;
    ASSERT_EQ(vars.size(), 2u);
    EXPECT_EQ(vars[0].label, "speed");
    EXPECT_EQ(vars[0].station, 5);
    EXPECT_EQ(vars[1].station, 2);

    vars.clear();
    EXPECT_FALSE(parseVariableCsv("a,hold.word,1,1\nb,hold.word,x,1\n", 1, &vars, &error));
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    EXPECT_FALSE(loadVariableCsv("/nonexistent/vars.csv", 1, &vars, &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

TEST(HostInput, RoundTripPercentilesKeepTheLatestSamples) {
    RoundTrips empty;
    EXPECT_EQ(empty.percentile(0.5), 0);
    RoundTrips trips(100);
    for (int i = 1; i <= 100; ++i)
        trips.add(i);
    EXPECT_EQ(trips.percentile(0.50), 50);
    EXPECT_EQ(trips.percentile(0.99), 99);
    for (int i = 0; i < 100; ++i)
        trips.add(1000); // the oldest samples make room
    EXPECT_EQ(trips.percentile(0.01), 1000);
}

} // namespace
