// How a variable's values are shown and how the values a user writes are
// read: unsigned, signed, hexadecimal or binary at the width of the
// variable's element, or 32-bit integers and floats over one double word or
// two 16-bit registers, in one of the four usual byte orders.
#ifndef PLCHOST_VALUE_FORMAT_H
#define PLCHOST_VALUE_FORMAT_H

#include <QByteArray>

#include <string>
#include <vector>

namespace plchost {

enum class Display { Unsigned, Signed, Hex, Binary, Int32, Uint32, Float };

// Where the bytes of a 32-bit value lie on the wire, A its most significant
// byte: ABCD puts the high word in the first register, CDAB (the default)
// the low word, as the driver's double words do; BADC and DCBA swap the
// bytes within each register.
enum class ByteOrder { ABCD, CDAB, BADC, DCBA };

struct ValueFormat {
    Display display = Display::Unsigned;
    ByteOrder order = ByteOrder::CDAB;
};

// "float", "int32:ABCD", "abcd", "hex": colon-separated, at most one display
// and one order, either case. Parts not named keep what `format` holds.
bool parseValueFormat(const std::string &text, ValueFormat &format, std::string &error);
bool parseByteOrder(const std::string &text, ByteOrder &order);
// "float:ABCD"; the order only where it matters (a 32-bit value).
std::string formatName(int type, const ValueFormat &format);
// The 32-bit displays need word or double-word elements.
bool formatFits(int type, const ValueFormat &format, std::string &error);

// Elements of the variable's type that one shown value takes: 2 words for a
// 32-bit display over words, else 1.
int elementsPerValue(int type, const ValueFormat &format);

// Values in the layout of GetRegisterData, as texts: numbers for the
// unsigned, signed, 32-bit integer and float displays ("nan" and "inf" for
// floats that are no numbers), 0x... and 0b... for hex and binary. An
// incomplete last value is not shown.
std::vector<std::string> formatValues(int type, const ValueFormat &format, const QByteArray &data);

// Whitespace-separated value texts ("-1 0xAB 0b101", "3.14") in the layout of
// SetRegisterData; `values` is how many there were. Integers may be given
// signed or unsigned as long as they fit the width.
bool encodeValues(int type, const ValueFormat &format, const std::string &text, QByteArray &bytes,
                  int &values, std::string &error);

} // namespace plchost

#endif
