// The reference host's handling of what a user types: variable, read and
// write specs in driver and device terms, value formats and byte orders,
// variables files in their dialects, and the round-trip percentiles.
#include "stats.h"
#include "variables.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace plchost;

namespace {

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// A --var spec as the host takes it, checked in the mode it needs (a
// station other than the default 7 needs multi-station mode): "TYPE ADDRESS
// FORMAT COUNT/REGISTERS" then "@STATION", or "#STATION" when the spec needs
// multi-station mode; or why it was refused.
std::string parsed(const std::string &arg, bool oneBased = false) {
    SpecDefaults d;
    d.station = 7;
    d.oneBased = oneBased;
    Variable v;
    std::string error;
    const bool multi = parseVariableArg(arg, d, v, error) && (d.needsMultiStation || v.station != 7);
    if (!error.empty() || !checkVariable(v, Access::Read, multi, error))
        return error;
    return typeName(v.type) + (" " + v.address + " ") + formatName(v.type, v.format) + " " +
           std::to_string(v.count) + "/" + std::to_string(driverCount(v)) + (multi ? " #" : " @") +
           std::to_string(v.station);
}

TEST(HostInput, VariableSpecsInDriverAndDeviceTerms) {
    const struct {
        const char *arg, *parsed;
    } cases[] = {
        {"a,0,12.3", "in.bit 12.3 unsigned 1/1 @7"},
        {"b, hold.word , 100, 4, 3", "hold.word 100 unsigned 4/4 #3"},
        {"c,ext.dword,4095,1,,int32", "ext.dword 4095 int32:CDAB 1/2 @7"},
        {"c,hold.dword,5,3", "hold.dword 5 unsigned:CDAB 3/6 @7"}, // double-word counts count registers
        {"d,hold.word:float:abcd,10,2", "hold.word 10 float:ABCD 2/4 @7"},
        {"\"e,\"\"1\"\"\",hold.bit,2047.7", "hold.bit 2047.7 unsigned 1/1 @7"},
        {"f,hold,5000,2", "ext.word 0 unsigned 2/2 @7"}, // the extended image
        {"g,hold:float,1023", "hold.word 1023 float:CDAB 1/2 #7"}, // registers 1023, 1024
        {"h,ref,40001", "hold.word 0 unsigned 1/1 @7"},
        {"i,ref,365536", "in.word 65535 unsigned 1/1 #7"},
        {"j,in,1024", "in.word 1024 unsigned 1/1 #7"},
        {"l,hold.word,60000,1,2", "hold.word 60000 unsigned 1/1 #2"},
        {"a,12,1", "unknown type '12'"},
        {"a,hold.bit,12.8", "malformed address"}, // bits are 0..7
        {"a,hold.word,abc", "malformed address"},
        {"a,hold.word,1,0", "bad count"},
        {"a,hold.word,1,1,256", "bad station"},
        {"a,hold.word,5000", "holding register 5000 is ext.word 0"},
        {"a,hold.dword,2600", "hold.dword 2600 is ext.dword 100"},
        {"a,hold.word,40001", "type hold,40001 for holding register 40001 (multi-station mode "
                              "reaches registers 0..65535), or ref,40001 for the reference 40001"},
        {"a,in.dword,512", "type in,1024 for input register 1024"},
        {"a,hold.word,65535,2,2", "past the holding registers 0..65535"},
        {"a,hold.byte:float,1", "32-bit values"},
        {"a,hold.word:float:abdc,1", "unknown value format 'abdc'"},
        {"a,ref,40000", "bad reference"},
        {"a,hold,65536", "bad register"},
        {"a,hold:float,65535", "run past register 65535"},
        {"a,hold.word", "expected label"},
        {"", "expected label"},
    };
    for (const auto &c : cases)
        EXPECT_TRUE(contains(parsed(c.arg), c.parsed)) << c.arg << ": " << parsed(c.arg);
    EXPECT_EQ(parsed("k,hold,1", true), "hold.word 0 unsigned 1/1 @7"); // counted from 1
}

TEST(HostInput, ReadAndWriteSpecs) {
    SpecDefaults d;
    d.station = 4;
    Variable v;
    QByteArray value;
    std::string error;
    ASSERT_TRUE(parseReadArg("hold.word,3,5,9", d, v, error)) << error;
    EXPECT_EQ(v.count, 5);
    EXPECT_EQ(v.station, 9);
    ASSERT_TRUE(parseWriteArg("hold:float,5000,1.5 -2", d, v, value, error)) << error;
    EXPECT_EQ(typeName(v.type), std::string("ext.word")); // two floats in ext.word 0..3
    EXPECT_EQ(driverCount(v), 4);
    EXPECT_EQ(v.station, 4);
    ASSERT_TRUE(parseWriteArg("in.word,3,1", d, v, value, error)) << error;
    EXPECT_FALSE(checkVariable(v, Access::Write, false, error));
    EXPECT_TRUE(contains(error, "read-only")) << error;
    EXPECT_FALSE(parseWriteArg("hold.word,3", d, v, value, error));
    EXPECT_FALSE(parseWriteArg("hold.word,3,12abc", d, v, value, error));
    EXPECT_TRUE(contains(error, "bad value '12abc'")) << error;
}

// Each value text as SetRegisterData takes it, then as GetRegisterData gives
// it back and plc_poll shows it.
TEST(HostInput, ValueFormatsAndByteOrders) {
    const struct {
        const char *type; // TYPE[:FORMAT]
        const char *text;
        const char *written; // hex; nullptr: refused
        const char *shown;   // nullptr: the text itself
    } cases[] = {
        {"hold.word:signed", "-1", "ffff", nullptr},
        {"hold.word", "-1", "ffff", "65535"},
        {"hold.word:hex", "0xAB", "ab00", "0x00AB"},
        {"hold.word:bin", "0b101", "0500", "0b0000000000000101"},
        {"hold.word:float", "21.5", "0000ac41", nullptr}, // low word first
        {"hold.word:float:abcd", "21.5", "ac410000", nullptr},
        {"hold.word:uint32:abcd", "0x11223344", "22114433", "287454020"},
        {"hold.word:uint32:cdab", "0x11223344", "44332211", "287454020"},
        {"hold.word:uint32:badc", "0x11223344", "11223344", "287454020"},
        {"hold.word:uint32:dcba", "0x11223344", "33441122", "287454020"},
        {"hold.word:int32", "-2147483648", "00000080", nullptr},
        {"hold.dword", "0x12345678", "78563412", "305419896"},
        {"hold.dword:signed", "-1", "ffffffff", nullptr},
        {"hold.dword:hex:abcd", "0x12345678", "34127856", "0x12345678"},
        {"hold.word", "1 2 3", "010002000300", nullptr},
        {"hold.bit", "1", "01", nullptr},
        {"hold.bit", "2", nullptr, nullptr},
        {"hold.byte", "-128", "80", "128"},
        {"hold.byte", "256", nullptr, nullptr},
        {"hold.word", "--1", nullptr, nullptr},
        {"hold.word:float", "abc", nullptr, nullptr},
        {"hold.word:float", "1e39", nullptr, nullptr},
        {"hold.word:int32", "4294967296", nullptr, nullptr},
    };
    for (const auto &c : cases) {
        Variable v;
        QByteArray bytes;
        std::string error;
        SpecDefaults d;
        const std::string address = std::string(c.type) == "hold.bit" ? ",1.0," : ",1,";
        const bool ok = parseWriteArg(c.type + address + c.text, d, v, bytes, error);
        EXPECT_EQ(ok, c.written != nullptr) << c.type << " " << c.text << ": " << error;
        if (!ok || !c.written)
            continue;
        EXPECT_EQ(bytes.toHex().toStdString(), c.written) << c.type << " " << c.text;
        QByteArray read;
        for (char b : bytes) // GetRegisterData gives a byte with a 0 after it
            read.append(b).append(plc::kindOf(v.type) == plc::ElementKind::Byte ? 1 : 0, '\0');
        std::string shown;
        for (const std::string &text : formatValues(v.type, v.format, read))
            shown += (shown.empty() ? "" : " ") + text;
        EXPECT_EQ(shown, c.shown ? c.shown : c.text) << c.type;
    }
    EXPECT_TRUE(formatValues(10, ValueFormat(), QByteArray(3, '\0')).empty()); // incomplete
}

TEST(HostInput, VariablesFilesInTheirDialects) {
    const struct {
        const char *text;
        const char *labels; // joined by '|'; nullptr: refused
        const char *error;
    } cases[] = {
        {"\xEF\xBB\xBFlabel;type;address;count;station;format\r\n"
         "# comment\r\n\r\n"
         "speed; hold.word; 10\r\n"
         "\"a;b \"\"c\"\"\";hold.word:float;11;2;3;abcd\r\n",
         "speed|a;b \"c\"", nullptr},
        {"x,hold.word,1\n\"two\nlines\",hold.word,2,,,signed", "x|two\nlines", nullptr},
        {"a,hold.word,1\nb,hold.word,x\n", nullptr, "line 2: malformed address"},
        {"a,hold.word,1\n\n,hold.word,2\n", nullptr, "line 3: empty label"},
        {"a,hold.word,1\n# c\na,hold.word,2\n", nullptr, "line 3: duplicate label 'a'"},
        {"a,hold.word,1\n\"b,hold.word,2\n", nullptr, "line 2: a quoted field is not closed"},
        {"\"a\"x,hold.word,1\n", nullptr, "line 1: text after the closing quote"},
    };
    for (const auto &c : cases) {
        std::istringstream in(c.text);
        std::vector<Variable> vars;
        SpecDefaults d;
        LabelIndex labels;
        std::string error;
        const bool ok = readVariableCsv(in, d, labels, vars, error);
        EXPECT_EQ(ok, c.labels != nullptr) << c.text << ": " << error;
        std::string joined;
        for (const Variable &v : vars)
            joined += (joined.empty() ? "" : "|") + v.label;
        if (c.labels)
            EXPECT_EQ(joined, c.labels);
        else
            EXPECT_TRUE(contains(error, c.error)) << error;
    }
}

TEST(HostInput, RoundTripPercentilesKeepTheLatestSamples) {
    RoundTrips trips(100);
    EXPECT_EQ(trips.percentile(0.5), 0);
    for (int i = 1; i <= 100; ++i)
        trips.add(i);
    EXPECT_EQ(trips.percentile(0.50), 50);
    EXPECT_EQ(trips.percentile(0.99), 99);
    for (int i = 0; i < 100; ++i)
        trips.add(1000); // the oldest samples make room
    EXPECT_EQ(trips.percentile(0.01), 1000);
}

} // namespace
