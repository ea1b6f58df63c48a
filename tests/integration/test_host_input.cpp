// The reference host's handling of what a user types: variable, read and
// write arguments in driver and device terms, value formats and byte orders,
// and variables files in their dialects.
#include "variables.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace plchost;

namespace {

// A --var (v), --read (r) or --write (w) argument as the host takes it, checked
// in the mode it needs (a station other than the default 7 needs
// multi-station mode): "TYPE ADDRESS FORMAT COUNT/REGISTERS" then
// "@STATION", or "#STATION" when it needs multi-station mode, then a write's
// value bytes; or why it was refused.
std::string parsed(char kind, const std::string &arg, bool oneBased = false) {
    ArgumentDefaults d;
    d.station = 7;
    d.oneBased = oneBased;
    Variable v;
    QByteArray value;
    std::string error;
    const bool ok = kind == 'v'   ? parseVariableArg(arg, d, v, error)
                    : kind == 'r' ? parseReadArg(arg, d, v, error)
                                  : parseWriteArg(arg, d, v, value, error);
    const bool multi = ok && (d.needsMultiStation || v.station != 7);
    if (!ok || !checkVariable(v, kind == 'w' ? Access::Write : Access::Read, multi, error))
        return error;
    return typeName(v.type) + (" " + v.address + " ") + formatName(v.type, v.format) + " " + std::to_string(v.count) +
           "/" + std::to_string(driverCount(v)) + (multi ? " #" : " @") + std::to_string(v.station) +
           (value.isEmpty() ? "" : " = " + value.toHex().toStdString());
}

TEST(HostInput, SpecsInDriverAndDeviceTerms) {
    const struct { char kind; const char *arg, *parsed; } cases[] = {
        {'v', "a,0,2047.7", "in.bit 2047.7 unsigned 1/1 @7"},
        {'v', "b, hold.word , 100, 4, 3", "hold.word 100 unsigned 4/4 #3"},
        {'v', "c,hold.dword,5,3", "hold.dword 5 unsigned:CDAB 3/6 @7"}, // double-word counts count registers
        {'v', "d,hold.word:float:abcd,10,2", "hold.word 10 float:ABCD 2/4 @7"},
        {'v', "f,hold,5000,2", "ext.word 0 unsigned 2/2 @7"},          // the extended image
        {'v', "g,hold:float,1023", "hold.word 1023 float:CDAB 1/2 #7"}, // registers 1023, 1024
        {'v', "h,ref,40001", "hold.word 0 unsigned 1/1 @7"},
        {'v', "i,ref,365536", "in.word 65535 unsigned 1/1 #7"},
        {'v', "j,in,1024", "in.word 1024 unsigned 1/1 #7"},
        {'r', "hold.word,3,5,9", "hold.word 3 unsigned 5/5 #9"},
        {'w', "hold:float,5000,1.5 -2", "ext.word 0 float:CDAB 2/4 @7 = 0000c03f000000c0"},
        {'v', "a,12,1", "unknown type '12'"},
        {'v', "a,hold.bit,12.8", "malformed address"}, // bits are 0..7
        {'v', "a,hold.word,1,1,256", "bad station"},
        {'v', "a,hold.word,5000", "holding register 5000 is ext.word 0"},
        {'v', "a,hold.word,40001", "type hold,40001 for holding register 40001 (multi-station mode "
                                   "reaches registers 0..65535), or ref,40001 for the reference 40001"},
        {'v', "a,in.dword,512", "type in,1024 for input register 1024"},
        {'v', "a,hold.word,65535,2,2", "past the holding registers 0..65535"},
        {'v', "a,hold.byte:float,1", "32-bit values"},
        {'v', "a,hold.word:float:abdc,1", "unknown value format 'abdc'"},
        {'v', "a,hold:float,65535", "run past register 65535"},
        {'w', "in.word,3,1", "read-only"},
        {'w', "hold.word,3,12abc", "bad value '12abc'"},
    };
    for (const auto &c : cases)
        EXPECT_NE(parsed(c.kind, c.arg).find(c.parsed), std::string::npos) << c.arg << ": " << parsed(c.kind, c.arg);
    EXPECT_EQ(parsed('v', "k,hold,1", true), "hold.word 0 unsigned 1/1 @7"); // counted from 1
}

// Each --write value as SetRegisterData takes it (hex), then as
// GetRegisterData gives it back and plc_poll shows it.
TEST(HostInput, ValueFormatsAndByteOrders) {
    const struct { const char *arg, *result; } cases[] = {
        {"hold.word:signed,1,-1", "ffff: -1"},
        {"hold.word,1,-1", "ffff: 65535"},
        {"hold.word:hex,1,0xAB", "ab00: 0x00AB"},
        {"hold.word:bin,1,0b101", "0500: 0b0000000000000101"},
        {"hold.word:float,1,21.5", "0000ac41: 21.5"},  // low word first
        {"hold.word:uint32:abcd,1,0x11223344", "22114433: 287454020"},
        {"hold.word:uint32:cdab,1,0x11223344", "44332211: 287454020"},
        {"hold.word:uint32:badc,1,0x11223344", "11223344: 287454020"},
        {"hold.word:uint32:dcba,1,0x11223344", "33441122: 287454020"},
        {"hold.word:int32,1,-2147483648", "00000080: -2147483648"},
        {"hold.dword,1,0x12345678", "78563412: 305419896"},
        {"hold.dword:signed,1,-1", "ffffffff: -1"},
        {"hold.dword:hex:abcd,1,0x12345678", "34127856: 0x12345678"},
        {"hold.word,1,1 2 3", "010002000300: 1 2 3"},
        {"hold.bit,1.0,1", "01: 1"},
        {"hold.bit,1.0,2", "refused"},
        {"hold.byte,1,-128", "80: 128"},
        {"hold.byte,1,256", "refused"},
        {"hold.word:float,1,1e39", "refused"},
        {"hold.word:int32,1,4294967296", "refused"},
    };
    for (const auto &c : cases) {
        Variable v;
        QByteArray bytes, read;
        std::string error, result = "refused";
        ArgumentDefaults d;
        if (parseWriteArg(c.arg, d, v, bytes, error)) {
            for (char b : bytes) // GetRegisterData gives a byte with a 0 after it
                read.append(b).append(plc::kindOf(v.type) == plc::ElementKind::Byte ? 1 : 0, '\0');
            result = bytes.toHex().toStdString() + ":";
            for (const std::string &text : formatValues(v.type, v.format, read))
                result += " " + text;
        }
        EXPECT_EQ(result, c.result) << c.arg;
    }
    EXPECT_TRUE(formatValues(10, ValueFormat(), QByteArray(3, '\0')).empty()); // incomplete
}

// Variables files: the labels read, joined by '|', or why one was refused.
TEST(HostInput, VariablesFilesInTheirDialects) {
    const struct { const char *text, *read; } cases[] = {
        {"\xEF\xBB\xBFlabel;type;address;count;station;format\r\n# comment\r\n\r\n"
         "speed; hold.word; 10;;;signed\r\n\"a;b \"\"c\"\"\";hold.word:float;11;2;3;abcd\r\n",
         "speed|a;b \"c\""},
        {"a,hold.word,1\n\n,hold.word,2\n", "line 3: empty label"},
        {"a,hold.word,1\n# c\na,hold.word,2\n", "line 3: duplicate label 'a'"},
        {"a,hold.word,1\n\"b,hold.word,2\n", "line 2: a quoted field is not closed"},
        {"\"a\"x,hold.word,1\n", "line 1: text after the closing quote"},
    };
    for (const auto &c : cases) {
        std::istringstream in(c.text);
        std::vector<Variable> vars;
        ArgumentDefaults d;
        LabelIndex labels;
        std::string read; // the labels read, or why the file was refused
        if (readVariableCsv(in, d, labels, vars, read))
            for (const Variable &v : vars)
                read += (read.empty() ? "" : "|") + v.label;
        EXPECT_NE(read.find(c.read), std::string::npos) << c.text << ": " << read;
    }
}

} // namespace
