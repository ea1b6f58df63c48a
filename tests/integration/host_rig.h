// A simulated PLC on loopback and a reference host polling it, for the
// integration tests. Each test builds its own and both stop with it.
#ifndef HOST_RIG_H
#define HOST_RIG_H

#include "plc_host.h"
#include "sim_client.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

namespace rig {

using namespace plchost;

// Loopback answers in well under a millisecond; the time-out leaves room
// for sanitizer builds on a busy machine. Tests of failures shorten it.
inline HostConfig config(int port) {
    HostConfig c;
    c.pluginPath = PLUGIN_PATH;
    c.port = port;
    c.timeoutMs = 300;
    c.intervalMs = 5;
    return c;
}

inline Variable var(int type, const std::string &address, int count = 1, int station = 1) {
    return {std::string(typeName(type)) + " " + address, type, address, count, station};
}

inline QByteArray le(std::initializer_list<std::uint8_t> bytes) {
    return QByteArray(reinterpret_cast<const char *>(bytes.begin()), static_cast<int>(bytes.size()));
}

struct Rig {
    explicit Rig(const std::vector<std::string> &simArgs,
                 const std::function<void(HostConfig &)> &tune = {})
        : sim(simArgs) {
        EXPECT_TRUE(sim.running()) << "plc_sim did not start";
        HostConfig c = config(sim.port());
        c.report = [this](const std::string &line) {
            std::lock_guard<std::mutex> lock(linesMutex);
            lines.push_back(line);
        };
        if (tune)
            tune(c);
        host = std::make_unique<PlcHost>(c);
        std::string error;
        EXPECT_TRUE(host->load(error)) << error;
    }

    void start(const std::vector<Variable> &plan = {}) {
        std::string error;
        ASSERT_TRUE(host->setPlan(plan, error)) << error;
        host->start();
    }

    // A write or one-shot read (no value) and its completion status.
    PlcHost::Status request(const Variable &v, const QByteArray *value = nullptr, int idleMs = 3000) {
        std::string error;
        const bool queued = value ? host->write(v, *value, &id, error) : host->readOnce(v, &id, error);
        EXPECT_TRUE(queued) << error;
        return queued ? host->waitCompletion(id, idleMs) : PlcHost::Failed;
    }
    PlcHost::Status write(const Variable &v, const QByteArray &value) { return request(v, &value); }

    // Reads the variable from the PLC once, then its values from the driver.
    std::vector<std::uint32_t> readBack(const Variable &v) {
        EXPECT_EQ(request(v), PlcHost::Done) << v.label;
        return host->values(v);
    }

    // True once the host reported a line holding `text`.
    bool reported(const std::string &text) {
        return eventually([&] {
            std::lock_guard<std::mutex> lock(linesMutex);
            return std::any_of(lines.begin(), lines.end(), [&](auto &line) { return line.find(text) != line.npos; });
        });
    }

    // Destroyed in reverse: the host stops before what its loop reports to,
    // and before the simulator.
    SimProcess sim;
    std::mutex linesMutex;
    std::vector<std::string> lines; // the host's report lines
    RequestId id;                   // of the last request()
    std::unique_ptr<PlcHost> host;
};

} // namespace rig

#endif
