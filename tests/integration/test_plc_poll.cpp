// plc_poll as a field engineer runs it: exit statuses, messages and output
// formats, against the simulated PLC on loopback.
#include "sim_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

struct PollRun {
    int status;
    std::string output; // stdout and stderr together
};

// The arguments hold no spaces or shell characters.
PollRun plcPoll(const std::vector<std::string> &args) {
    std::string command = PLC_POLL_PATH;
    for (const std::string &a : args)
        command += " " + a;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    PollRun run{-1, {}};
    if (!pipe)
        return run;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        run.output.append(chunk, got);
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

TEST(PlcPoll, BadInputIsExplainedWithStatus2) {
    const struct {
        std::vector<std::string> args;
        const char *message;
    } cases[] = {
        {{}, "nothing to do"},
        {{"--var", "x,13,1,1"}, "unknown type"},
        {{"--write", "hold.byte,1,300"}, "bad value"},
        {{"--vars", "/nonexistent.csv"}, "cannot open"},
        {{"--port", "70000", "--read", "hold.word,1"}, "--port"},
        {{"--frobnicate"}, "unknown option"},
        {{"--station"}, "needs a value"},
    };
    for (const auto &c : cases) {
        PollRun run = plcPoll(c.args);
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_TRUE(contains(run.output, c.message)) << c.message << " in: " << run.output;
    }
}

TEST(PlcPoll, UnreachablePlcOrPluginGivesStatus3) {
    int port;
    {
        SimProcess sim;
        ASSERT_TRUE(sim.running());
        port = sim.port();
    } // stopped: nothing listens there now
    PollRun run = plcPoll({"--port", std::to_string(port), "--read", "hold.word,1"});
    EXPECT_EQ(run.status, 3);
    EXPECT_TRUE(contains(run.output, "cannot connect")) << run.output;
    run = plcPoll({"--plugin", "/nonexistent/libplcdriver.so", "--read", "hold.word,1"});
    EXPECT_EQ(run.status, 3);
    EXPECT_TRUE(contains(run.output, "plug-in")) << run.output;
}

TEST(PlcPoll, WritesThenReadsBackAsJson) {
    SimProcess sim;
    ASSERT_TRUE(sim.running());
    PollRun run = plcPoll({"--port", std::to_string(sim.port()), "--format", "json", "--write",
                       "hold.word,5,777", "--write", "ext.dword,2,0x12345678", "--read",
                       "hold.word,5", "--read", "ext.dword,2"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(contains(run.output, R"("type":"hold.word","station":1,"address":"5","values":[777]})"))
        << run.output;
    EXPECT_TRUE(contains(run.output, R"("address":"2","values":[305419896]})")) << run.output;
    EXPECT_TRUE(contains(run.output, "exchanges 4, failures 0")) << run.output;
}

TEST(PlcPoll, PollsSeveralStationsAsCsvForAWhile) {
    SimProcess sim({"--units", "1,2", "--set", "1:h3=31", "--set", "2:h3=32"});
    ASSERT_TRUE(sim.running());
    PollRun run = plcPoll({"--port", std::to_string(sim.port()), "--format", "csv", "--interval-ms",
                       "100", "--duration", "0.5", "--var", "a,hold.word,3,1,1", "--var",
                       "b,hold.word,3,1,2"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "time,label,type,station,address,values\n")) << run.output;
    EXPECT_TRUE(contains(run.output, ",a,hold.word,1,3,31\n")) << run.output;
    EXPECT_TRUE(contains(run.output, ",b,hold.word,2,3,32\n")) << run.output;
}

TEST(PlcPoll, FailedWriteGivesStatus1) {
    SimProcess sim({"--drop-every", "1"});
    ASSERT_TRUE(sim.running());
    PollRun run = plcPoll({"--port", std::to_string(sim.port()), "--retries", "1", "--timeout-ms",
                       "100", "--write", "hold.word,5,1"});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(contains(run.output, "write hold.word,5,1: failed")) << run.output;
    EXPECT_TRUE(contains(run.output, "given up 1")) << run.output;
}

} // namespace
