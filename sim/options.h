// Command line of plc_sim.
#ifndef SIM_OPTIONS_H
#define SIM_OPTIONS_H

#include "faults.h"
#include "presets.h"

#include <string>
#include <vector>

struct Options {
    bool help = false;
    std::string bindAddress = "127.0.0.1";
    int port = 0;
    std::vector<int> units{1};
    bool answerUnit0 = false;
    bool remote = false;
    std::vector<Preset> presets;
    bool log = false;
    bool animate = false;
    int seed = 1;
    FaultSettings faults;
};

// The --help text: the options, the preset forms and examples.
std::string helpText();

// Parses the arguments after the program name.
bool parseOptions(const std::vector<std::string> &args, Options &options, std::string &error);

#endif
