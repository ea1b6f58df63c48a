// The per-station store's index and the shortcut of block storage, which
// takes the record after the previous one when that is the next register's.
#include "driver_fixture.h"

#include <array>
#include <climits>
#include <vector>

namespace {

class StoreIndex : public DriverTest {
protected:
    // Stores a reply to a multi-station block read of `regs` registers
    // 0x0101, 0x0202, ... from `regAddr` of area 1 at `station`.
    void storeBlock(int station, int regAddr, int regs) {
        info.multiStation = 1;
        Protocol p;
        p.replyHeadLen = 9;
        p.dataLen = 2 * regs;
        p.var = readVar(station, 1, regAddr, regs);
        d.protocolQueue = {p};
        QByteArray reply = bytes({0, 0, 0, 0, 0, 3 + 2 * regs, station, 3, 2 * regs});
        for (int j = 1; j <= regs; ++j)
            reply += bytes({j, j});
        d.SaveToLocalDataErea(&reply);
    }
};

// Keys that differ only in bits far apart (stations at the ends of the int
// range, the last register) each get a record of their own, found again.
TEST_F(StoreIndex, EveryKeyHasItsOwnRecord) {
    const int stations[] = {0, 1, 2, -1, INT_MAX, INT_MIN, 1 << 14, (1 << 14) + 1, 1 << 30};
    const int regs[] = {0, 1, 2, 65534, 65535};
    std::vector<std::array<int, 3>> keys;
    for (int station : stations)
        for (int area = 0; area <= 2; ++area)
            for (int reg : regs)
                keys.push_back({station, area, reg});
    for (size_t i = 0; i < keys.size(); ++i)
        ASSERT_EQ(d.ExtendFindSameVar(keys[i][0], keys[i][1], keys[i][2]), int(i));
    for (size_t i = 0; i < keys.size(); ++i) {
        ASSERT_EQ(d.ExtendFindSameVar(keys[i][0], keys[i][1], keys[i][2]), int(i));
        const EXTENDVAR &r = d.extendList.at(int(i));
        EXPECT_EQ((std::array<int, 3>{r.station, r.area, r.regAddr}), keys[i]);
    }
    EXPECT_EQ(d.extendList.size(), int(keys.size()));
}

// Whatever record follows a register's record (another area, another station,
// another register, none), each register of a block lands in its own record.
TEST_F(StoreIndex, BlockStorageFindsRecordsCreatedInAnyOrder) {
    const std::array<int, 3> created[] = {
        {2, 1, 10}, {2, 0, 11}, {2, 1, 12}, {3, 1, 13}, {2, 1, 11}, {2, 1, 14}, {2, 1, 13},
    };
    for (const auto &key : created)
        d.ExtendFindSameVar(key[0], key[1], key[2]);
    storeBlock(2, 10, 5);
    EXPECT_EQ(d.extendList.size(), 7);
    for (int j = 0; j < 5; ++j)
        EXPECT_EQ(d.extendList[d.ExtendFindSameVar(2, 1, 10 + j)].value, bytes({j + 1, j + 1}));
    for (const auto &untouched : {std::array<int, 3>{2, 0, 11}, {3, 1, 13}})
        EXPECT_EQ(d.extendList[d.ExtendFindSameVar(untouched[0], untouched[1], untouched[2])].value,
                  QByteArray(4, '\0'));
    storeBlock(2, 13, 3); // two known registers, then one the store creates
    EXPECT_EQ(d.extendList.size(), 8);
    EXPECT_EQ(d.extendList.last().regAddr, 15);
    EXPECT_EQ(d.extendList.last().value, bytes({3, 3}));
}

} // namespace
