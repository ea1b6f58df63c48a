// The simulated PLC as a Modbus TCP server (functions, coil aliasing,
// exceptions) and its fault modes. Its units, unit 0 and remote-area mode
// are shown by the host loop tests.
#include "sim_client.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <list>
#include <string>

namespace {

const Bytes kRead = mbapFrame(0, 1, {3, 0, 0, 0, 1});
const Bytes kAnswer = mbapFrame(0, 1, {3, 2, 0x12, 0x34});

// Requests and the exact replies, in order on one connection, so a request
// whose bytes were not all consumed shows as a wrong next answer; then
// framing by the MBAP length field alone.
TEST(SimModbus, FunctionsAliasingExceptionsAndFraming) {
    SimProcess sim({"--set", "1:h0=4660", "--set", "1:h100=4660", "--set", "1:h5100=48879"});
    ASSERT_TRUE(sim.running());
    const struct { Bytes request, reply; } cases[] = { // PDUs
        {{3, 0, 100, 0, 2}, {3, 4, 0x12, 0x34, 0, 0}},
        {{3, 0x13, 0xEC, 0, 1}, {3, 2, 0xBE, 0xEF}}, // register 5100
        {{16, 0x33, 0x86, 0, 2, 4, 0x12, 0x34, 0x56, 0x78}, {16, 0x33, 0x86, 0, 2}}, // last two
        {{3, 0x33, 0x86, 0, 2}, {3, 4, 0x12, 0x34, 0x56, 0x78}},
        {{6, 0, 1, 0x5A, 0x5A}, {6, 0, 1, 0x5A, 0x5A}},
        {{5, 0, 17, 0xFF, 0}, {5, 0, 17, 0xFF, 0}},       // coil 17: bit 1 of register 1
        {{3, 0, 1, 0, 1}, {3, 2, 0x5A, 0x5A | 2}},
        {{5, 0x19, 0xC8, 0, 0}, {5, 0x19, 0xC8, 0, 0}},   // coil 6600 off: bit 0 of register 5100
        {{3, 0x13, 0xEC, 0, 1}, {3, 2, 0xBE, 0xEE}},
        {{1, 0, 0, 0, 1}, {0x81, 1}},
        {{0x83, 0, 0, 0, 1}, {0x83, 1}},
        {{3, 0x03, 0xFC, 0, 5}, {0x83, 2}},               // past the low area
        {{3, 0, 0, 0, 126}, {0x83, 3}},
        {{3, 0, 0, 0, 1, 0}, {0x83, 3}},                  // too long
        {{16, 0, 0, 0, 1, 4, 0, 0, 0, 0}, {0x90, 3}},     // byte count not twice the quantity
        {{5, 0, 0, 0x12, 0x34}, {0x85, 3}},
    };
    RawClient client(sim.port());
    uint16_t tid = 0;
    for (const auto &c : cases) {
        const Bytes expected = mbapFrame(++tid, 1, c.reply);
        EXPECT_EQ(client.exchange(mbapFrame(tid, 1, c.request), expected.size()), expected) << int(c.request[0]);
    }
    // One too short for its function (no value) never takes bytes of the next.
    const Bytes replies = mbapFrame(1, 1, {0x86, 3}) + kAnswer;
    EXPECT_EQ(client.exchange(mbapFrame(1, 1, {6, 0, 0}) + kRead, replies.size()), replies);
    EXPECT_TRUE(client.exchange({0, 0, 0, 1, 0, 6, 1, 3, 0, 0, 0, 1}, 1).empty()) << "another protocol";
    EXPECT_EQ(client.exchange(kRead, kAnswer.size()), kAnswer);
    for (uint8_t length : {0, 1, 255}) { // the stream is out of step: closed
        RawClient bad(sim.port());
        EXPECT_TRUE(bad.exchange({0, 1, 0, 0, 0, length, 1, 3, 0, 0, 0, 1}, 1, 2000).empty());
        EXPECT_TRUE(bad.closed()) << int(length);
    }
}

TEST(SimOptions, HelpBindAndBadCommandLines) {
    SimProcess elsewhere({"--bind", "127.0.0.2"});
    EXPECT_TRUE(elsewhere.running() && !RawClient(elsewhere.port()).connected()) << "nothing listens on 127.0.0.1";
    // --help: exit status 0, and the examples at the end
    EXPECT_EQ(std::system("text=$('" PLC_SIM_PATH "' --help) && echo \"$text\" | grep -q '^Examples:'"), 0);
    const struct { std::vector<std::string> args; const char *message; } cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"--set", "2:h5=1"}, "preset for a unit that is not served: 2:h5=1"},
        {{"--set", "1:h1024=1"}, "preset for a register that does not exist: 1:h1024=1"},
        {{"--set", "1:h5=i16:40000"}, "expected a whole number in -32768..32767"},
        {{"--presets", "/nonexistent"}, "--presets /nonexistent: No such file"},
    };
    for (const auto &c : cases) {
        SimProcess bad(c.args);
        EXPECT_EQ(bad.stop(), 2) << c.message;
        EXPECT_NE(bad.errorOutput().find(c.message), std::string::npos) << bad.errorOutput();
    }
}

// Typed presets, bits and a preset file; a 32-bit value's lower 16 bits go
// to the lower register, as the driver lays out a double word. (u32 and f32
// presets, read through the driver: the host loop and plc_poll tests.)
TEST(SimOptions, TypedPresetsAndPresetFile) {
    const std::string path = "/tmp/plc_sim_presets_" + std::to_string(getpid());
    std::ofstream(path) << "# plant\n  1:h30=u16:0xBEEF  # a comment\n\n1:i7=-2\n";
    SimProcess sim({"-s", "1:h12=i32:-2", "--set=1:h14=i16:-32768", "-s", "1:h20.3=1", "--set", "1:h20.15=1",
                    "--presets", path});
    unlink(path.c_str());
    ModbusClient client(sim.port());
    uint16_t r[21] = {}; // registers 10..30
    ASSERT_EQ(modbus_read_registers(client.ctx(), 10, 21, r), 21);
    using Words = std::vector<uint16_t>;
    EXPECT_EQ(Words({r[2], r[3], r[4], r[10], r[20]}), Words({0xFFFE, 0xFFFF, 0x8000, 0x8008, 0xBEEF}));
    ASSERT_EQ(modbus_read_input_registers(client.ctx(), 7, 1, r), 1);
    EXPECT_EQ(r[0], 0xFFFE);
}

// Each fault mode on a simulator of its own: its replies, whether it closed
// the connection, and the counts it prints when stopped.
TEST(SimFaults, DropExceptionShortAndClose) {
    const Bytes write1 = mbapFrame(0, 1, {6, 0, 0, 0, 1}), write2 = mbapFrame(0, 1, {6, 0, 0, 0, 2});
    const struct { const char *mode, *n; std::vector<std::pair<Bytes, Bytes>> replies; const char *counts; } cases[] = {
        {"--drop-every", "2", {{kRead, kAnswer}, {kRead, {}}, {kRead, kAnswer}, {kRead, {}}},
         "4 dropped=2 exceptions=0 short=0 closed=0"},
        {"--exception-every", "2", // the refused write stores nothing
         {{write1, write1}, {write2, mbapFrame(0, 1, {0x86, 4})}, {kRead, mbapFrame(0, 1, {3, 2, 0, 1})}},
         "3 dropped=0 exceptions=1 short=0 closed=0"},
        {"--short-every", "2", {{kRead, kAnswer}, {kRead, Bytes(kAnswer.begin(), kAnswer.end() - 3)}},
         "2 dropped=0 exceptions=0 short=1 closed=0"},
        {"--close-every", "2", {{kRead, kAnswer}, {kRead, {}}}, "2 dropped=0 exceptions=0 short=0 closed=1"},
    };
    for (const auto &c : cases) {
        SimProcess sim({c.mode, c.n, "--set", "1:h0=4660"});
        RawClient client(sim.port());
        for (const auto &e : c.replies)
            EXPECT_EQ(client.exchange(e.first, kAnswer.size(), 500), e.second) << c.mode;
        EXPECT_EQ(client.closed(), std::string(c.mode) == "--close-every");
        EXPECT_EQ(sim.stop(), 0);
        EXPECT_NE(sim.errorOutput().find(std::string("faults: requests=") + c.counts + "\n"), std::string::npos)
            << sim.errorOutput();
    }
}

// Split pieces are 2 ms apart, so a reader normally sees them one by one; a
// few tries keep a busy machine from hiding that. (The host tests show the
// delays.)
TEST(SimFaults, Split) {
    SimProcess sim({"--split", "3", "--set", "1:h0=4660"});
    RawClient raw(sim.port());
    EXPECT_TRUE(eventually([&] { // the first read takes only the first piece
        const Bytes first = raw.exchange(kRead, 1);
        return first.size() < kAnswer.size() && first + raw.receive(kAnswer.size() - first.size()) == kAnswer;
    }));
}

// 1000 connections, idle or each sending a request at once: the first 256
// are served, the rest closed; once they are gone, new clients are served.
// Only poll()-based raw clients here: the test's descriptors pass 1024.
TEST(SimServer, ClientCap) {
    for (bool busy : {false, true}) {
        SimProcess sim({"--set", "1:h0=4660"});
        std::list<RawClient> clients;
        for (int i = 0; i < 1000; ++i)
            if (clients.emplace_back(sim.port()).connected() && busy)
                clients.back().send(kRead);
        int served = 0;
        for (RawClient &client : clients) // an idle one asks now
            served += (busy || client.send(kRead)) && client.receive(kAnswer.size(), 2000) == kAnswer;
        EXPECT_EQ(served, 256) << "busy " << busy;
        clients.clear();
        EXPECT_TRUE(eventually([&] { return RawClient(sim.port()).exchange(kRead, kAnswer.size()) == kAnswer; }));
        EXPECT_EQ(sim.stop(), 0);
    }
}

} // namespace
