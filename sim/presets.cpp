#include "presets.h"

#include "memory.h"
#include "parse.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>

namespace {

// The value types of a preset; the raw form has no name.
struct ValueType {
    const char *name;
    long long low, high;
    int words;
};
constexpr ValueType kValueTypes[] = {
    {"", INT16_MIN, UINT16_MAX, 1}, {"u16", 0, UINT16_MAX, 1}, {"i16", INT16_MIN, INT16_MAX, 1},
    {"u32", 0, UINT32_MAX, 2},      {"i32", INT32_MIN, INT32_MAX, 2}, {"f32", 0, 0, 2},
};

bool parseFloatBits(const std::string &text, uint32_t &bits, std::string &error) {
    float value = 0;
    const char *last = text.data() + text.size();
    const auto [end, fault] = std::from_chars(text.data(), last, value);
    if (fault != std::errc() || end != last) {
        error = "expected a 32-bit floating-point number";
        return false;
    }
    std::memcpy(&bits, &value, sizeof bits);
    return true;
}

// VALUE or TYPE:VALUE into one or two register values, lower 16 bits first.
bool parseValue(const std::string &text, std::vector<uint16_t> &words, std::string &error) {
    const size_t colon = text.find(':');
    const std::string name = colon == std::string::npos ? "" : text.substr(0, colon);
    const std::string number = text.substr(colon == std::string::npos ? 0 : colon + 1);
    for (const ValueType &type : kValueTypes) {
        if (name != type.name)
            continue;
        uint32_t bits = 0;
        const bool ok = name == "f32" ? parseFloatBits(number, bits, error)
                                      : parseInteger(number, type.low, type.high, bits, error);
        words = {static_cast<uint16_t>(bits), static_cast<uint16_t>(bits >> 16)};
        words.resize(static_cast<size_t>(type.words));
        return ok;
    }
    error = "unknown value type " + name + " (u16, i16, u32, i32 or f32)";
    return false;
}

bool parseTarget(const std::string &text, Preset &preset, std::string &error) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon + 1 == text.size() || (text[colon + 1] != 'h' && text[colon + 1] != 'i')) {
        error = "expected UNIT:hREG or UNIT:iREG before '='";
        return false;
    }
    preset.kind = text[colon + 1];
    std::string reg = text.substr(colon + 2);
    const size_t dot = reg.find('.');
    if (dot != std::string::npos) {
        if (!parseInteger(reg.substr(dot + 1), 0, 15, preset.bit, error))
            return false;
        reg.resize(dot);
    }
    return parseInteger(text.substr(0, colon), 0, 255, preset.unit, error) &&
           parseInteger(reg, 0, 65535, preset.reg, error);
}

bool applyPreset(const Preset &preset, Memory &memory, std::string &error) {
    UnitMemory *unit = memory.unit(preset.unit);
    if (!unit) {
        error = "preset for a unit that is not served: " + preset.text;
        return false;
    }
    const RegisterBlock block = preset.kind == 'h' ? unit->holdingFor(preset.reg) : unit->area(kAreaInput);
    for (size_t i = 0; i < preset.words.size(); ++i) {
        if (!block.at(preset.reg + static_cast<int>(i))) {
            error = "preset for a register that does not exist: " + preset.text;
            return false;
        }
    }
    uint16_t &first = *block.at(preset.reg);
    if (preset.bit >= 0) {
        const uint16_t mask = static_cast<uint16_t>(1u << preset.bit);
        first = preset.words[0] ? (first | mask) : (first & ~mask);
        return true;
    }
    std::copy(preset.words.begin(), preset.words.end(), &first);
    return true;
}

} // namespace

bool parsePreset(const std::string &text, Preset &preset, std::string &error) {
    preset = Preset{};
    preset.text = text;
    preset.words.resize(1);
    const size_t equals = text.find('=');
    if (equals == std::string::npos) {
        error = "expected '=' and a value";
        return false;
    }
    const std::string value = text.substr(equals + 1);
    return parseTarget(text.substr(0, equals), preset, error) &&
           (preset.bit >= 0 ? parseInteger(value, 0, 1, preset.words[0], error)
                            : parseValue(value, preset.words, error));
}

bool readPresetFile(const std::string &path, std::vector<Preset> &presets, std::string &error) {
    std::ifstream file(path);
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        line.erase(std::min(line.find('#'), line.size()));
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos)
            continue;
        const std::string text = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
        Preset preset;
        if (!parsePreset(text, preset, error)) {
            error = "line " + std::to_string(number) + ": " + text + ": " + error;
            return false;
        }
        presets.push_back(preset);
    }
    return true;
}

bool applyPresets(const std::vector<Preset> &presets, Memory &memory, std::string &error) {
    for (const Preset &preset : presets)
        if (!applyPreset(preset, memory, error))
            return false;
    return true;
}
