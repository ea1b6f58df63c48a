#include "variables.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace plchost {

namespace {

const char *const kTypeNames[12] = {"in.bit",  "hold.bit",  "ext.bit",  "in.byte",
                                    "hold.byte", "ext.byte", "in.word", "hold.word",
                                    "ext.word", "in.dword", "hold.dword", "ext.dword"};
// Registers of the three images the driver keeps (and the PLC serves).
const int kImageRegs[3] = {1024, 1024, 8192};
const int kMaxStation = 255; // the unit identifier is one byte

std::string trim(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

std::vector<std::string> splitFields(const std::string &arg) {
    std::vector<std::string> fields;
    std::stringstream in(arg);
    std::string field;
    while (std::getline(in, field, ','))
        fields.push_back(trim(field));
    if (!arg.empty() && arg.back() == ',')
        fields.emplace_back();
    return fields;
}

// A whole decimal number, or hexadecimal after 0x, optionally negative.
bool parseNumber(const std::string &text, long long *out) {
    std::string t = trim(text);
    bool negative = !t.empty() && t[0] == '-';
    std::string digits = negative ? t.substr(1) : t;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 16)
        return false;
    for (char c : digits)
        if (!(base == 16 ? std::isxdigit(static_cast<unsigned char>(c))
                         : std::isdigit(static_cast<unsigned char>(c))))
            return false;
    long long value = std::strtoll(digits.c_str(), nullptr, base);
    *out = negative ? -value : value;
    return true;
}

bool parseInt(const std::string &text, int lo, int hi, int *out) {
    long long v = 0;
    if (!parseNumber(text, &v) || v < lo || v > hi)
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool allDigits(const std::string &s) {
    if (s.empty() || s.size() > 9)
        return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// The numeric address: byte * 8 + bit for bit types, the number otherwise;
// -1 when the text has the wrong form.
long long numericAddress(int type, const std::string &text) {
    if (kindOf(type) != Kind::Bit)
        return allDigits(text) ? std::atoll(text.c_str()) : -1;
    size_t dot = text.find('.');
    if (dot == std::string::npos)
        return -1;
    std::string byte = text.substr(0, dot), bit = text.substr(dot + 1);
    if (!allDigits(byte) || bit.size() != 1 || bit[0] < '0' || bit[0] > '7')
        return -1;
    return std::atoll(byte.c_str()) * 8 + (bit[0] - '0');
}

long long firstRegisterOf(int type, long long address) {
    switch (kindOf(type)) {
    case Kind::Bit: return address >> 4;
    case Kind::Byte: return address >> 1;
    case Kind::Word: return address;
    case Kind::DWord: return address * 2;
    }
    return 0;
}

long long registersOf(int type, long long address, long long count) {
    switch (kindOf(type)) {
    case Kind::Bit: return (address % 16 + count + 15) / 16;
    case Kind::Byte: return (address % 2 + count + 1) / 2;
    case Kind::Word: return count;
    case Kind::DWord: return count * 2;
    }
    return 0;
}

bool fail(std::string *error, const std::string &message) {
    if (error)
        *error = message;
    return false;
}

bool parseTypeField(const std::string &text, int *type, std::string *error) {
    return parseType(text, type) ||
           fail(error, "unknown type '" + text +
                           "' (use 0..11 or a name such as in.bit, hold.word, ext.dword)");
}

bool parseStationField(const std::vector<std::string> &f, size_t index, int defaultStation,
                       int *station, std::string *error) {
    if (f.size() <= index || f[index].empty()) {
        *station = defaultStation;
        return true;
    }
    return parseInt(f[index], 0, kMaxStation, station) ||
           fail(error, "bad station '" + f[index] + "' (0..255)");
}

bool parseCountField(const std::string &text, int *count, std::string *error) {
    return parseInt(text, 1, 1 << 20, count) || fail(error, "bad count '" + text + "'");
}

bool checked(const Variable &v, Access access, std::string *error) {
    std::string problem = checkVariable(v, access);
    return problem.empty() || fail(error, problem);
}

} // namespace

const char *typeName(int type) { return type >= 0 && type <= 11 ? kTypeNames[type] : "?"; }

bool parseType(const std::string &text, int *type) {
    for (int t = 0; t < 12; ++t)
        if (text == kTypeNames[t]) {
            *type = t;
            return true;
        }
    return allDigits(text) && parseInt(text, 0, 11, type);
}

std::string checkVariable(const Variable &v, Access access) {
    if (v.type < 0 || v.type > 11)
        return "unknown type " + std::to_string(v.type);
    long long address = numericAddress(v.type, v.address);
    if (address < 0)
        return "malformed address '" + v.address + "' for " + typeName(v.type) +
               (kindOf(v.type) == Kind::Bit ? " (expected byte.bit, e.g. 12.3)"
                                            : " (expected a decimal number)");
    if (v.count < 1)
        return "count must be 1 or more";
    if (v.station < 0 || v.station > kMaxStation)
        return "station " + std::to_string(v.station) + " is outside 0..255";
    long long end = firstRegisterOf(v.type, address) + registersOf(v.type, address, v.count);
    if (end > kImageRegs[areaOf(v.type)])
        return "address " + v.address + " count " + std::to_string(v.count) + " reaches past the " +
               std::to_string(kImageRegs[areaOf(v.type)]) + " registers of " + typeName(v.type);
    if (access == Access::Write && !isWritable(v.type))
        return std::string(typeName(v.type)) + " is read-only (input registers)";
    if (access == Access::Read && v.station == 0)
        return "station 0 cannot be read (it is the broadcast address)";
    return {};
}

int firstRegister(const Variable &v) {
    return static_cast<int>(firstRegisterOf(v.type, numericAddress(v.type, v.address)));
}

int registerCount(const Variable &v) {
    return static_cast<int>(registersOf(v.type, numericAddress(v.type, v.address), v.count));
}

int driverCount(const Variable &v) { return kindOf(v.type) == Kind::DWord ? v.count * 2 : v.count; }

std::vector<std::uint32_t> decodeValues(int type, const QByteArray &data) {
    std::vector<std::uint32_t> values;
    auto byte = [&](int i) { return static_cast<std::uint32_t>(static_cast<quint8>(data[i])); };
    const int step = kindOf(type) == Kind::Bit ? 1 : kindOf(type) == Kind::DWord ? 4 : 2;
    for (int i = 0; i + step <= data.size(); i += step) {
        switch (kindOf(type)) {
        case Kind::Bit:
        case Kind::Byte: values.push_back(byte(i)); break;
        case Kind::Word: values.push_back(byte(i) | byte(i + 1) << 8); break;
        case Kind::DWord:
            values.push_back(byte(i) | byte(i + 1) << 8 | byte(i + 2) << 16 | byte(i + 3) << 24);
            break;
        }
    }
    return values;
}

bool encodeValue(int type, const std::string &text, QByteArray *bytes, std::string *error) {
    static const struct {
        long long lo, hi;
        int width;
    } kRanges[4] = {{0, 1, 1}, {-128, 255, 1}, {-32768, 65535, 2}, {-2147483648LL, 4294967295LL, 4}};
    const auto &range = kRanges[static_cast<int>(kindOf(type))];
    long long value = 0;
    if (!parseNumber(text, &value) || value < range.lo || value > range.hi)
        return fail(error, "bad value '" + text + "' for " + typeName(type) + " (" +
                               std::to_string(range.lo) + ".." + std::to_string(range.hi) + ")");
    bytes->clear();
    for (int i = 0; i < range.width; ++i)
        bytes->append(static_cast<char>((static_cast<unsigned long long>(value) >> (8 * i)) & 0xFF));
    return true;
}

bool parseVariableArg(const std::string &arg, int defaultStation, Variable *v,
                       std::string *error) {
    std::vector<std::string> f = splitFields(arg);
    if (f.size() < 4 || f.size() > 5)
        return fail(error, "expected label,type,address,count[,station] in '" + arg + "'");
    v->label = f[0];
    v->address = f[2];
    return parseTypeField(f[1], &v->type, error) && parseCountField(f[3], &v->count, error) &&
           parseStationField(f, 4, defaultStation, &v->station, error) &&
           checked(*v, Access::Read, error);
}

bool parseReadArg(const std::string &arg, int defaultStation, Variable *v, std::string *error) {
    std::vector<std::string> f = splitFields(arg);
    if (f.size() < 2 || f.size() > 4)
        return fail(error, "expected type,address[,count[,station]] in '" + arg + "'");
    v->address = f[1];
    v->label = f[0] + " " + f[1];
    v->count = 1;
    return parseTypeField(f[0], &v->type, error) &&
           (f.size() < 3 || f[2].empty() || parseCountField(f[2], &v->count, error)) &&
           parseStationField(f, 3, defaultStation, &v->station, error) &&
           checked(*v, Access::Read, error);
}

bool parseWriteArg(const std::string &arg, int defaultStation, Variable *v, QByteArray *value,
                    std::string *error) {
    std::vector<std::string> f = splitFields(arg);
    if (f.size() < 3 || f.size() > 4)
        return fail(error, "expected type,address,value[,station] in '" + arg + "'");
    v->address = f[1];
    v->label = f[0] + " " + f[1];
    v->count = 1;
    return parseTypeField(f[0], &v->type, error) &&
           parseStationField(f, 3, defaultStation, &v->station, error) &&
           checked(*v, Access::Write, error) && encodeValue(v->type, f[2], value, error);
}

bool parseVariableCsv(const std::string &text, int defaultStation, std::vector<Variable> *vars,
                      std::string *error) {
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = trim(line);
        if (line.empty() || line[0] == '#' || line.rfind("label", 0) == 0)
            continue;
        Variable v;
        std::string problem;
        if (!parseVariableArg(line, defaultStation, &v, &problem))
            return fail(error, "line " + std::to_string(number) + ": " + problem);
        vars->push_back(v);
    }
    return true;
}

bool loadVariableCsv(const std::string &path, int defaultStation, std::vector<Variable> *vars,
                     std::string *error) {
    std::ifstream file(path);
    if (!file)
        return fail(error, "cannot open " + path + ": " + std::strerror(errno));
    std::stringstream text;
    text << file.rdbuf();
    std::string problem;
    if (!parseVariableCsv(text.str(), defaultStation, vars, &problem))
        return fail(error, path + ": " + problem);
    return true;
}

} // namespace plchost
