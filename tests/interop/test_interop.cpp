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
        const bool bit = plc::kindOf(type) == plc::ElementKind::Bit;
        return var(type, bit ? std::to_string(address / 8) + "." + std::to_string(address % 8)
                             : std::to_string(address), count);
    }
};

class Interop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(startServer({}));
        HostConfig c = config(server->port());
        c.timeoutMs = 1000; // Python on a loaded machine answers in milliseconds, not microseconds
        host = std::make_unique<PlcHost>(c);
        std::string error;
        ASSERT_TRUE(host->load(error)) << error;
    }

    void startServer(const std::vector<std::string> &args) {
        server = std::make_unique<SimProcess>(args, PYMODBUS_SERVER);
        ASSERT_TRUE(server->running()) << "pymodbus server did not start: " << server->errorOutput();
        memory = std::make_unique<ModbusClient>(server->port(), 1, 2000);
        ASSERT_TRUE(memory->connected());
    }

    void start(const std::vector<Variable> &plan) {
        std::string error;
        ASSERT_TRUE(host->setPlan(plan, error)) << error;
        host->start();
    }

    static QByteArray encoded(int type, const std::string &text) {
        QByteArray value;
        std::string error;
        int values = 0;
        EXPECT_TRUE(encodeValues(type, ValueFormat(), text, value, values, error)) << error;
        return value;
    }

    PlcHost::Status write(const Element &e, const std::string &text) {
        RequestId id;
        std::string error;
        EXPECT_TRUE(host->write(e.variable(), encoded(e.type, text), &id, error)) << error;
        return host->waitCompletion(id, kWaitMs);
    }

    // Registers of an area as the server holds them; area 2 starts at 5000.
    std::vector<uint16_t> registers(int area, int first, int count) {
        std::vector<uint16_t> regs(count);
        const int got = area == 0 ? modbus_read_input_registers(memory->ctx(), first, count, regs.data())
                                  : modbus_read_registers(memory->ctx(), first + (area == 2 ? 5000 : 0),
                                                          count, regs.data());
        EXPECT_EQ(got, count) << modbus_strerror(errno);
        return regs;
    }

    // The same, as bytes: register r is bytes 2r (low half) and 2r + 1.
    std::vector<int> image(int area, int first, int count) {
        std::vector<int> bytes;
        for (uint16_t r : registers(area, first, count))
            bytes.insert(bytes.end(), {r & 0xFF, r >> 8});
        return bytes;
    }

    std::vector<int> coils(int first, int count) {
        std::vector<uint8_t> bits(count);
        EXPECT_EQ(modbus_read_bits(memory->ctx(), first, count, bits.data()), count);
        return {bits.begin(), bits.end()};
    }

    // The elements as the server holds them: bit n is bit n % 16 of register
    // n / 16, byte b the low (even b) or high (odd b) half of register b / 2,
    // double word d registers 2d (lower 16 bits) and 2d + 1.
    std::vector<uint32_t> serverElements(const Element &e) {
        const Variable v = e.variable();
        const int first = firstRegister(v);
        const std::vector<uint16_t> regs = registers(plc::areaOf(e.type), first, registerCount(v));
        auto reg = [&](int r) { return uint32_t(regs.at(r - first)); };
        std::vector<uint32_t> out;
        for (int n = e.address; n < e.address + e.count; ++n) {
            switch (plc::kindOf(e.type)) {
            case plc::ElementKind::Bit: out.push_back(reg(n / 16) >> (n % 16) & 1); break;
            case plc::ElementKind::Byte: out.push_back(reg(n / 2) >> (n % 2 * 8) & 0xFF); break;
            case plc::ElementKind::Word: out.push_back(reg(n)); break;
            case plc::ElementKind::DoubleWord: out.push_back(reg(2 * n) | reg(2 * n + 1) << 16); break;
            }
        }
        return out;
    }

    Quality quality(const Element &e) const { return host->reading(e.variable()).quality; }
    std::vector<uint32_t> shown(const Element &e) const {
        return decodeValues(e.type, host->reading(e.variable()).data);
    }
    bool shownAsServerHolds(const Element &e) {
        return quality(e) == Quality::Good && shown(e) == serverElements(e);
    }

    // Destroyed in reverse: the host stops before the server does.
    std::unique_ptr<SimProcess> server;
    std::unique_ptr<ModbusClient> memory;
    std::unique_ptr<PlcHost> host;
};

// Every type code, at addresses that cross registers, use both byte halves
// and reach the last register the server has in each table (input 255,
// holding 5255).
const Element kEveryType[] = {
    {0, 29, 20},  {1, 335, 3}, {2, 4000, 16}, // bits: 3.5.., 41.7.., 500.0..
    {3, 7, 5},    {4, 100, 3}, {5, 511, 1},   // bytes: odd start, last high byte
    {6, 250, 6},  {7, 0, 4},   {8, 0, 2},     // words
    {9, 3, 2},    {10, 30, 2}, {11, 100, 1},  // double words
};

TEST_F(Interop, EveryTypeShowsTheServersMemory) {
    std::vector<Variable> plan;
    for (const Element &e : kEveryType)
        plan.push_back(e.variable());
    start(plan);
    for (const Element &e : kEveryType) {
        const std::string label = e.variable().label;
        EXPECT_TRUE(eventually([&] { return quality(e) == Quality::Good || quality(e) == Quality::Failed; },
                               kWaitMs)) << label;
        EXPECT_TRUE(quality(e) == Quality::Good) << label << ": " << host->reading(e.variable()).reason;
        EXPECT_EQ(shown(e), serverElements(e)) << label;
    }
}

// Bytes, words and double words: exactly the element's bytes change in the
// server's registers (a byte write reads the register and writes it back).
TEST_F(Interop, WritesChangeExactlyTheirBytes) {
    const struct {
        Element target;
        const char *value;
    } rows[] = {
        {{4, 21, 1}, "0xAB"},       {{5, 30, 1}, "0xCD"},       // high, low half
        {{7, 5, 1}, "0xBEEF"},      {{8, 7, 1}, "0x1234"},
        {{10, 40, 1}, "0x89ABCDEF"}, {{11, 60, 1}, "123456789"},
    };
    start({});
    for (const auto &row : rows) {
        const Element &e = row.target;
        const int size = 1 << (int(plc::kindOf(e.type)) - 1); // 1, 2 or 4 bytes
        const int offset = e.address * size;
        const int firstReg = offset / 2 - 1; // one register either side
        std::vector<int> expected = image(plc::areaOf(e.type), firstReg, 4);
        const QByteArray value = encoded(e.type, row.value);
        for (int i = 0; i < value.size(); ++i)
            expected[offset - 2 * firstReg + i] = uint8_t(value[i]);

        EXPECT_EQ(write(e, row.value), PlcHost::Done) << e.variable().label;
        EXPECT_EQ(image(plc::areaOf(e.type), firstReg, 4), expected) << e.variable().label;
    }
}

// The driver takes a PLC's coils to be the bits of its holding registers:
// bit address byte x 8 + bit is that coil, area 2's from coil 5000. pymodbus
// keeps its coils apart, in a table of their own; exactly the addressed coil
// must change there, switched on and off again.
TEST_F(Interop, BitWritesSetTheAddressedCoil) {
    const struct {
        Element target;
        int coil;
    } rows[] = {{{1, 8 * 12 + 3, 1}, 99}, {{2, 8 * 2 + 6, 1}, 5022}, {{2, 8 * 31 + 1, 1}, 5249}};
    start({});
    for (const auto &row : rows) {
        for (int flip = 0; flip < 2; ++flip) {
            std::vector<int> expected = coils(row.coil - 4, 9);
            expected[4] = !expected[4];
            EXPECT_EQ(write(row.target, expected[4] ? "1" : "0"), PlcHost::Done) << row.coil;
            EXPECT_EQ(coils(row.coil - 4, 9), expected) << row.coil;
        }
    }
}

// Holding register 6000 (area 2's 1000) and coil 13000 lie beyond the
// server's tables, which it answers with exception 2: every request there
// fails, nothing is shown for the polled variable, and the rest stays good.
TEST_F(Interop, RefusedAddressesFail) {
    const Element refused{8, 1000, 1}, good{7, 0, 4};
    start({refused.variable(), good.variable()});
    RequestId id;
    std::string error;
    ASSERT_TRUE(host->readOnce(refused.variable(), &id, error)) << error;
    EXPECT_EQ(host->waitCompletion(id, kWaitMs), PlcHost::Failed);
    for (const Element &e : {refused, Element{5, 2001, 1}, Element{11, 500, 1}, Element{2, 8000, 1}})
        EXPECT_EQ(write(e, "1"), PlcHost::Failed) << e.variable().label; // functions 6, 3 + 6, 16, 5
    EXPECT_GE(host->stats().givenUp, 5u);

    EXPECT_TRUE(eventually([&] { return quality(refused) == Quality::Failed; }, kWaitMs));
    const Reading reading = host->reading(refused.variable());
    EXPECT_NE(reading.reason.find("exception 2"), std::string::npos) << reading.reason;
    EXPECT_TRUE(reading.data.isEmpty());
    EXPECT_TRUE(eventually([&] { return shownAsServerHolds(good); }, kWaitMs));
}

// The server stops mid-poll and a new one takes its port: the host notices,
// reconnects and shows the new server's values, not the old ones.
TEST_F(Interop, ResumesAfterServerRestart) {
    const Element words{7, 0, 4}, dword{11, 100, 1};
    start({words.variable(), dword.variable()});
    ASSERT_EQ(modbus_write_register(memory->ctx(), 0, 0x0BAD), 1); // the new server starts without it
    EXPECT_TRUE(eventually([&] { return shownAsServerHolds(words) && shown(words)[0] == 0x0BAD; }, kWaitMs));

    const int port = server->port();
    EXPECT_EQ(server->stop(), 0) << server->errorOutput();
    EXPECT_TRUE(eventually([&] { return quality(words) != Quality::Good; }, kWaitMs));
    startServer({"--port", std::to_string(port)});

    for (const Element &e : {words, dword})
        EXPECT_TRUE(eventually([&] { return shownAsServerHolds(e); }, kWaitMs)) << e.variable().label;
    EXPECT_NE(serverElements(words)[0], 0x0BADu);
    EXPECT_GE(host->stats().reconnects, 1u);
}

} // namespace
