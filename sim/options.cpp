#include "options.h"

#include "parse.h"

#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <sstream>

namespace {

// Applies an option's value (empty for a switch); on failure says what the
// value should have been.
using Apply = bool (*)(const std::string &value, Options &options, std::string &error);

struct OptionEntry {
    const char *name;
    char shortName;        // 0 when there is none
    const char *valueName; // null for a switch
    const char *help;
    Apply apply;
};

template <bool Options::*flag> bool setFlag(const std::string &, Options &options, std::string &) {
    options.*flag = true;
    return true;
}

template <int FaultSettings::*setting> bool setFault(const std::string &value, Options &options, std::string &error) {
    return parseInteger(value, 0, INT_MAX, options.faults.*setting, error);
}

bool setPort(const std::string &value, Options &options, std::string &error) {
    return parseInteger(value, 0, 65535, options.port, error);
}

bool setSeed(const std::string &value, Options &options, std::string &error) {
    return parseInteger(value, 0, INT_MAX, options.seed, error);
}

bool setBind(const std::string &value, Options &options, std::string &error) {
    in_addr address{};
    if (inet_pton(AF_INET, value.c_str(), &address) != 1) {
        error = "expected an IPv4 address such as 127.0.0.1 or 0.0.0.0";
        return false;
    }
    options.bindAddress = value;
    return true;
}

bool setUnits(const std::string &value, Options &options, std::string &error) {
    options.units.clear();
    std::istringstream list(value + ",");
    std::string item;
    while (std::getline(list, item, ','))
        if (!parseInteger(item, 1, 255, options.units.emplace_back(), error))
            return false;
    return true;
}

bool addPreset(const std::string &value, Options &options, std::string &error) {
    Preset preset;
    if (!parsePreset(value, preset, error))
        return false;
    options.presets.push_back(preset);
    return true;
}

bool addPresetFile(const std::string &value, Options &options, std::string &error) {
    return readPresetFile(value, options.presets, error);
}

const OptionEntry kOptions[] = {
    {"--help", 'h', nullptr, "show this help and exit", setFlag<&Options::help>},
    {"--port", 'p', "N", "TCP port; 0 (the default) picks a free one", setPort},
    {"--bind", 'b', "ADDRESS", "IPv4 address to listen on (default 127.0.0.1, 0.0.0.0 for all)", setBind},
    {"--units", 'u', "1,2,...", "unit identifiers served, each with its own memory (default 1)", setUnits},
    {"--answer-unit0", 0, nullptr, "serve unit 0 as an ordinary unit instead of as the broadcast address",
     setFlag<&Options::answerUnit0>},
    {"--remote", 0, nullptr, "serve remote-area records instead of Modbus TCP", setFlag<&Options::remote>},
    {"--set", 's', "PRESET", "preset registers (forms below); repeatable", addPreset},
    {"--presets", 0, "FILE", "presets from a file, one a line; '#' starts a comment", addPresetFile},
    {"--log", 'l', nullptr, "one line per request and per connection to stderr", setFlag<&Options::log>},
    {"--animate", 0, nullptr, "count and wander some registers for a demonstration", setFlag<&Options::animate>},
    {"--seed", 0, "N", "seed of the animation's random walk (default 1)", setSeed},
    {"--drop-every", 0, "N", "fault: no reply to every N-th request", setFault<&FaultSettings::dropEvery>},
    {"--delay-ms", 0, "N", "fault: wait N ms before every reply", setFault<&FaultSettings::delayMs>},
    {"--exception-every", 0, "N", "fault: device failure answer to every N-th request",
     setFault<&FaultSettings::exceptionEvery>},
    {"--short-every", 0, "N", "fault: cut every N-th reply short by 3 bytes", setFault<&FaultSettings::shortEvery>},
    {"--split", 0, "N", "fault: send every reply N bytes at a time", setFault<&FaultSettings::split>},
    {"--close-every", 0, "N", "fault: close the connection instead of the N-th reply",
     setFault<&FaultSettings::closeEvery>},
};

constexpr size_t kHelpColumn = 28;

const char *const kHelpTail = R"(
Presets:
  UNIT:hREG=VALUE       holding register REG (0..1023, 5000..13191) of UNIT;
                        VALUE 0..65535, -32768..-1 or 0x0..0xFFFF
  UNIT:iREG=VALUE       input register REG (0..1023)
  UNIT:hREG=TYPE:VALUE  TYPE u16, i16, u32, i32 or f32; a 32-bit value puts
                        its lower 16 bits in REG and its upper 16 in REG + 1
  UNIT:hREG.BIT=0|1     one bit of a register, 0 the least significant

Examples:
  plc_sim -p 1502 -b 0.0.0.0 --log
  plc_sim --units 1,2 -s 1:h100=f32:3.14 -s 2:h5000=u32:100000 -s 1:h20.3=1
  plc_sim --presets plant.txt --drop-every 10 --delay-ms 50

It prints "PORT <n>" on stdout once it listens, serves until SIGTERM or
SIGINT, then prints the fault counts on stderr.
)";

const OptionEntry *findOption(const std::string &name) {
    for (const OptionEntry &entry : kOptions)
        if (name == entry.name || (entry.shortName && name == std::string{'-', entry.shortName}))
            return &entry;
    return nullptr;
}

} // namespace

std::string helpText() {
    std::string text = "usage: plc_sim [OPTION]...\n"
                       "A simulated PLC: a Modbus TCP server with several units and fault injection.\n\n";
    for (const OptionEntry &entry : kOptions) {
        std::string line = entry.shortName ? "  -" + std::string(1, entry.shortName) + ", " : "      ";
        line += entry.name;
        if (entry.valueName)
            line += std::string(" ") + entry.valueName;
        line.resize(std::max(line.size() + 1, kHelpColumn), ' ');
        text += line + entry.help + "\n";
    }
    return text + kHelpTail;
}

bool parseOptions(const std::vector<std::string> &args, Options &options, std::string &error) {
    for (size_t i = 0; i < args.size(); ++i) {
        // --name=value is --name value.
        std::string name = args[i], value;
        const size_t equals = name.find('=');
        const bool attached = name.rfind("--", 0) == 0 && equals != std::string::npos;
        if (attached) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        const OptionEntry *entry = findOption(name);
        if (!entry) {
            error = "unknown option " + name;
            return false;
        }
        if (!entry->valueName && attached) {
            error = name + " takes no value";
            return false;
        }
        if (entry->valueName && !attached) {
            if (i + 1 == args.size()) {
                error = name + " needs a value: " + entry->valueName;
                return false;
            }
            value = args[++i];
        }
        if (!entry->apply(value, options, error)) {
            error = name + " " + value + ": " + error;
            return false;
        }
    }
    if (options.remote && options.answerUnit0) {
        error = "--answer-unit0 is for Modbus TCP; in --remote mode station 0 stays the broadcast address";
        return false;
    }
    return true;
}
