#include "value_format.h"

#include "register_types.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace plchost {

namespace {

using plc::ElementKind;

struct DisplayName {
    Display display;
    const char *name;
};
const DisplayName kDisplays[] = {{Display::Unsigned, "unsigned"}, {Display::Signed, "signed"},
                                 {Display::Hex, "hex"},           {Display::Binary, "bin"},
                                 {Display::Int32, "int32"},       {Display::Uint32, "uint32"},
                                 {Display::Float, "float"}};
// Indexed by ByteOrder: the letter of each wire byte, first register first.
const char *const kOrders[] = {"ABCD", "CDAB", "BADC", "DCBA"};

bool is32Bit(Display d) {
    return d == Display::Int32 || d == Display::Uint32 || d == Display::Float;
}

std::string lower(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Bits one shown value holds.
int widthOf(int type, const ValueFormat &f) {
    switch (plc::kindOf(type)) {
    case ElementKind::Bit:
        return 1;
    case ElementKind::Byte:
        return 8;
    case ElementKind::Word:
        return is32Bit(f.display) ? 32 : 16;
    case ElementKind::DoubleWord:
        return 32;
    }
    return 16;
}

// The 32-bit value of two registers in wire order.
std::uint32_t joinRegisters(std::uint16_t first, std::uint16_t second, ByteOrder order) {
    const std::uint8_t wire[4] = {std::uint8_t(first >> 8), std::uint8_t(first),
                                  std::uint8_t(second >> 8), std::uint8_t(second)};
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= std::uint32_t(wire[i]) << 8 * (3 - (kOrders[int(order)][i] - 'A'));
    return value;
}

void splitRegisters(std::uint32_t value, ByteOrder order, std::uint16_t regs[2]) {
    std::uint8_t wire[4];
    for (int i = 0; i < 4; ++i)
        wire[i] = std::uint8_t(value >> 8 * (3 - (kOrders[int(order)][i] - 'A')));
    regs[0] = std::uint16_t(wire[0] << 8 | wire[1]);
    regs[1] = std::uint16_t(wire[2] << 8 | wire[3]);
}

// The shortest text that reads back as the same float.
std::string floatText(float f) {
    if (std::isnan(f))
        return "nan";
    if (std::isinf(f))
        return f < 0 ? "-inf" : "inf";
    char text[32];
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(f));
        if (std::strtof(text, nullptr) == f)
            break;
    }
    return text;
}

std::string show(std::uint32_t raw, int width, Display display) {
    const std::uint64_t top = std::uint64_t(1) << (width - 1);
    switch (display) {
    case Display::Signed:
    case Display::Int32:
        return std::to_string(raw & top ? std::int64_t(raw) - std::int64_t(2 * top)
                                        : std::int64_t(raw));
    case Display::Hex: {
        char text[16];
        std::snprintf(text, sizeof text, "0x%0*X", (width + 3) / 4, raw);
        return text;
    }
    case Display::Binary: {
        std::string text = "0b";
        for (int bit = width - 1; bit >= 0; --bit)
            text += (raw >> bit & 1) ? '1' : '0';
        return text;
    }
    case Display::Float: {
        float f;
        std::memcpy(&f, &raw, sizeof f);
        return floatText(f);
    }
    case Display::Unsigned:
    case Display::Uint32:
        break;
    }
    return std::to_string(raw);
}

// A whole number: optional '-', then decimal digits, or 0x hex, or 0b binary.
bool parseInteger(const std::string &text, std::int64_t &out) {
    const bool negative = !text.empty() && text[0] == '-';
    std::string digits = text.substr(negative ? 1 : 0);
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' &&
        (digits[1] == 'x' || digits[1] == 'X' || digits[1] == 'b' || digits[1] == 'B')) {
        base = std::tolower(digits[1]) == 'x' ? 16 : 2;
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 40)
        return false;
    for (char c : digits) {
        const unsigned char u = static_cast<unsigned char>(c);
        const int digit = std::isdigit(u)    ? c - '0'
                          : std::isxdigit(u) ? std::tolower(u) - 'a' + 10
                                             : base;
        if (digit >= base)
            return false;
    }
    errno = 0;
    const unsigned long long magnitude = std::strtoull(digits.c_str(), nullptr, base);
    if (errno == ERANGE || magnitude > (std::uint64_t(1) << 40))
        return false;
    out = negative ? -std::int64_t(magnitude) : std::int64_t(magnitude);
    return true;
}

// One value text as the raw bits of a value `width` bits wide.
bool parseValue(const std::string &text, int width, Display display, std::uint32_t &raw) {
    if (display == Display::Float) {
        char *end = nullptr;
        const double d = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(d) ||
            std::fabs(d) > 3.4028234663852886e38)
            return false;
        const float f = static_cast<float>(d);
        std::memcpy(&raw, &f, sizeof raw);
        return true;
    }
    std::int64_t value = 0;
    if (!parseInteger(text, value))
        return false;
    const std::int64_t lowest = width == 1 ? 0 : -(std::int64_t(1) << (width - 1));
    if (value < lowest || value > (std::int64_t(1) << width) - 1)
        return false;
    raw = static_cast<std::uint32_t>(value);
    return true;
}

void appendLittleEndian(QByteArray &bytes, std::uint32_t value, int byteCount) {
    for (int i = 0; i < byteCount; ++i)
        bytes.append(static_cast<char>(value >> 8 * i));
}

} // namespace

bool parseByteOrder(const std::string &text, ByteOrder &order) {
    for (int i = 0; i < 4; ++i)
        if (lower(text) == lower(kOrders[i])) {
            order = static_cast<ByteOrder>(i);
            return true;
        }
    return false;
}

bool parseValueFormat(const std::string &text, ValueFormat &format, std::string &error) {
    std::istringstream parts(text);
    std::string part;
    bool display = false, order = false;
    while (std::getline(parts, part, ':')) {
        bool known = false;
        for (const DisplayName &d : kDisplays)
            if (lower(part) == d.name && !display) {
                format.display = d.display;
                known = display = true;
            }
        if (!known && !order && parseByteOrder(part, format.order))
            known = order = true;
        if (!known) {
            error =
                "unknown value format '" + part + "' in '" + text +
                "' (unsigned, signed, hex, bin, int32, uint32 or float, and an order ABCD, CDAB, "
                "BADC or DCBA for 32-bit values)";
            return false;
        }
    }
    return true;
}

std::string formatName(int type, const ValueFormat &format) {
    std::string name;
    for (const DisplayName &d : kDisplays)
        if (d.display == format.display)
            name = d.name;
    return widthOf(type, format) == 32 ? name + ":" + kOrders[int(format.order)] : name;
}

bool formatFits(int type, const ValueFormat &format, std::string &error) {
    const ElementKind kind = plc::kindOf(type);
    if (!is32Bit(format.display) || kind == ElementKind::Word || kind == ElementKind::DoubleWord)
        return true;
    error = "32-bit values (int32, uint32, float) need word or double-word types";
    return false;
}

int elementsPerValue(int type, const ValueFormat &format) {
    return plc::kindOf(type) == ElementKind::Word && is32Bit(format.display) ? 2 : 1;
}

std::vector<std::string> formatValues(int type, const ValueFormat &format, const QByteArray &data) {
    std::vector<std::string> texts;
    const int width = widthOf(type, format);
    auto byte = [&](int i) { return static_cast<std::uint8_t>(data[i]); };
    auto reg = [&](int i) { return static_cast<std::uint16_t>(byte(i) | byte(i + 1) << 8); };
    switch (plc::kindOf(type)) {
    case ElementKind::Bit:
    case ElementKind::Byte: {
        const int step = plc::kindOf(type) == ElementKind::Bit ? 1 : 2; // a byte comes with a 0
        for (int i = 0; i + step <= data.size(); i += step)
            texts.push_back(show(byte(i), width, format.display));
        break;
    }
    case ElementKind::Word:
    case ElementKind::DoubleWord:
        // Registers low byte first; a 32-bit value takes two of them.
        for (int i = 0; i + width / 8 <= data.size(); i += width / 8)
            texts.push_back(
                show(width == 16 ? reg(i) : joinRegisters(reg(i), reg(i + 2), format.order), width,
                     format.display));
        break;
    }
    return texts;
}

bool encodeValues(int type, const ValueFormat &format, const std::string &text, QByteArray &bytes,
                  int &values, std::string &error) {
    const int width = widthOf(type, format);
    std::istringstream in(text);
    std::string item;
    bytes.clear();
    values = 0;
    while (in >> item) {
        std::uint32_t raw = 0;
        if (!parseValue(item, width, format.display, raw)) {
            error = "bad value '" + item + "' for " + std::to_string(width) + "-bit " +
                    formatName(type, format) + " values";
            return false;
        }
        if (width == 32) {
            std::uint16_t regs[2];
            splitRegisters(raw, format.order, regs);
            appendLittleEndian(bytes, regs[0], 2);
            appendLittleEndian(bytes, regs[1], 2);
        } else {
            appendLittleEndian(bytes, raw, width == 16 ? 2 : 1);
        }
        ++values;
    }
    if (values == 0) {
        error = "no value given";
        return false;
    }
    return true;
}

} // namespace plchost
