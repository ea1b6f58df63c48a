#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <sstream>

const char *const kUsage =
    "usage: plc_sim [--port N] [--units 1,2,...] [--remote] [--animate] [--seed N]\n"
    "               [--set UNIT:hREG=VALUE | UNIT:iREG=VALUE]...\n"
    "               [--drop-every N] [--delay-ms N] [--exception-every N]\n"
    "               [--short-every N] [--split N] [--close-every N]\n";

namespace {

// A whole decimal number within [low, high].
bool parseInt(const std::string &text, long low, long high, int &out) {
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high)
        return false;
    out = static_cast<int>(value);
    return true;
}

bool parseUnits(const std::string &text, std::vector<int> &units) {
    units.clear();
    std::istringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        int unit;
        if (!parseInt(item, 1, 255, unit))
            return false;
        units.push_back(unit);
    }
    return !units.empty() && text.back() != ',';
}

// UNIT:REG=VALUE with REG an 'h' (holding) or 'i' (input) and a number.
bool parsePreset(const std::string &text, Preset &preset) {
    const size_t colon = text.find(':');
    const size_t equals = text.find('=');
    if (colon == std::string::npos || equals == std::string::npos || equals < colon + 2)
        return false;
    preset.kind = text[colon + 1];
    return (preset.kind == 'h' || preset.kind == 'i') &&
           parseInt(text.substr(0, colon), 1, 255, preset.unit) &&
           parseInt(text.substr(colon + 2, equals - colon - 2), 0, 65535, preset.reg) &&
           parseInt(text.substr(equals + 1), -32768, 65535, preset.value);
}

} // namespace

bool parseOptions(const std::vector<std::string> &args, Options &options, std::string &error) {
    const std::map<std::string, bool Options::*> switches = {{"--remote", &Options::remote},
                                                             {"--animate", &Options::animate}};
    const std::map<std::string, int FaultSettings::*> faults = {
        {"--drop-every", &FaultSettings::dropEvery},   {"--delay-ms", &FaultSettings::delayMs},
        {"--exception-every", &FaultSettings::exceptionEvery}, {"--short-every", &FaultSettings::shortEvery},
        {"--split", &FaultSettings::split},             {"--close-every", &FaultSettings::closeEvery}};

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &flag = args[i];
        if (switches.count(flag)) {
            options.*switches.at(flag) = true;
            continue;
        }
        if (i + 1 == args.size()) {
            error = "unknown option or missing value: " + flag;
            return false;
        }
        const std::string &value = args[++i];
        bool ok;
        if (flag == "--port") {
            ok = parseInt(value, 0, 65535, options.port);
        } else if (flag == "--units") {
            ok = parseUnits(value, options.units);
        } else if (flag == "--seed") {
            ok = parseInt(value, 0, INT_MAX, options.seed);
        } else if (flag == "--set") {
            Preset preset;
            ok = parsePreset(value, preset);
            options.presets.push_back(preset);
        } else if (faults.count(flag)) {
            ok = parseInt(value, 0, INT_MAX, options.faults.*faults.at(flag));
        } else {
            error = "unknown option: " + flag;
            return false;
        }
        if (!ok) {
            error = "bad value for " + flag + ": " + value;
            return false;
        }
    }
    return true;
}
