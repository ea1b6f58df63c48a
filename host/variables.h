// Variables as a host describes them: register type, address text, count,
// station and value format, with the checks and conversions a host needs
// before it hands them to the driver, and the command-line and file forms
// a user types them in.
//
// Addresses come in two terms. Driver terms name a type (0..11, or a name
// such as hold.word) and an element address in the driver's register
// images: byte.bit for bits (bit address = byte x 8 + bit), a byte number
// (register b / 2), a register, or a double word d (registers 2d, 2d + 1).
// Device terms name a register as the PLC numbers it: `hold` and `in` with a
// plain register number (0-based unless one-based is asked for), or `ref`
// with a 3xxxx / 4xxxx (or 3xxxxx / 4xxxxx) reference; they are turned into
// driver terms: input registers are area 0 (function 4), holding registers
// 0..1023 area 1, holding registers 5000..13191 area 2 (the extended images),
// and any other register area 0 or 1 in multi-station mode, whose
// per-station store holds registers 0..65535 of every area.
#ifndef PLCHOST_VARIABLES_H
#define PLCHOST_VARIABLES_H

#include "value_format.h"
#include "register_types.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace plchost {

// Short names such as "hold.word"; parseType accepts them or the number.
const char *typeName(int type);
bool parseType(const std::string &text, int &type);

struct Variable {
    Variable() = default;
    Variable(std::string label, int type, std::string address, int count = 1, int station = 1,
             ValueFormat format = {})
        : label(std::move(label)), type(type), address(std::move(address)), count(count),
          station(station), format(format) {}

    std::string label;
    int type = 0;
    std::string address; // "12.3" (byte.bit) for bit types, an element number otherwise
    int count = 1;       // values, each one element or (32-bit display over words) two
    int station = 1;
    ValueFormat format;
};

enum class Access { Read, Write };

// Checks type, format, address syntax, count and station, that every
// register the variable covers lies inside its area (the register images,
// or registers 0..65535 in multi-station mode; the extended area's wire
// registers end at 65535 too), and that the access suits it (input
// registers are read-only; station 0, the broadcast address, can only be
// written). A refused address says what to type instead.
bool checkVariable(const Variable &v, Access access, bool multiStation, std::string &error);

// The registers the variable covers (syntax already checked).
plc::RegisterSpan registerSpan(const Variable &v);
int firstRegister(const Variable &v);
int registerCount(const Variable &v);

// The count the driver expects (HOSTVAR.count, the count arguments of
// GetRegisterData, SetRegisterData and one-shot reads): elements, except
// double words, which the driver counts in 16-bit registers, two per double
// word.
int driverCount(const Variable &v);

// What the command-line and file forms take from the rest of the command line.
struct ArgumentDefaults {
    int station = 1;
    ValueFormat format;    // for variables that name none
    bool oneBased = false; // plain register numbers count from 1
    // Set by the parsers when a register in device terms lies outside the
    // single-station images, so that multi-station mode is needed.
    bool needsMultiStation = false;
};

// Command-line forms; each returns false with a message on bad input. TYPE
// is a driver type or a device table, either optionally followed by
// :FORMAT (see parseValueFormat). The address is checked against its area
// later, by checkVariable, once the mode is known.
// LABEL,TYPE,ADDRESS[,COUNT[,STATION[,FORMAT]]]
bool parseVariableArg(const std::string &arg, ArgumentDefaults &defaults, Variable &v,
                      std::string &error);
// TYPE,ADDRESS[,COUNT[,STATION]] (one-shot read)
bool parseReadArg(const std::string &arg, ArgumentDefaults &defaults, Variable &v, std::string &error);
// TYPE,ADDRESS,VALUES[,STATION]; VALUES separated by blanks ("1 2 3")
bool parseWriteArg(const std::string &arg, ArgumentDefaults &defaults, Variable &v, QByteArray &value,
                   std::string &error);

// Labels in use: refuses an empty label or one that an earlier variable of
// the same list has. Holds hashes and indices, not copies of the labels.
class LabelIndex {
public:
    // Checks the last variable of `vars` against the ones before it.
    bool addLast(const std::vector<Variable> &vars, std::string &error);

private:
    std::unordered_multimap<std::size_t, std::size_t> byHash_;
};

// A variables file, read record by record as it streams in: the columns of
// --var (a header row starting with "label" is skipped; see CsvReader for
// the dialect). Appends to `vars`; messages name the line.
bool readVariableCsv(std::istream &in, ArgumentDefaults &defaults, LabelIndex &labels,
                     std::vector<Variable> &vars, std::string &error);
bool loadVariableCsv(const std::string &path, ArgumentDefaults &defaults, LabelIndex &labels,
                     std::vector<Variable> &vars, std::string &error);

// Unsigned element values of the bytes GetRegisterData gives.
std::vector<std::uint32_t> decodeValues(int type, const QByteArray &data);

} // namespace plchost

#endif
