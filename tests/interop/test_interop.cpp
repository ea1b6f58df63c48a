// The plug-in, through the reference host, against a Modbus TCP server
// nobody on this project wrote: Debian's pymodbus (pymodbus_server.py). What
// the host shows and what its writes do are checked against the server's own
// memory, read over a connection of its own with a plain libmodbus client.
#include "host_rig.h"

#include <cerrno>
#include <memory>

namespace {

using namespace rig;

constexpr int kWaitMs = 10000; // generous: a busy machine runs Python slowly

// A host variable by its numeric element address (bits: byte x 8 + bit).
struct Element {
    int type;
    int address;
    int count;
    Variable variable() const {
        return var(type, bit() ? std::to_string(address / 8) + "." + std::to_string(address % 8)
                               : std::to_string(address), count);
    }
    bool bit() const { return plc::kindOf(type) == plc::ElementKind::Bit; }
    // Bytes an element takes in the layout of SetRegisterData.
    int bytes() const { return bit() ? 1 : 1 << (int(plc::kindOf(type)) - 1); }
};

class Interop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(rig.sim.running()) << "pymodbus server did not start: " << rig.sim.errorOutput();
        connect(rig.sim.port());
    }

    void connect(int port) {
        memory = std::make_unique<ModbusClient>(port, 1, 2000);
        ASSERT_TRUE(memory->connected());
    }

    void start(const std::vector<Element> &plan) {
        std::vector<Variable> vars;
        for (const Element &e : plan)
            vars.push_back(e.variable());
        rig.start(vars);
    }

    PlcHost::Status write(const Element &e, const std::string &text, QByteArray *written = nullptr) {
        QByteArray value;
        int values = 0;
        std::string error;
        EXPECT_TRUE(encodeValues(e.type, ValueFormat(), text, value, values, error)) << error;
        if (written)
            *written = value;
        return rig.request(e.variable(), &value, kWaitMs);
    }

    // Registers of an area as the server holds them, as bytes: register r is
    // bytes 2r (low half) and 2r + 1. Area 2 starts at 5000.
    std::vector<int> image(int area, int first, int count) {
        std::vector<uint16_t> regs(count);
        const int got = area == 0 ? modbus_read_input_registers(memory->ctx(), first, count, regs.data())
                                  : modbus_read_registers(memory->ctx(), first + (area == 2 ? 5000 : 0),
                                                          count, regs.data());
        EXPECT_EQ(got, count) << modbus_strerror(errno);
        std::vector<int> bytes;
        for (uint16_t r : regs)
            bytes.insert(bytes.end(), {r & 0xFF, r >> 8});
        return bytes;
    }

    std::vector<int> coils(int first, int count) {
        std::vector<uint8_t> bits(count);
        EXPECT_EQ(modbus_read_bits(memory->ctx(), first, count, bits.data()), count);
        return {bits.begin(), bits.end()};
    }

    // The elements as the server holds them: bit n is bit n % 8 of byte
    // n / 8, any other element n the little-endian bytes from n x its size.
    std::vector<uint32_t> serverElements(const Element &e) {
        const Variable v = e.variable();
        const int base = 2 * firstRegister(v);
        const std::vector<int> bytes = image(plc::areaOf(e.type), firstRegister(v), registerCount(v));
        std::vector<uint32_t> out;
        for (int n = e.address; n < e.address + e.count; ++n) {
            uint32_t value = e.bit() ? bytes.at(n / 8 - base) >> (n % 8) & 1 : 0;
            for (int i = e.bit() ? 0 : e.bytes(); i-- > 0;)
                value = value << 8 | bytes.at(n * e.bytes() - base + i);
            out.push_back(value);
        }
        return out;
    }

    Reading reading(const Element &e) const { return rig.host->reading(e.variable()); }
    Quality quality(const Element &e) const { return reading(e).quality; }
    bool shownAsServerHolds(const Element &e) {
        return quality(e) == Quality::Good && decodeValues(e.type, reading(e).data) == serverElements(e);
    }

    // The host on the pymodbus server (PLC_SIM_PATH here); Python on a loaded
    // machine answers in milliseconds, not microseconds.
    Rig rig{{}, [](HostConfig &c) { c.timeoutMs = 1000; }};
    std::unique_ptr<ModbusClient> memory;
};

// Every type code, at addresses that cross registers, use both byte halves
// and reach the last register the server has in each table (input 255,
// holding 5255), shows the server's memory. Holding register 6000 (area 2's
// 1000) and coil 13000 lie beyond the server's tables, which it answers with
// exception 2: every request there fails, nothing is shown for the polled
// variable there, and the rest of the plan stays good.
TEST_F(Interop, EveryTypeShowsTheServersMemoryAndRefusedAddressesFail) {
    const Element refused{8, 1000, 1};
    const std::vector<Element> plan = {
        {0, 29, 20},  {1, 335, 3}, {2, 4000, 16}, // bits: 3.5.., 41.7.., 500.0..
        {3, 7, 5},    {4, 100, 3}, {5, 511, 1},   // bytes: odd start, last high byte
        {6, 250, 6},  {7, 0, 4},   {8, 0, 2},     // words
        {9, 3, 2},    {10, 30, 2}, {11, 100, 1},  // double words
        refused};
    start(plan);
    for (const Element &e : plan) {
        EXPECT_TRUE(eventually([&] { return quality(e) == Quality::Good || quality(e) == Quality::Failed; },
                               kWaitMs)) << e.variable().label;
        EXPECT_TRUE(&e == &plan.back() || shownAsServerHolds(e))
            << e.variable().label << ": " << reading(e).reason;
    }
    const Reading shown = reading(refused);
    EXPECT_EQ(shown.quality, Quality::Failed);
    EXPECT_NE(shown.reason.find("exception 2"), std::string::npos) << shown.reason;
    EXPECT_TRUE(shown.data.isEmpty());

    EXPECT_EQ(rig.request(refused.variable(), nullptr, kWaitMs), PlcHost::Failed);
    for (const Element &e : {refused, Element{5, 2001, 1}, Element{11, 500, 1}, Element{2, 8000, 1}})
        EXPECT_EQ(write(e, "1"), PlcHost::Failed) << e.variable().label; // functions 6, 3 + 6, 16, 5
}

// Writes change exactly their element on the server. Bytes, words and double
// words: their bytes of the registers (a byte write reads the register and
// writes it back). Bits: the driver takes a PLC's coils to be the bits of its
// holding registers, bit address byte x 8 + bit that coil, area 2's from coil
// 5000; pymodbus keeps its coils in a table of their own, where exactly the
// addressed coil must change, switched and switched back.
TEST_F(Interop, WritesChangeExactlyTheirElement) {
    const struct {
        Element target;
        const char *value; // bits: the coil's opposite
    } rows[] = {
        {{4, 21, 1}, "0xAB"},        {{5, 30, 1}, "0xCD"}, // high, low half
        {{7, 5, 1}, "0xBEEF"},       {{8, 7, 1}, "0x1234"},
        {{10, 40, 1}, "0x89ABCDEF"}, {{11, 60, 1}, "123456789"},
        {{1, 8 * 12 + 3, 1}, ""},    {{2, 8 * 2 + 6, 1}, ""}, // coils 99, 5022
        {{2, 8 * 31 + 1, 1}, ""},                             // coil 5249
    };
    start({});
    for (const auto &row : rows) {
        const Element &e = row.target;
        const int coil = e.address + (plc::areaOf(e.type) == 2 ? 5000 : 0);
        const int firstReg = e.address * e.bytes() / 2 - 1; // one register either side
        auto around = [&] { return e.bit() ? coils(coil - 4, 9) : image(plc::areaOf(e.type), firstReg, 4); };
        for (int pass = 0; pass < (e.bit() ? 2 : 1); ++pass) {
            std::vector<int> expected = around();
            const int at = e.bit() ? 4 : e.address * e.bytes() - 2 * firstReg;
            QByteArray value;
            EXPECT_EQ(write(e, e.bit() ? (expected[at] ? "0" : "1") : row.value, &value), PlcHost::Done)
                << e.variable().label;
            for (int i = 0; i < value.size(); ++i)
                expected[at + i] = uint8_t(value[i]);
            EXPECT_EQ(around(), expected) << e.variable().label;
        }
    }
}

// The server stops mid-poll and a new one takes its port: the host notices,
// reconnects and shows the new server's values, not the old ones.
TEST_F(Interop, ResumesAfterServerRestart) {
    const Element words{7, 0, 4}, dword{11, 100, 1};
    start({words, dword});
    ASSERT_EQ(modbus_write_register(memory->ctx(), 0, 0x0BAD), 1); // the new server starts without it
    EXPECT_TRUE(eventually([&] { return shownAsServerHolds(words); }, kWaitMs));

    const int port = rig.sim.port();
    EXPECT_EQ(rig.sim.stop(), 0) << rig.sim.errorOutput();
    EXPECT_TRUE(eventually([&] { return quality(words) != Quality::Good; }, kWaitMs));
    SimProcess server({"--port", std::to_string(port)});
    ASSERT_TRUE(server.running()) << "pymodbus server did not restart: " << server.errorOutput();
    connect(port);

    for (const Element &e : {words, dword})
        EXPECT_TRUE(eventually([&] { return shownAsServerHolds(e); }, kWaitMs)) << e.variable().label;
    EXPECT_NE(serverElements(words)[0], 0x0BADu);
    rig.host->stop(); // before the server does
}

} // namespace
