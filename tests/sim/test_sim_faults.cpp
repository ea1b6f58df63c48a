// Each fault mode of the simulated PLC, as a client sees it, and the summary
// the simulator prints when it stops.
#include "sim_client.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

const Bytes kRead = mbapFrame(0, 1, {3, 0, 0, 0, 1});
const size_t kReadReplyLength = 11;

bool hasLine(const SimProcess &sim, const std::string &line) {
    return sim.errorOutput().find(line + "\n") != std::string::npos;
}

TEST(SimFaults, DropLeavesEveryNthRequestUnanswered) {
    SimProcess sim({"--units", "1", "--drop-every", "2"});
    ASSERT_TRUE(sim.running());
    ModbusClient client(sim.port());
    client.setUnit(9);
    EXPECT_EQ(client.readHolding(0), -1) << "another unit's request is not counted";
    client.setUnit(1);
    for (int i = 1; i <= 4; ++i) {
        const bool answered = client.readHolding(0) == 0;
        EXPECT_EQ(answered, i % 2 == 1) << "request " << i;
        if (!answered) {
            EXPECT_EQ(errno, ETIMEDOUT);
        }
    }
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_TRUE(hasLine(sim, "faults: requests=4 dropped=2 exceptions=0 short=0 closed=0")) << sim.errorOutput();
}

TEST(SimFaults, ExceptionAnswersEveryNthRequestWithDeviceFailure) {
    SimProcess sim({"--exception-every", "3"});
    ASSERT_TRUE(sim.running());
    RawClient client(sim.port());
    const Bytes normal = mbapFrame(0, 1, {3, 2, 0, 0});
    const Bytes failure = mbapFrame(0, 1, {0x83, 4});
    for (int i = 1; i <= 6; ++i) {
        const Bytes &expected = i % 3 == 0 ? failure : normal;
        EXPECT_EQ(client.exchange(kRead, kReadReplyLength), expected) << "request " << i;
    }
    ModbusClient modbus(sim.port());
    uint16_t value;
    EXPECT_EQ(modbus_write_register(modbus.ctx(), 0, 1), 1);
    EXPECT_EQ(modbus_read_registers(modbus.ctx(), 0, 1, &value), 1);
    EXPECT_EQ(modbus_write_register(modbus.ctx(), 0, 2), -1);
    EXPECT_EQ(errno, EMBXSFAIL);
    EXPECT_EQ(modbus.readHolding(0), 1) << "the refused write stored nothing";
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_TRUE(hasLine(sim, "faults: requests=10 dropped=0 exceptions=3 short=0 closed=0")) << sim.errorOutput();
}

TEST(SimFaults, ShortCutsEveryNthReplyByThreeBytes) {
    SimProcess sim({"--short-every", "2", "--set", "1:h0=4660"});
    ASSERT_TRUE(sim.running());
    RawClient client(sim.port());
    const Bytes full = mbapFrame(0, 1, {3, 2, 0x12, 0x34});
    EXPECT_EQ(client.exchange(kRead, kReadReplyLength), full);
    EXPECT_EQ(client.exchange(kRead, kReadReplyLength), Bytes(full.begin(), full.end() - 3));
    EXPECT_EQ(client.exchange(kRead, kReadReplyLength), full);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_TRUE(hasLine(sim, "faults: requests=3 dropped=0 exceptions=0 short=1 closed=0")) << sim.errorOutput();
}

TEST(SimFaults, CloseEndsTheConnectionInsteadOfAnswering) {
    SimProcess sim({"--close-every", "2"});
    ASSERT_TRUE(sim.running());
    for (int connection = 0; connection < 2; ++connection) {
        RawClient client(sim.port());
        EXPECT_EQ(client.exchange(kRead, kReadReplyLength).size(), kReadReplyLength);
        bool closed = false;
        ASSERT_TRUE(client.send(kRead));
        EXPECT_TRUE(client.receive(kReadReplyLength, 2000, nullptr, &closed).empty());
        EXPECT_TRUE(closed) << "connection " << connection;
    }
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_TRUE(hasLine(sim, "faults: requests=4 dropped=0 exceptions=0 short=0 closed=2")) << sim.errorOutput();
}

TEST(SimFaults, DelayHoldsBackEveryReply) {
    SimProcess sim({"--delay-ms", "400"});
    ASSERT_TRUE(sim.running());
    {
        ModbusClient impatient(sim.port(), 1, 100);
        EXPECT_EQ(impatient.readHolding(0), -1);
        EXPECT_EQ(errno, ETIMEDOUT);
    }
    ModbusClient patient(sim.port(), 1, 3000);
    EXPECT_EQ(patient.readHolding(0), 0);
}

// The pieces are 2 ms apart, so a reader waiting on the socket normally sees
// them one by one; a few tries keep a busy machine from hiding that.
TEST(SimFaults, SplitSendsRepliesInPieces) {
    SimProcess sim({"--split", "3", "--set", "1:h0=4660"});
    ASSERT_TRUE(sim.running());
    RawClient client(sim.port());
    const Bytes full = mbapFrame(0, 1, {3, 2, 0x12, 0x34});
    bool seenInPieces = false;
    for (int attempt = 0; attempt < 10 && !seenInPieces; ++attempt) {
        std::vector<size_t> chunks;
        ASSERT_TRUE(client.send(kRead));
        ASSERT_EQ(client.receive(kReadReplyLength, 1000, &chunks), full);
        seenInPieces = chunks.size() > 1 && chunks.front() == 3;
    }
    EXPECT_TRUE(seenInPieces);
    ModbusClient modbus(sim.port(), 1, 1000);
    EXPECT_EQ(modbus.readHolding(0), 0x1234) << "a client reassembles the pieces";
}

} // namespace
