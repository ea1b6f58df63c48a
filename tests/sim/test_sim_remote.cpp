// The simulated PLC as a remote-area responder (--remote), with hand-built
// records: framing, checks, reads and writes of every element kind.
#include "sim_client.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>

namespace {

struct RecordFields {
    uint8_t hostTag0 = 7;
    uint8_t accessKind = 0;
    uint8_t nodeId = 3;
    uint8_t station = 1;
    uint16_t regType = 1;
    uint32_t regAddr = 0;
    uint16_t count = 1;
    Bytes value;
};

void appendBigEndian(Bytes &out, uint32_t value, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

uint8_t sum8(const Bytes &bytes) { return static_cast<uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u)); }

// A request record as the driver frames it: length byte, fields, aux0 and
// aux1 (arbitrary here), value, 8-bit sum over everything before it.
Bytes record(const RecordFields &f) {
    Bytes out = {0, f.hostTag0, f.accessKind, f.nodeId, f.station};
    appendBigEndian(out, f.regType, 2);
    appendBigEndian(out, f.regAddr, 4);
    appendBigEndian(out, f.count, 2);
    appendBigEndian(out, 0xFFFFFFFF, 4);
    appendBigEndian(out, 0x01020304, 4);
    out.insert(out.end(), f.value.begin(), f.value.end());
    out[0] = static_cast<uint8_t>(out.size() + 1);
    out.push_back(sum8(out));
    return out;
}

RecordFields readOf(uint16_t area, uint32_t address, uint16_t count, uint8_t station = 1) {
    RecordFields f;
    f.regType = area;
    f.regAddr = address;
    f.count = count;
    f.station = station;
    return f;
}

RecordFields writeOf(uint16_t type, uint32_t address, uint16_t count, Bytes value, uint8_t station = 1) {
    RecordFields f = readOf(type, address, count, station);
    f.accessKind = 1;
    f.value = std::move(value);
    return f;
}

// Read reply: length, hostTag0, accessKind, nodeId, station, status, area,
// register count, registers high byte first.
Bytes readReply(const RecordFields &f, uint8_t status, const std::vector<uint16_t> &regs) {
    Bytes out = {0, f.hostTag0, f.accessKind, f.nodeId, f.station, status, static_cast<uint8_t>(f.regType)};
    appendBigEndian(out, static_cast<uint32_t>(regs.size()), 2);
    for (uint16_t reg : regs)
        appendBigEndian(out, reg, 2);
    out[0] = static_cast<uint8_t>(out.size());
    return out;
}

// Write reply: the same six bytes, then regType and regAddr; 12 bytes.
Bytes writeReply(const RecordFields &f, uint8_t status) {
    Bytes out = {12, f.hostTag0, f.accessKind, f.nodeId, f.station, status};
    appendBigEndian(out, f.regType, 2);
    appendBigEndian(out, f.regAddr, 4);
    return out;
}

std::vector<uint16_t> readRegisters(RawClient &client, uint16_t area, uint32_t address, uint16_t count) {
    const Bytes reply = client.exchange(record(readOf(area, address, count)), 9 + 2u * count);
    std::vector<uint16_t> regs;
    for (size_t i = 9; i + 1 < reply.size(); i += 2)
        regs.push_back(static_cast<uint16_t>(reply[i] << 8 | reply[i + 1]));
    return regs;
}

TEST(SimRemote, ReadsRegistersOfEachArea) {
    SimProcess sim({"--remote", "--set", "1:i3=258", "--set", "1:h100=4660", "--set", "1:h101=22136", "--set",
                    "1:h5000=65535", "--set", "1:h13191=9"});
    ASSERT_TRUE(sim.running());
    RawClient client(sim.port());
    const struct {
        RecordFields request;
        std::vector<uint16_t> regs;
    } cases[] = {
        {readOf(0, 3, 1), {0x0102}},
        {readOf(1, 100, 2), {0x1234, 0x5678}},
        {readOf(2, 0, 1), {0xFFFF}},
        {readOf(2, 8191, 1), {9}},
        {readOf(1, 1023, 1), {0}},
        {readOf(1, 5, 0), {}},
    };
    for (const auto &c : cases) {
        const Bytes expected = readReply(c.request, 0, c.regs);
        EXPECT_EQ(client.exchange(record(c.request), expected.size()), expected)
            << "area " << c.request.regType << " address " << c.request.regAddr;
    }
}

// Element addresses as the register images lay them out: bit A in register
// A / 16, byte B in the low (even) or high (odd) half of register B / 2, word
// R in register R, double word D in registers 2D (low half) and 2D + 1.
TEST(SimRemote, WritesEveryElementKindIntoItsArea) {
    SimProcess sim({"--remote", "--set", "1:h3=4369", "--set", "1:h5002=65535"});
    ASSERT_TRUE(sim.running());
    RawClient client(sim.port());
    const struct {
        const char *name;
        RecordFields request;
        uint16_t area;
        uint32_t first;
        std::vector<uint16_t> regs;
    } cases[] = {
        {"bits, holding", writeOf(1, 17, 2, {1, 5}), 1, 1, {0x0006}},
        {"bit off, extended", writeOf(2, 32, 1, {0}), 2, 2, {0xFFFE}},
        {"bit, input", writeOf(0, 15, 1, {1}), 0, 0, {0x8000}},
        {"odd byte, holding", writeOf(4, 7, 1, {0xAB}), 1, 3, {0xAB11}},
        {"even and odd byte, extended", writeOf(5, 6, 2, {0xCD, 0xAB}), 2, 3, {0xABCD}},
        {"words, holding", writeOf(7, 100, 2, {0x34, 0x12, 0x78, 0x56}), 1, 100, {0x1234, 0x5678}},
        {"word, extended", writeOf(8, 8191, 1, {0xEF, 0xBE}), 2, 8191, {0xBEEF}},
        {"word, input", writeOf(6, 1023, 1, {0x02, 0x01}), 0, 1023, {0x0102}},
        {"double word, holding", writeOf(10, 3, 1, {0x78, 0x56, 0x34, 0x12}), 1, 6, {0x5678, 0x1234}},
        {"double words, extended", writeOf(11, 4095, 1, {1, 0, 2, 0}), 2, 8190, {1, 2}},
    };
    for (const auto &c : cases) {
        const Bytes expected = writeReply(c.request, 0);
        EXPECT_EQ(client.exchange(record(c.request), expected.size()), expected) << c.name;
        EXPECT_EQ(readRegisters(client, c.area, c.first, static_cast<uint16_t>(c.regs.size())), c.regs) << c.name;
    }
}

TEST(SimRemote, RefusesAddressesOutsideTheAreaAndStoresNothing) {
    SimProcess sim({"--remote", "--set", "1:h1023=77"});
    ASSERT_TRUE(sim.running());
    RawClient client(sim.port());
    const struct {
        const char *name;
        RecordFields request;
        uint8_t status;
    } cases[] = {
        {"read past the holding area", readOf(1, 1020, 10), 2},
        {"read past the extended area", readOf(2, 8192, 1), 2},
        {"read a huge address", readOf(0, 0xFFFFFFFF, 2), 2},
        {"read area 3", readOf(3, 0, 1), 3},
        {"words past the end", writeOf(7, 1023, 2, {1, 0, 2, 0}), 2},
        {"double word past the end", writeOf(10, 512, 1, {1, 2, 3, 4}), 2},
        {"bits past the end", writeOf(1, 16383, 2, {1, 1}), 2},
        {"bytes past the end", writeOf(4, 2047, 2, {1, 1}), 2},
        {"a double word address that overflows", writeOf(10, 0x80000000, 1, {1, 2, 3, 4}), 2},
    };
    for (const auto &c : cases) {
        const Bytes expected = c.request.accessKind == 1 ? writeReply(c.request, c.status)
                                                         : readReply(c.request, c.status, {});
        EXPECT_EQ(client.exchange(record(c.request), 64), expected) << c.name;
    }
    EXPECT_EQ(readRegisters(client, 1, 1023, 1), std::vector<uint16_t>{77});
}

TEST(SimRemote, DropsRecordsThatFailTheLengthOrSumCheck) {
    SimProcess sim({"--remote", "--set", "1:h0=4660"});
    ASSERT_TRUE(sim.running());
    RawClient client(sim.port());
    const Bytes good = record(readOf(1, 0, 1));
    const Bytes answer = readReply(readOf(1, 0, 1), 0, {0x1234});

    Bytes badSum(good.begin(), good.end() - 1);
    badSum.push_back(static_cast<uint8_t>(sum8(badSum) + 1));
    Bytes badLength(good.begin(), good.end() - 1);
    badLength[0] = 23;
    badLength.push_back(sum8(badLength));
    Bytes writeWithoutValue = record(writeOf(7, 0, 1, {}));
    Bytes unknownType = record(writeOf(12, 0, 1, {1}));
    for (const Bytes *bad : {&badSum, &badLength, &writeWithoutValue, &unknownType}) {
        EXPECT_TRUE(client.exchange(*bad, 1).empty());
        EXPECT_EQ(client.exchange(good, answer.size()), answer) << "the next good record is served";
    }
    EXPECT_EQ(readRegisters(client, 1, 0, 1), std::vector<uint16_t>{0x1234});
}

TEST(SimRemote, FramesRecordsAcrossAndWithinReads) {
    SimProcess sim({"--remote", "--set", "1:h0=4660"});
    ASSERT_TRUE(sim.running());
    RawClient client(sim.port());
    const Bytes good = record(readOf(1, 0, 1));
    const Bytes answer = readReply(readOf(1, 0, 1), 0, {0x1234});

    ASSERT_TRUE(client.send(Bytes(good.begin(), good.begin() + 5)));
    EXPECT_TRUE(client.receive(1).empty()) << "nothing before the record is whole";
    EXPECT_EQ(client.exchange(Bytes(good.begin() + 5, good.end()), answer.size()), answer);

    Bytes two = good;
    two.insert(two.end(), good.begin(), good.end());
    Bytes both = answer;
    both.insert(both.end(), answer.begin(), answer.end());
    EXPECT_EQ(client.exchange(two, both.size()), both);
}

// A write of 256 value bytes or more has a length byte that wrapped: framed
// by the length its type and count give, checked modulo 256.
TEST(SimRemote, WrappedLengthByteOfALongWrite) {
    SimProcess sim({"--remote"});
    ASSERT_TRUE(sim.running());
    RawClient client(sim.port());
    Bytes value;
    std::vector<uint16_t> regs;
    for (uint16_t i = 0; i < 120; ++i) {
        value.insert(value.end(), {static_cast<uint8_t>(i), 0xA0});
        regs.push_back(static_cast<uint16_t>(0xA000 | i));
    }
    const RecordFields write = writeOf(8, 10, 120, value);
    const Bytes frame = record(write);
    ASSERT_EQ(frame.size(), 22u + 240u);
    EXPECT_EQ(frame[0], (22 + 240) % 256);
    EXPECT_EQ(client.exchange(frame, 12), writeReply(write, 0));
    EXPECT_EQ(readRegisters(client, 2, 10, 120), regs);
}

TEST(SimRemote, StationZeroStoresEverywhereAndOtherStationsAreSilent) {
    SimProcess sim({"--remote", "--units", "1,2"});
    ASSERT_TRUE(sim.running());
    RawClient client(sim.port());
    EXPECT_TRUE(client.exchange(record(writeOf(7, 5, 1, {0x34, 0x12}, 0)), 1).empty());
    EXPECT_TRUE(client.exchange(record(readOf(1, 5, 1, 0)), 1).empty());
    EXPECT_TRUE(client.exchange(record(readOf(1, 5, 1, 3)), 1).empty());
    EXPECT_TRUE(client.exchange(record(writeOf(7, 5, 1, {1, 0}, 3)), 1).empty());
    for (uint8_t station : {1, 2}) {
        const RecordFields read = readOf(1, 5, 1, station);
        const Bytes expected = readReply(read, 0, {0x1234});
        EXPECT_EQ(client.exchange(record(read), expected.size()), expected) << "station " << int(station);
    }
}

TEST(SimRemote, DeviceFailureFaultAnswersWithStatus4) {
    SimProcess sim({"--remote", "--exception-every", "2"});
    ASSERT_TRUE(sim.running());
    RawClient client(sim.port());
    const RecordFields read = readOf(1, 0, 2);
    const RecordFields write = writeOf(7, 0, 1, {9, 0});
    EXPECT_EQ(client.exchange(record(read), 13), readReply(read, 0, {0, 0}));
    EXPECT_EQ(client.exchange(record(read), 13), readReply(read, 4, {}));
    EXPECT_EQ(client.exchange(record(write), 12), writeReply(write, 0));
    EXPECT_EQ(client.exchange(record(write), 12), writeReply(write, 4));
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(sim.errorOutput().find("exceptions=2"), std::string::npos);
}

} // namespace
