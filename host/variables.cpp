#include "variables.h"

#include "csv.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

namespace plchost {

namespace {

using plc::Area;
using plc::ElementKind;

const char *const kTypeNames[plc::kTypeCount] = {
    "in.bit",  "hold.bit",  "ext.bit",  "in.byte",  "hold.byte",  "ext.byte",
    "in.word", "hold.word", "ext.word", "in.dword", "hold.dword", "ext.dword"};
const char *const kAreaNames[3] = {"input", "holding", "extended holding"};
// Registers of the single-station images, by area.
const std::int64_t kImageRegs[3] = {1024, 1024, 8192};
// The per-station store holds registers 0..65535 of each area; the extended
// area's registers are sent as 5000 + register, which must stay a 16-bit
// address.
const std::int64_t kWireRegs = 65536;
const std::int64_t kStationRegs[3] = {kWireRegs, kWireRegs, kWireRegs - plc::kExtendedAreaStart};
const int kMaxStation = 255; // the unit identifier is one byte
const char kTypeHelp[] =
    "types: 0..11 or in.bit, hold.word, ext.dword...; device tables hold, in, ref";

enum class Table { None, Holding, Input, Reference };

// Word types: registers of a device table become words of an area.
int wordType(Area area) { return static_cast<int>(ElementKind::Word) * 3 + area; }

bool allDigits(const std::string &s, size_t maxDigits = 9) {
    if (s.empty() || s.size() > maxDigits)
        return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool parseInt(const std::string &text, long lo, long hi, int &out) {
    if (!allDigits(text))
        return false;
    const long v = std::stol(text);
    if (v < lo || v > hi)
        return false;
    out = static_cast<int>(v);
    return true;
}

// The element address: byte * 8 + bit for bit types, the number otherwise;
// -1 when the text has the wrong form.
std::int64_t elementAddress(int type, const std::string &text) {
    if (plc::kindOf(type) != ElementKind::Bit)
        return allDigits(text) ? std::stoll(text) : -1;
    const size_t dot = text.find('.');
    if (dot == std::string::npos)
        return -1;
    const std::string byte = text.substr(0, dot), bit = text.substr(dot + 1);
    if (!allDigits(byte) || bit.size() != 1 || bit[0] < '0' || bit[0] > '7')
        return -1;
    return std::stoll(byte) * 8 + (bit[0] - '0');
}

std::string elementText(ElementKind kind, std::int64_t address) {
    return kind == ElementKind::Bit
               ? std::to_string(address / 8) + "." + std::to_string(address % 8)
               : std::to_string(address);
}

// A holding variable that lies in the extended area's wire registers, in
// that area's terms: "holding register 5000 is ext.word 0".
std::string extendedEquivalent(const Variable &v, plc::RegisterSpan span) {
    const std::int64_t start = plc::kExtendedAreaStart;
    if (plc::areaOf(v.type) != plc::HoldingArea || span.first < start ||
        span.end() > start + kImageRegs[plc::ExtendedArea])
        return {};
    const ElementKind kind = plc::kindOf(v.type);
    const std::int64_t offset =
        kind == ElementKind::DoubleWord ? start / 2 : start * plc::elementsPerRegister(kind);
    return (kind == ElementKind::Word ? "holding register " : typeName(v.type) + std::string(" ")) +
           v.address + " is " + typeName(v.type + 1) /* the same kind in area 2 */ + " " +
           elementText(kind, elementAddress(v.type, v.address) - offset);
}

// What to type for a register outside the single-station images.
std::string addressHint(const Variable &v, plc::RegisterSpan span) {
    const std::string extended = extendedEquivalent(v, span);
    if (!extended.empty())
        return extended;
    const Area area = plc::areaOf(v.type);
    const std::string reg =
        std::to_string(span.first + (area == plc::ExtendedArea ? plc::kExtendedAreaStart : 0));
    std::string hint = "type " + std::string(area == plc::InputArea ? "in," : "hold,") + reg +
                       " for " + (area == plc::InputArea ? "input" : "holding") + " register " +
                       reg + " (multi-station mode reaches registers 0..65535)";
    const char digit = area == plc::InputArea ? '3' : '4';
    if (area != plc::ExtendedArea && (v.address.size() == 5 || v.address.size() == 6) &&
        v.address[0] == digit)
        hint += ", or ref," + v.address + " for the reference " + v.address;
    return hint;
}

bool checkAddress(const Variable &v, bool multiStation, std::string &error) {
    const plc::RegisterSpan span = registerSpan(v);
    const Area area = plc::areaOf(v.type);
    const std::int64_t limit = multiStation ? kStationRegs[area] : kImageRegs[area];
    if (span.end() <= limit)
        return true;
    const std::string what = std::string(typeName(v.type)) + " " + v.address +
                             (v.count > 1 ? " count " + std::to_string(v.count) : "");
    const std::string range =
        "registers " + std::to_string(span.first) + ".." + std::to_string(span.end() - 1);
    if (multiStation)
        error = what + " covers " + range + ", past the " + kAreaNames[area] + " registers 0.." +
                std::to_string(limit - 1) + " a station has";
    else
        error = what + " covers " + range + ", past the " + std::to_string(limit) + " " +
                kAreaNames[area] + " registers of a single station: " + addressHint(v, span);
    return false;
}

// TYPE[:FORMAT]: a driver type, or a device table whose addresses are
// resolved later.
bool parseTypeField(const std::string &text, int &type, Table &table, ValueFormat &format,
                    std::string &error) {
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    table = name == "hold"  ? Table::Holding
            : name == "in"  ? Table::Input
            : name == "ref" ? Table::Reference
                            : Table::None;
    if (table == Table::None && !parseType(name, type)) {
        error = "unknown type '" + name + "' (" + kTypeHelp + ")";
        return false;
    }
    if (table != Table::None)
        type = wordType(plc::HoldingArea); // the table decides the area later
    return colon == std::string::npos || parseValueFormat(text.substr(colon + 1), format, error);
}

// A register in device terms, as a word variable in driver terms.
bool resolveRegister(Table table, const std::string &text, ArgumentDefaults &d, Variable &v,
                     std::string &error) {
    Area area = table == Table::Input ? plc::InputArea : plc::HoldingArea;
    std::int64_t reg = -1;
    if (table == Table::Reference) {
        // 5 digits: registers 1..9999; 6 digits: 1..65536; always counted from 1.
        if (allDigits(text, 6) && text.size() >= 5 && (text[0] == '3' || text[0] == '4')) {
            area = text[0] == '3' ? plc::InputArea : plc::HoldingArea;
            reg = std::stoll(text.substr(1)) - 1;
        }
        if (reg < 0 || reg >= kWireRegs) {
            error = "bad reference '" + text +
                    "' (3xxxx or 3xxxxx for input registers, 4xxxx or 4xxxxx for holding "
                    "registers; coils and discrete inputs are not read, the driver reads "
                    "registers)";
            return false;
        }
    } else if (allDigits(text)) {
        reg = std::stoll(text) - (d.oneBased ? 1 : 0);
    }
    if (table != Table::Reference && (reg < 0 || reg >= kWireRegs)) {
        error = "bad register '" + text + "' (" + (d.oneBased ? "1..65536" : "0..65535") + ")";
        return false;
    }
    const std::int64_t end = reg + std::int64_t(v.count) * elementsPerValue(v.type, v.format);
    if (end > kWireRegs) {
        error = "registers from " + std::to_string(reg) + " run past register 65535";
        return false;
    }
    const std::int64_t ext = plc::kExtendedAreaStart;
    if (area == plc::HoldingArea && reg >= ext && end <= ext + kImageRegs[plc::ExtendedArea]) {
        area = plc::ExtendedArea;
        reg -= ext;
    }
    d.needsMultiStation = d.needsMultiStation || end > kImageRegs[area];
    v.type = wordType(area);
    v.address = std::to_string(reg);
    return true;
}

bool parseStation(const std::string &text, int defaultStation, int &station, std::string &error) {
    if (text.empty()) {
        station = defaultStation;
        return true;
    }
    if (parseInt(text, 0, kMaxStation, station))
        return true;
    error = "bad station '" + text + "' (0..255)";
    return false;
}

bool parseCount(const std::string &text, int &count, std::string &error) {
    if (text.empty()) {
        count = 1;
        return true;
    }
    if (parseInt(text, 1, 1 << 20, count))
        return true;
    error = "bad count '" + text + "' (1 or more)";
    return false;
}

// The fields every form shares, with the format column last given.
bool parseCommon(const std::string &typeText, const std::string &address, const std::string &count,
                 const std::string &station, const std::string &format, ArgumentDefaults &d,
                 Variable &v, std::string &error) {
    Table table = Table::None;
    v.format = d.format;
    if (!parseTypeField(typeText, v.type, table, v.format, error) ||
        (!format.empty() && !parseValueFormat(format, v.format, error)) ||
        !formatFits(v.type, v.format, error) || !parseCount(count, v.count, error) ||
        !parseStation(station, d.station, v.station, error))
        return false;
    if (table != Table::None)
        return resolveRegister(table, address, d, v, error);
    v.address = address;
    if (elementAddress(v.type, address) >= 0)
        return true;
    error = "malformed address '" + address + "' for " + typeName(v.type) +
            (plc::kindOf(v.type) == ElementKind::Bit ? " (expected byte.bit, e.g. 12.3)"
                                                     : " (expected a decimal number)");
    return false;
}

std::vector<std::string> argumentFields(const std::string &arg) {
    std::istringstream in(arg);
    CsvReader reader(in, CsvSource::Argument);
    std::vector<std::string> fields;
    int line;
    std::string ignored;
    if (!reader.next(fields, line, ignored))
        fields.clear();
    return fields;
}

std::string lowerCase(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string field(const std::vector<std::string> &f, size_t i) { return i < f.size() ? f[i] : ""; }

// The label is moved out of `f`: a variables file may hold long ones.
bool parseVariableFields(std::vector<std::string> &f, ArgumentDefaults &d, Variable &v,
                         std::string &error) {
    if (f.size() < 3 || f.size() > 6) {
        error = "expected label,type,address[,count[,station[,format]]]";
        return false;
    }
    v.label = std::move(f[0]);
    return parseCommon(f[1], f[2], field(f, 3), field(f, 4), field(f, 5), d, v, error);
}

} // namespace

const char *typeName(int type) { return plc::isKnownType(type) ? kTypeNames[type] : "?"; }

bool parseType(const std::string &text, int &type) {
    for (int t = 0; t < plc::kTypeCount; ++t)
        if (text == kTypeNames[t]) {
            type = t;
            return true;
        }
    return parseInt(text, 0, plc::kTypeCount - 1, type);
}

bool checkVariable(const Variable &v, Access access, bool multiStation, std::string &error) {
    if (!plc::isKnownType(v.type)) {
        error = "unknown type " + std::to_string(v.type);
        return false;
    }
    if (!formatFits(v.type, v.format, error))
        return false;
    if (elementAddress(v.type, v.address) < 0) {
        error = "malformed address '" + v.address + "' for " + typeName(v.type);
        return false;
    }
    if (v.count < 1)
        error = "count must be 1 or more";
    else if (v.station < 0 || v.station > kMaxStation)
        error = "station " + std::to_string(v.station) + " is outside 0..255";
    else if (!checkAddress(v, multiStation, error))
        return false;
    else if (access == Access::Write && !plc::isWritable(v.type))
        error = std::string(typeName(v.type)) + " is read-only (input registers)";
    else if (access == Access::Read && v.station == 0)
        error = "station 0 cannot be read (it is the broadcast address)";
    else
        return true;
    return false;
}

plc::RegisterSpan registerSpan(const Variable &v) {
    return plc::registerSpanOf(plc::kindOf(v.type), elementAddress(v.type, v.address),
                               driverCount(v));
}

int firstRegister(const Variable &v) { return static_cast<int>(registerSpan(v).first); }

int registerCount(const Variable &v) { return static_cast<int>(registerSpan(v).count); }

int driverCount(const Variable &v) {
    return v.count * (plc::kindOf(v.type) == ElementKind::DoubleWord
                          ? 2
                          : elementsPerValue(v.type, v.format));
}

bool parseVariableArg(const std::string &arg, ArgumentDefaults &d, Variable &v, std::string &error) {
    std::vector<std::string> fields = argumentFields(arg);
    if (parseVariableFields(fields, d, v, error))
        return true;
    error += " in '" + arg + "'";
    return false;
}

bool parseReadArg(const std::string &arg, ArgumentDefaults &d, Variable &v, std::string &error) {
    const std::vector<std::string> f = argumentFields(arg);
    if (f.size() < 2 || f.size() > 4) {
        error = "expected type,address[,count[,station]] in '" + arg + "'";
        return false;
    }
    v.label = f[0] + " " + f[1];
    return parseCommon(f[0], f[1], field(f, 2), field(f, 3), "", d, v, error);
}

bool parseWriteArg(const std::string &arg, ArgumentDefaults &d, Variable &v, QByteArray &value,
                   std::string &error) {
    const std::vector<std::string> f = argumentFields(arg);
    if (f.size() < 3 || f.size() > 4) {
        error = "expected type,address,values[,station] in '" + arg + "'";
        return false;
    }
    v.label = f[0] + " " + f[1];
    // The values set the count, which device terms need to place the registers.
    Table table;
    int type = 0;
    ValueFormat format = d.format;
    if (!parseTypeField(f[0], type, table, format, error) || !formatFits(type, format, error) ||
        !encodeValues(type, format, f[2], value, v.count, error))
        return false;
    return parseCommon(f[0], f[1], std::to_string(v.count), field(f, 3), "", d, v, error);
}

bool LabelIndex::addLast(const std::vector<Variable> &vars, std::string &error) {
    const std::string &label = vars.back().label;
    if (label.empty()) {
        error = "empty label";
        return false;
    }
    const std::size_t hash = std::hash<std::string>()(label);
    const auto same = byHash_.equal_range(hash);
    for (auto it = same.first; it != same.second; ++it)
        if (vars[it->second].label == label) {
            error = "duplicate label '" + label + "'";
            return false;
        }
    byHash_.emplace(hash, vars.size() - 1);
    return true;
}

bool readVariableCsv(std::istream &in, ArgumentDefaults &d, LabelIndex &labels,
                     std::vector<Variable> &vars, std::string &error) {
    CsvReader reader(in, CsvSource::File);
    std::vector<std::string> fields;
    int line = 0;
    for (bool first = true; reader.next(fields, line, error); first = false) {
        if (first && !fields.empty() && lowerCase(fields[0]) == "label")
            continue;
        vars.emplace_back();
        if (!parseVariableFields(fields, d, vars.back(), error) || !labels.addLast(vars, error)) {
            vars.pop_back();
            error = "line " + std::to_string(line) + ": " + error;
            return false;
        }
    }
    return !reader.failed();
}

bool loadVariableCsv(const std::string &path, ArgumentDefaults &d, LabelIndex &labels,
                     std::vector<Variable> &vars, std::string &error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (readVariableCsv(file, d, labels, vars, error))
        return true;
    error = path + ": " + error;
    return false;
}

// ---- until the host library checks variables in the mode it runs in ----

// Registers 0..65535, as multi-station mode allows: a caller checks the
// single-station images itself (plc_poll does) until then.
std::vector<std::uint32_t> decodeValues(int type, const QByteArray &data) {
    std::vector<std::uint32_t> values;
    for (const std::string &text : formatValues(type, ValueFormat(), data))
        values.push_back(static_cast<std::uint32_t>(std::stoul(text)));
    return values;
}

} // namespace plchost
