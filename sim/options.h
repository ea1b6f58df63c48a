// Command line of plc_sim.
#ifndef SIM_OPTIONS_H
#define SIM_OPTIONS_H

#include "faults.h"

#include <string>
#include <vector>

// A --set preset: register `reg` of unit `unit`, holding ('h') or input ('i').
struct Preset {
    int unit;
    char kind;
    int reg;
    int value;
};

struct Options {
    int port = 0;
    std::vector<int> units{1};
    bool remote = false;
    bool animate = false;
    int seed = 1;
    FaultSettings faults;
    std::vector<Preset> presets;
};

extern const char *const kUsage;

// Parses the arguments after the program name. On a malformed argument
// returns false with a message in `error`.
bool parseOptions(const std::vector<std::string> &args, Options &options, std::string &error);

#endif
