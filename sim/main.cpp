// plc_sim: a simulated PLC on 127.0.0.1, a Modbus TCP server (or, with
// --remote, a remote-area record responder) with fault injection for tests.
#include "animation.h"
#include "faults.h"
#include "memory.h"
#include "options.h"
#include "server.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace {

bool applyPresets(const std::vector<Preset> &presets, Memory &memory, std::string &error) {
    for (const Preset &preset : presets) {
        UnitMemory *unit = memory.unit(preset.unit);
        uint16_t *reg = nullptr;
        if (unit)
            reg = preset.kind == 'h' ? unit->holdingAt(preset.reg)
                                     : (preset.reg < kInputRegs ? &unit->input[preset.reg] : nullptr);
        if (!reg) {
            error = "--set names no register of a served unit: " + std::to_string(preset.unit) + ":" +
                    preset.kind + std::to_string(preset.reg);
            return false;
        }
        *reg = static_cast<uint16_t>(preset.value);
    }
    return true;
}

// SIGTERM and SIGINT become readable events on a descriptor; blocked before
// any thread starts, so every thread inherits the mask.
int stopSignalFd() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    return signalfd(-1, &stops, SFD_CLOEXEC);
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    std::string error;
    if (!parseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "plc_sim: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    Memory memory(options.units);
    if (!applyPresets(options.presets, memory, error)) {
        std::fprintf(stderr, "plc_sim: %s\n", error.c_str());
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const int stopFd = stopSignalFd();
    FaultPlan plan(options.faults);
    {
        Server server(options.remote, memory, plan);
        if (stopFd < 0 || !server.listen(options.port, error)) {
            std::fprintf(stderr, "plc_sim: %s\n", stopFd < 0 ? "cannot watch for signals" : error.c_str());
            return 1;
        }
        std::printf("PORT %d\n", server.port());
        std::fflush(stdout);
        std::unique_ptr<Animation> animation;
        if (options.animate)
            animation = std::make_unique<Animation>(memory, options.seed);
        server.run(stopFd);
    }
    std::fprintf(stderr, "%s\n", plan.summary().c_str());
    close(stopFd);
    return 0;
}
