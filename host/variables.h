// Variables as a host describes them: register type, address text, element
// count and station, with the checks and conversions a host needs before it
// hands them to the driver, and the value bytes in both directions.
#ifndef PLCHOST_VARIABLES_H
#define PLCHOST_VARIABLES_H

#include <QByteArray>

#include <cstdint>
#include <string>
#include <vector>

namespace plchost {

// Type codes 0..11: area = type % 3 (input, holding, extended holding),
// element kind = type / 3.
enum class Kind { Bit, Byte, Word, DWord };
inline Kind kindOf(int type) { return static_cast<Kind>(type / 3); }
inline int areaOf(int type) { return type % 3; }
inline bool isWritable(int type) { return type >= 0 && type <= 11 && areaOf(type) != 0; }

// Short names such as "hold.word"; parseType accepts them or the number.
const char *typeName(int type);
bool parseType(const std::string &text, int *type);

struct Variable {
    std::string label;
    int type = 0;
    std::string address; // "12.3" (byte.bit) for bit types, a register-like number otherwise
    int count = 1;       // elements of the variable's kind
    int station = 1;
};

enum class Access { Read, Write };

// Checks type, address syntax, count and station, that every register the
// variable covers lies inside its register image, and that the access suits
// it (input registers are read-only; station 0, the broadcast address, can
// only be written). Empty when usable, else a message for the user.
std::string checkVariable(const Variable &v, Access access);

// Registers the variable covers, from its first one (address already checked).
int firstRegister(const Variable &v);
int registerCount(const Variable &v);

// The count the driver expects: elements, except double words, which the
// driver counts in 16-bit registers.
int driverCount(const Variable &v);

// Values in the byte layout of GetRegisterData, one number per element.
std::vector<std::uint32_t> decodeValues(int type, const QByteArray &data);
// One element's value text ("5", "0x1F", "-1") in the byte layout of
// SetRegisterData; false with a message when it does not fit the kind.
bool encodeValue(int type, const std::string &text, QByteArray *bytes, std::string *error);

// Command-line and file forms; each returns false with a message on bad input.
// label,type,address,count[,station]
bool parseVariableArg(const std::string &arg, int defaultStation, Variable *v,
                       std::string *error);
// type,address[,count[,station]] (one-shot read)
bool parseReadArg(const std::string &arg, int defaultStation, Variable *v, std::string *error);
// type,address,value[,station]
bool parseWriteArg(const std::string &arg, int defaultStation, Variable *v, QByteArray *value,
                    std::string *error);
// CSV of variable specs; blank lines, '#' comments and a header line
// starting with "label" are skipped. Messages name the line.
bool parseVariableCsv(const std::string &text, int defaultStation, std::vector<Variable> *vars,
                      std::string *error);
bool loadVariableCsv(const std::string &path, int defaultStation, std::vector<Variable> *vars,
                     std::string *error);

} // namespace plchost

#endif
