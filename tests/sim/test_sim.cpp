// The simulated PLC as a Modbus TCP server (functions, coil aliasing,
// exceptions, units), its fault modes, and its remote-area mode.
#include "sim_client.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <list>
#include <numeric>
#include <string>

namespace {

Bytes operator+(Bytes a, const Bytes &b) {
    a.resize(a.size() + b.size()); // not insert(): GCC 12 at -O3 warns falsely on it
    std::copy(b.begin(), b.end(), a.end() - static_cast<std::ptrdiff_t>(b.size()));
    return a;
}

// Requests and the exact replies, in order on one connection, so a request
// whose bytes were not all consumed shows as a wrong next answer.
TEST(SimModbus, FunctionsAliasingAndExceptions) {
    SimProcess sim({"--log", "--set", "1:h100=4660", "--set", "1:h5100=48879", "--set", "1:i1023=258"});
    ASSERT_TRUE(sim.running());
    const struct { Bytes request, reply; } cases[] = { // PDUs
        {{3, 0, 100, 0, 2}, {3, 4, 0x12, 0x34, 0, 0}},
        {{3, 0x13, 0xEC, 0, 1}, {3, 2, 0xBE, 0xEF}}, // register 5100
        {{4, 0x03, 0xFF, 0, 1}, {4, 2, 0x01, 0x02}},
        {{16, 0x33, 0x86, 0, 2, 4, 0x12, 0x34, 0x56, 0x78}, {16, 0x33, 0x86, 0, 2}}, // last two
        {{3, 0x33, 0x86, 0, 2}, {3, 4, 0x12, 0x34, 0x56, 0x78}},
        {{6, 0, 1, 0x5A, 0x5A}, {6, 0, 1, 0x5A, 0x5A}},
        {{5, 0, 17, 0xFF, 0}, {5, 0, 17, 0xFF, 0}},       // coil 17: bit 1 of register 1
        {{6, 0, 1}, {0x86, 3}},                           // no value: too short, stores nothing
        {{3, 0, 1, 0, 1}, {3, 2, 0x5A, 0x5A | 2}},
        {{1, 0, 0, 0, 1}, {0x81, 1}},
        {{0x83, 0, 0, 0, 1}, {0x83, 1}},
        {{3, 0x03, 0xFC, 0, 5}, {0x83, 2}},               // past the low area
        {{4, 0x13, 0x88, 0, 1}, {0x84, 2}},               // no extended input area
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
    ASSERT_EQ(sim.stop(), 0);
    for (const char *line : {" unit 1 function 16 address 13190 count 2: ok\n",
                             " unit 1 function 3 address 1020 count 5: exception 2 Illegal data address\n"})
        EXPECT_NE(sim.errorOutput().find(line), std::string::npos) << line;
}

// Requests are framed by the MBAP length field alone; one that is too short
// for its function never takes bytes of the next one.
TEST(SimModbus, FramingByTheHeader) {
    SimProcess sim({"--set", "1:h0=4660"});
    RawClient client(sim.port());
    const Bytes read = mbapFrame(2, 1, {3, 0, 0, 0, 1}), answer = mbapFrame(2, 1, {3, 2, 0x12, 0x34});
    const Bytes replies = mbapFrame(1, 1, {0x86, 3}) + answer;
    EXPECT_EQ(client.exchange(mbapFrame(1, 1, {6, 0, 0}) + read, replies.size()), replies);
    Bytes otherProtocol = read;
    otherProtocol[3] = 1;
    EXPECT_TRUE(client.exchange(otherProtocol, 1).empty()) << "another protocol is dropped";
    EXPECT_EQ(client.exchange(read, answer.size()), answer);
    for (uint8_t length : {0, 1, 255}) { // the stream is out of step: closed
        RawClient bad(sim.port());
        EXPECT_TRUE(bad.exchange({0, 1, 0, 0, 0, length, 1, 3, 0, 0, 0, 1}, 1, 2000).empty());
        EXPECT_TRUE(bad.closed()) << int(length);
    }
}

// A broadcast (unit 0) reaches every unit and gets no answer, unless
// --answer-unit0 makes unit 0 a device of its own.
TEST(SimModbus, UnitsBroadcastsAndUnitZero) {
    SimProcess sim({"--units", "1,2"});
    RawClient raw(sim.port());
    EXPECT_TRUE(raw.exchange(mbapFrame(0, 0, {6, 0x13, 0x88, 0x12, 0x34}), 12).empty());
    EXPECT_TRUE(raw.exchange(mbapFrame(0, 0, {3, 0, 0, 0, 1}), 11).empty()) << "a broadcast read is ignored";
    for (int unit : {1, 2})
        ASSERT_EQ(modbus_write_register(ModbusClient(sim.port(), unit).ctx(), 10, uint16_t(111 * unit)), 1);
    for (int unit : {1, 2}) {
        EXPECT_EQ(ModbusClient(sim.port(), unit).readHolding(10), 111 * unit);
        EXPECT_EQ(ModbusClient(sim.port(), unit).readHolding(5000), 0x1234);
    }
    EXPECT_EQ(ModbusClient(sim.port(), 3).readHolding(10), -1);
    EXPECT_EQ(errno, ETIMEDOUT);

    SimProcess unit0({"--answer-unit0", "--set", "0:h10=7"});
    ModbusClient zero(unit0.port(), 0);
    ASSERT_EQ(modbus_write_register(zero.ctx(), 11, 8), 1);
    EXPECT_EQ(zero.readHolding(10), 7);
    EXPECT_EQ(ModbusClient(unit0.port(), 1).readHolding(11), 0) << "unit 0 has a memory of its own";
}

TEST(SimOptions, HelpBindAndBadCommandLines) {
    SimProcess elsewhere({"--bind", "127.0.0.2"});
    ASSERT_TRUE(elsewhere.running());
    EXPECT_FALSE(RawClient(elsewhere.port()).connected()) << "nothing listens on 127.0.0.1";
    for (const std::string help : {"--help", "-h"}) // exit status 0, and the examples at the end
        EXPECT_EQ(std::system(("text=$('" PLC_SIM_PATH "' " + help + ") && echo \"$text\" | grep -q '^Examples:'").c_str()),
                  0);
    const struct { std::vector<std::string> args; const char *message; } cases[] = {
        {{"--port", "70000"}, "--port 70000: expected a whole number in 0..65535"},
        {{"--drop-every"}, "--drop-every needs a value: N"},
        {{"--bogus"}, "unknown option --bogus"},
        {{"--bind", "127.1"}, "--bind 127.1: expected an IPv4 address"},
        {{"--remote", "--answer-unit0"}, "--answer-unit0 is for Modbus TCP"},
        {{"--set", "2:h5=1"}, "preset for a unit that is not served: 2:h5=1"},
        {{"--set", "1:h1024=1"}, "preset for a register that does not exist: 1:h1024=1"},
        {{"--set", "1:h5=i16:40000"}, "expected a whole number in -32768..32767"},
        {{"--set", "1:h5=s8:1"}, "unknown value type s8"},
        {{"--presets", "/nonexistent"}, "--presets /nonexistent: No such file"},
    };
    for (const auto &c : cases) {
        SimProcess bad(c.args);
        EXPECT_EQ(bad.stop(), 2) << c.message;
        EXPECT_NE(bad.errorOutput().find(c.message), std::string::npos) << bad.errorOutput();
    }
}

// Typed presets, bits and a preset file; a 32-bit value's lower 16 bits go
// to the lower register, as the driver lays out a double word.
TEST(SimOptions, TypedPresetsAndPresetFile) {
    char path[] = "/tmp/plc_sim_presets_XXXXXX";
    const int fd = mkstemp(path);
    const std::string file = "# plant\n  1:h30=u16:0xBEEF  # a comment\n\n1:i7=-2\n";
    ASSERT_EQ(write(fd, file.data(), file.size()), ssize_t(file.size()));
    close(fd);
    SimProcess sim({"--set", "1:h10=f32:3.14", "-s", "1:h12=i32:-2", "--set=1:h5000=u32:0x12345678", "--set",
                    "1:h14=i16:-32768", "--set", "1:h20.3=1", "--set", "1:h20.15=1", "--presets", path});
    unlink(path);
    ModbusClient client(sim.port());
    uint16_t r[21] = {}; // registers 10..30
    ASSERT_EQ(modbus_read_registers(client.ctx(), 10, 21, r), 21);
    EXPECT_EQ(modbus_get_float_cdab(r), 3.14f);
    using Words = std::vector<uint16_t>;
    EXPECT_EQ(Words({r[2], r[3], r[4], r[10], r[20]}), Words({0xFFFE, 0xFFFF, 0x8000, 0x8008, 0xBEEF}));
    ASSERT_EQ(modbus_read_registers(client.ctx(), 5000, 2, r), 2);
    EXPECT_EQ(Words({r[0], r[1]}), Words({0x5678, 0x1234}));
    ASSERT_EQ(modbus_read_input_registers(client.ctx(), 7, 1, r), 1);
    EXPECT_EQ(r[0], 0xFFFE);
}

const Bytes kRead = mbapFrame(0, 1, {3, 0, 0, 0, 1});
const Bytes kAnswer = mbapFrame(0, 1, {3, 2, 0x12, 0x34});

// Each fault mode on a simulator of its own: its replies, whether it closed
// the connection, and the counts it prints when stopped.
TEST(SimFaults, DropExceptionShortAndClose) {
    const Bytes write1 = mbapFrame(0, 1, {6, 0, 0, 0, 1}), write2 = mbapFrame(0, 1, {6, 0, 0, 0, 2});
    const struct { const char *mode, *every; std::vector<std::pair<Bytes, Bytes>> exchanges; const char *counts; } cases[] = {
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
        SimProcess sim({c.mode, c.every, "--set", "1:h0=4660"});
        RawClient client(sim.port());
        for (const auto &e : c.exchanges)
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
    bool inPieces = false;
    for (int attempt = 0; attempt < 10 && !inPieces; ++attempt) {
        ASSERT_EQ(raw.exchange(kRead, kAnswer.size(), 1000), kAnswer);
        inPieces = raw.pieces() > 1;
    }
    EXPECT_TRUE(inPieces);
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
        for (RawClient &client : clients)
            served += (busy ? client.receive(kAnswer.size(), 2000) : client.exchange(kRead, kAnswer.size(), 2000)) ==
                      kAnswer;
        EXPECT_EQ(served, 256) << "busy " << busy;
        clients.clear();
        bool servedAgain = false;
        for (int attempt = 0; attempt < 100 && !servedAgain; ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            servedAgain = RawClient(sim.port()).exchange(kRead, kAnswer.size(), 2000) == kAnswer;
        }
        EXPECT_TRUE(servedAgain);
        EXPECT_EQ(sim.stop(), 0);
    }
}

// A remote-area record: length byte, hostTag0 7, accessKind, nodeId 3,
// station, regType and count (16 bits), regAddr, aux0, aux1 (32 bits), the
// value of a write, and the 8-bit sum of everything before it.
Bytes record(int access, int station, uint16_t type, uint32_t addr, uint16_t count, const Bytes &value = {}) {
    Bytes out = {0, 7, uint8_t(access), 3, uint8_t(station), uint8_t(type >> 8), uint8_t(type),
                 uint8_t(addr >> 24), uint8_t(addr >> 16), uint8_t(addr >> 8), uint8_t(addr),
                 uint8_t(count >> 8), uint8_t(count), 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4};
    out = out + value;
    out[0] = uint8_t(out.size() + 1);
    out.push_back(uint8_t(std::accumulate(out.begin(), out.end(), 0u)));
    return out;
}

// Replies: length, the record's first four fields, status, then a read's
// area, register count and registers, or a write's regType and regAddr.
Bytes readReply(int station, uint8_t area, uint8_t status, const std::vector<uint16_t> &regs) {
    Bytes out = {0, 7, 0, 3, uint8_t(station), status, area, uint8_t(regs.size() >> 8), uint8_t(regs.size())};
    for (uint16_t reg : regs)
        out = out + Bytes{uint8_t(reg >> 8), uint8_t(reg)};
    out[0] = uint8_t(out.size());
    return out;
}
Bytes writeReply(uint16_t type, uint32_t addr) {
    return {12, 7, 1, 3, 1, 0, uint8_t(type >> 8), uint8_t(type), uint8_t(addr >> 24), uint8_t(addr >> 16),
            uint8_t(addr >> 8), uint8_t(addr)};
}

// Elements as the driver's images lay them out: bit A in register A / 16,
// byte B in the low (even) or high (odd) half of register B / 2. A refused read gets its
// status; a refused write no reply at all, since the driver judges a write
// by the arrival of its reply; a bad record or station gets nothing.
TEST(SimRemote, RecordsAndRefusals) {
    SimProcess sim({"--remote", "--units", "1,2", "--exception-every", "12", "-s", "1:h3=4369", "-s", "1:i3=258"});
    RawClient client(sim.port());
    const Bytes good = record(0, 1, 0, 3, 1), answer = readReply(1, 0, 0, {0x0102});
    ASSERT_TRUE(client.send(Bytes(good.begin(), good.begin() + 5)));
    EXPECT_TRUE(client.receive(1).empty()) << "nothing before the record is whole";
    EXPECT_EQ(client.exchange(Bytes(good.begin() + 5, good.end()) + good, 2 * answer.size()), answer + answer);
    Bytes badSum = good;
    badSum.back()++;
    const struct { Bytes request, reply; } cases[] = {
        {record(1, 1, 1, 17, 2, {1, 5}), writeReply(1, 17)},
        {record(1, 1, 4, 7, 1, {0xAB}), writeReply(4, 7)},
        {record(0, 1, 1, 1, 3), readReply(1, 1, 0, {0x0006, 0, 0xAB11})},
        {record(1, 1, 8, 10, 120, Bytes(240, 0xA0)), writeReply(8, 10)}, // the length byte wraps
        {record(0, 1, 2, 129, 1), readReply(1, 2, 0, {0xA0A0})},
        {record(0, 1, 1, 1020, 10), readReply(1, 1, 2, {})},
        {record(0, 1, 3, 0, 1), readReply(1, 3, 3, {})},
        {record(1, 1, 4, 2047, 2, {1, 1}), {}},
        {badSum, {}},
        {record(1, 1, 7, 0, 1), {}}, // no value
        {record(0, 3, 1, 5, 1), {}},
        {record(1, 0, 7, 5, 1, {0x34, 0x12}), {}}, // station 0: every unit
        {record(0, 2, 1, 5, 1), readReply(2, 1, 0, {0x1234})},
        {record(0, 1, 1, 5, 1), readReply(1, 1, 4, {})}, // the twelfth request
    };
    for (const auto &c : cases)
        EXPECT_EQ(client.exchange(c.request, std::max<size_t>(c.reply.size(), 1)), c.reply) << &c - cases;
}

} // namespace
