// Whole numbers as the command line and preset files write them.
#ifndef SIM_PARSE_H
#define SIM_PARSE_H

#include <charconv>
#include <string>

// A decimal number, or a hexadecimal one after "0x", within [low, high].
template <typename T>
bool parseInteger(const std::string &text, long long low, long long high, T &out, std::string &error) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *last = text.data() + text.size();
    long long value = 0;
    const auto [end, fault] = std::from_chars(text.data() + (hex ? 2 : 0), last, value, hex ? 16 : 10);
    if (fault != std::errc() || end != last || value < low || value > high) {
        error = "expected a whole number in " + std::to_string(low) + ".." + std::to_string(high);
        return false;
    }
    out = static_cast<T>(value);
    return true;
}

#endif
