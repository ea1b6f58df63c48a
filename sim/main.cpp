// plc_sim: a simulated PLC, a Modbus TCP server (or, with --remote, a
// remote-area record responder) with fault injection for tests.
#include "animation.h"
#include "faults.h"
#include "memory.h"
#include "modbus_service.h"
#include "options.h"
#include "remote_service.h"
#include "server.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace {

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
        std::fprintf(stderr, "plc_sim: %s\nplc_sim --help lists the options.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(helpText().c_str(), stdout);
        return 0;
    }
    if (options.answerUnit0)
        options.units.push_back(0);
    Memory memory(options.units);
    if (!applyPresets(options.presets, memory, error)) {
        std::fprintf(stderr, "plc_sim: %s\n", error.c_str());
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const int stopFd = stopSignalFd();
    FaultPlan plan(options.faults);
    const RequestLog log(options.log);
    ServiceContext context{memory, plan, log};
    ModbusService modbus(context);
    Server server(
        [&](int fd, const std::string &client) {
            if (options.remote)
                serveRemote(fd, client, context);
            else
                modbus.serve(fd, client);
        },
        log);
    if (stopFd < 0)
        error = "cannot watch for signals";
    if (stopFd < 0 || (!options.remote && !modbus.open(error)) ||
        !server.listen(options.bindAddress, options.port, error)) {
        std::fprintf(stderr, "plc_sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("PORT %d\n", server.port());
    std::fflush(stdout);
    {
        std::unique_ptr<Animation> animation;
        if (options.animate)
            animation = std::make_unique<Animation>(memory, options.seed);
        server.run(stopFd);
    }
    std::fprintf(stderr, "%s\n", plan.summary().c_str());
    close(stopFd);
    return 0;
}
