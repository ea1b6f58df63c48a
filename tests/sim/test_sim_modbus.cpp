// The simulated PLC as a Modbus TCP server: memory, functions, exceptions,
// units and connections, through libmodbus and through hand-built frames.
#include "sim_client.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

// Requests and the exact replies: register contents high byte first, writes
// echoed, the byte count of a read 2 x quantity.
struct WireCase {
    const char *name;
    Bytes request;
    Bytes reply;
};

TEST(SimModbus, AnswersEveryFunctionInBothAreasWithExactBytes) {
    SimProcess sim({"--set", "1:h100=4660", "--set", "1:h109=65535", "--set", "1:h5100=48879", "--set",
                    "1:i5=258", "--set", "1:i1023=-1"});
    ASSERT_TRUE(sim.running());
    const WireCase cases[] = {
        {"read 10 holding registers as the driver frames it",
         {0, 0, 0, 0, 0, 6, 1, 3, 0, 100, 0, 10},
         {0, 0, 0, 0, 0, 23, 1, 3, 20, 0x12, 0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}},
        {"read extended holding register 5100", mbapFrame(7, 1, {3, 0x13, 0xEC, 0, 1}),
         mbapFrame(7, 1, {3, 2, 0xBE, 0xEF})},
        {"read input registers", mbapFrame(8, 1, {4, 0, 5, 0, 1}), mbapFrame(8, 1, {4, 2, 0x01, 0x02})},
        {"read the last input register", mbapFrame(9, 1, {4, 0x03, 0xFF, 0, 1}), mbapFrame(9, 1, {4, 2, 0xFF, 0xFF})},
        {"write a single register", mbapFrame(0, 1, {6, 0, 101, 0xAB, 0xCD}), mbapFrame(0, 1, {6, 0, 101, 0xAB, 0xCD})},
        {"read it back", mbapFrame(1, 1, {3, 0, 101, 0, 1}), mbapFrame(1, 1, {3, 2, 0xAB, 0xCD})},
        {"write two extended registers", mbapFrame(2, 1, {16, 0x14, 0x50, 0, 2, 4, 0x12, 0x34, 0x56, 0x78}),
         mbapFrame(2, 1, {16, 0x14, 0x50, 0, 2})},
        {"read them back", mbapFrame(3, 1, {3, 0x14, 0x50, 0, 2}), mbapFrame(3, 1, {3, 4, 0x12, 0x34, 0x56, 0x78})},
        {"write the last extended register", mbapFrame(4, 1, {6, 0x33, 0x87, 0, 9}),
         mbapFrame(4, 1, {6, 0x33, 0x87, 0, 9})},
        {"switch a coil on", mbapFrame(5, 1, {5, 0, 16, 0xFF, 0}), mbapFrame(5, 1, {5, 0, 16, 0xFF, 0})},
        {"coil 16 is bit 0 of register 1", mbapFrame(6, 1, {3, 0, 1, 0, 1}), mbapFrame(6, 1, {3, 2, 0, 1})},
    };
    RawClient client(sim.port());
    ASSERT_TRUE(client.connected());
    for (const WireCase &c : cases)
        EXPECT_EQ(client.exchange(c.request, c.reply.size()), c.reply) << c.name;
}

struct ExceptionCase {
    const char *name;
    Bytes pdu;
    uint8_t code;
};

// A function 16 request of 128 registers: its byte count (256) wraps to 0.
Bytes wrappedWrite() {
    Bytes pdu = {16, 0, 0, 0, 128, 0};
    pdu.resize(pdu.size() + 256);
    return pdu;
}

// Each refusal is followed by the next row on the same connection, so a
// request whose bytes were not all consumed shows as a wrong next answer.
TEST(SimModbus, RefusesUnservedFunctionsAddressesAndQuantities) {
    SimProcess sim;
    ASSERT_TRUE(sim.running());
    const ExceptionCase cases[] = {
        {"read coils", {1, 0, 0, 0, 1}, 1},
        {"device identification, unknown to the framing", {0x2B, 0x0E, 0x01, 0x00}, 1},
        {"read discrete inputs", {2, 0, 0, 0, 1}, 1},
        {"read exception status", {7}, 1},
        {"write multiple coils", {15, 0, 0, 0, 8, 1, 0xFF}, 1},
        {"mask write register", {0x16, 0, 0, 0xFF, 0xFF, 0, 0}, 1},
        {"read past the low holding area", {3, 0x03, 0xFC, 0, 5}, 2},
        {"read in the gap", {3, 0x13, 0x87, 0, 1}, 2},
        {"read across the gap into the extended area", {3, 0x13, 0x7E, 0, 20}, 2},
        {"read past the extended area", {3, 0x33, 0x87, 0, 2}, 2},
        {"read past the input area", {4, 0x04, 0x00, 0, 1}, 2},
        {"input registers have no extended area", {4, 0x13, 0x88, 0, 1}, 2},
        {"write a register in the gap", {6, 0x04, 0x00, 0, 1}, 2},
        {"write past the extended area", {16, 0x33, 0x86, 0, 3, 6, 0, 0, 0, 0, 0, 0}, 2},
        {"read no register", {3, 0, 0, 0, 0}, 3},
        {"read more than 125 registers", {3, 0, 0, 0, 126}, 3},
        {"write no register", {16, 0, 0, 0, 0, 0}, 3},
        {"byte count not twice the quantity", {16, 0, 0, 0, 1, 4, 0, 0, 0, 0}, 3},
        {"128 registers, byte count wrapped", wrappedWrite(), 3},
        {"coil value neither on nor off", {5, 0, 0, 0x12, 0x34}, 3},
    };
    RawClient client(sim.port());
    ASSERT_TRUE(client.connected());
    uint16_t tid = 0;
    for (const ExceptionCase &c : cases) {
        ++tid;
        const Bytes expected = mbapFrame(tid, 1, {static_cast<uint8_t>(c.pdu[0] | 0x80), c.code});
        EXPECT_EQ(client.exchange(mbapFrame(tid, 1, c.pdu), expected.size()), expected) << c.name;
    }
    ModbusClient modbus(sim.port());
    EXPECT_EQ(modbus.readHolding(0), 0) << "still serving after the refusals";
}

// Coil c below 5000 is bit c mod 16 of register c / 16; coil 5000 + c is bit
// c mod 16 of register 5000 + c / 16. The other bits of the register stay.
TEST(SimModbus, CoilsAreTheBitsOfHoldingRegisters) {
    SimProcess sim;
    ASSERT_TRUE(sim.running());
    ModbusClient client(sim.port());
    ASSERT_TRUE(client.connected());
    const struct {
        int coil, reg;
        uint16_t mask;
    } cases[] = {
        {0, 0, 0x0001},      {17, 1, 0x0002},        {4999, 312, 0x0080},
        {5000, 5000, 0x0001}, {5017, 5001, 0x0002}, {65535, 5000 + 3783, 0x0080},
    };
    const uint16_t background = 0x5A5A;
    for (const auto &c : cases) {
        const std::string row = "coil " + std::to_string(c.coil);
        ASSERT_EQ(modbus_write_register(client.ctx(), c.reg, background), 1) << row;
        ASSERT_EQ(modbus_write_bit(client.ctx(), c.coil, 1), 1) << row;
        EXPECT_EQ(client.readHolding(c.reg), background | c.mask) << row;
        ASSERT_EQ(modbus_write_bit(client.ctx(), c.coil, 0), 1) << row;
        EXPECT_EQ(client.readHolding(c.reg), background & ~c.mask) << row;
    }
}

TEST(SimModbus, UnitsHaveSeparateMemoryAndOthersGetNoAnswer) {
    SimProcess sim({"--units", "1,2"});
    ASSERT_TRUE(sim.running());
    ModbusClient client(sim.port());
    ASSERT_TRUE(client.connected());
    for (int unit : {1, 2}) {
        client.setUnit(unit);
        ASSERT_EQ(modbus_write_register(client.ctx(), 10, static_cast<uint16_t>(111 * unit)), 1);
    }
    for (int unit : {1, 2}) {
        client.setUnit(unit);
        EXPECT_EQ(client.readHolding(10), 111 * unit) << "unit " << unit;
    }
    client.setUnit(3);
    EXPECT_EQ(client.readHolding(10), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
}

TEST(SimModbus, BroadcastWritesReachEveryUnitUnanswered) {
    SimProcess sim({"--units", "1,2"});
    ASSERT_TRUE(sim.running());
    RawClient raw(sim.port());
    ASSERT_TRUE(raw.connected());
    EXPECT_TRUE(raw.exchange(mbapFrame(0, 0, {6, 0x13, 0x88, 0x12, 0x34}), 12).empty());
    EXPECT_TRUE(raw.exchange(mbapFrame(0, 0, {5, 0, 0, 0xFF, 0}), 12).empty());
    EXPECT_TRUE(raw.exchange(mbapFrame(0, 0, {3, 0, 0, 0, 1}), 11).empty()) << "a broadcast read is ignored";
    ModbusClient client(sim.port());
    for (int unit : {1, 2}) {
        client.setUnit(unit);
        EXPECT_EQ(client.readHolding(5000), 0x1234) << "unit " << unit;
        EXPECT_EQ(client.readHolding(0), 1) << "unit " << unit;
    }
}

TEST(SimModbus, ServesSeveralConnectionsAndOutlivesEach) {
    SimProcess sim;
    ASSERT_TRUE(sim.running());
    ModbusClient second(sim.port());
    {
        ModbusClient first(sim.port());
        ASSERT_TRUE(first.connected() && second.connected());
        for (uint16_t i = 1; i <= 5; ++i) {
            ASSERT_EQ(modbus_write_register(first.ctx(), 20, i), 1);
            EXPECT_EQ(second.readHolding(20), i);
        }
    }
    ModbusClient third(sim.port());
    ASSERT_TRUE(third.connected());
    EXPECT_EQ(third.readHolding(20), 5);
    EXPECT_EQ(second.readHolding(20), 5);
    EXPECT_EQ(sim.stop(), 0);
}

TEST(SimModbus, MalformedCommandLinesExitWithStatus2) {
    const std::vector<std::vector<std::string>> cases = {
        {"--port", "70000"},      {"--port", "x"},         {"--units", "0"},          {"--units", "1,"},
        {"--units", ""},          {"--set", "1:x5=1"},     {"--set", "2:h5=1"},       {"--set", "1:h1024=1"},
        {"--set", "1:i1024=1"},   {"--set", "1:h5=70000"}, {"--set", "1h5=1"},        {"--drop-every"},
        {"--delay-ms", "-1"},     {"--bogus"},             {"--split", "2x"},
    };
    for (const auto &args : cases) {
        SimProcess sim(args);
        EXPECT_FALSE(sim.running()) << args[0];
        EXPECT_EQ(sim.stop(), 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    }
}

} // namespace
