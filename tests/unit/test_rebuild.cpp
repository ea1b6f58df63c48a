// The read-list rebuild: conversion, grouping, stable order and block merging.
#include "driver_fixture.h"

#include <algorithm>
#include <climits>
#include <random>
#include <tuple>

namespace {

using Block = std::tuple<int, int, int, int>; // station, regType (area), regAddr, count

HOSTVAR host(int regType, const char *address, int count, int station = 0,
             const char *label = "") {
    HOSTVAR var;
    var.regType = quint8(regType);
    var.address = QString::fromLatin1(address);
    var.count = count;
    var.station = quint8(station);
    var.label = QString::fromLatin1(label);
    return var;
}

std::vector<Block> blocks(const QList<RW_VAR> &list) {
    std::vector<Block> out;
    for (const RW_VAR &r : list)
        out.emplace_back(r.station, r.regType, r.regAddr, r.count);
    return out;
}

struct RebuildCase {
    const char *name;
    int maxRegs;
    QList<HOSTVAR> vars;
    std::vector<Block> expected;
};

using RebuildTest = DriverTest;

TEST_F(RebuildTest, SingleStationMergesPerArea) {
    const RebuildCase cases[] = {
        {"gap within the request size", 100,
         {host(7, "50", 10), host(7, "0", 10)}, {{1, 1, 0, 60}}},
        {"span exactly the request size", 60,
         {host(7, "0", 10), host(7, "50", 10)}, {{1, 1, 0, 60}}},
        {"span one over the request size", 59,
         {host(7, "0", 10), host(7, "50", 10)}, {{1, 1, 0, 10}, {1, 1, 50, 10}}},
        {"inside adds nothing", 100, {host(7, "0", 20), host(7, "5", 5)}, {{1, 1, 0, 20}}},
        {"overlap widens to its end", 100, {host(7, "0", 20), host(7, "15", 10)}, {{1, 1, 0, 25}}},
        {"longer than the request size stays whole", 10,
         {host(7, "0", 25), host(7, "5", 2), host(7, "30", 1)}, {{1, 1, 0, 25}, {1, 1, 30, 1}}},
        {"areas apart, in area order", 100,
         {host(8, "0", 1), host(7, "3", 1), host(6, "5", 1), host(4, "1", 1)},
         {{1, 0, 5, 1}, {1, 1, 0, 4}, {1, 2, 0, 1}}}, // byte 1 is in register 0
        {"bit and word of one register", 100, {host(1, "1.3", 4), host(7, "0", 1)}, {{1, 1, 0, 1}}},
        {"bytes and double words in registers", 100,
         {host(10, "2", 3), host(4, "17", 2)}, {{1, 1, 4, 6}}}, // registers 4..7 and 8..9
        {"unusable variables are left out", 100,
         {host(1, "12", 1), host(12, "0", 1), host(7, "0", 0), host(7, "1", -3),
          host(7, "99999999999", 1), host(9, "1073741824", 1), host(7, "2147483647", 1),
          host(7, "-2", 1), host(7, "40", 1)},
         {{1, 1, 40, 1}}},
    };
    for (const RebuildCase &c : cases) {
        info.maxRegsPerFrame = c.maxRegs;
        QList<HOSTVAR> vars = c.vars;
        EXPECT_EQ(d.ReCreatReadVarList(&vars), 0) << c.name;
        EXPECT_EQ(blocks(d.readList), c.expected) << c.name;
    }
}

TEST_F(RebuildTest, MultiStationCutsGroupsAndCountsBlocks) {
    const RebuildCase cases[] = {
        {"cut to the request size", 10, {host(7, "0", 25, 1)}, {{1, 1, 0, 10}, {1, 1, 10, 10}, {1, 1, 20, 5}}},
        {"stations in order of first appearance", 100,
         {host(7, "0", 2, 2), host(7, "0", 2, 1), host(7, "5", 2, 2)},
         {{2, 1, 0, 7}, {1, 1, 0, 2}}},
        // area * 255 + station: area 0 at station 255 and area 1 at station 0 share
        // a group, and the block opened by the first takes in the second
        {"the shared key 255", 100,
         {host(6, "0", 2, 255), host(7, "1", 2, 0)}, {{255, 0, 0, 3}}},
        {"type above 11 dropped", 100, {host(12, "0", 1, 1), host(200, "5", 1, 1)}, {}},
        {"unusable variables are left out", 100,
         {host(1, "12", 1, 1), host(7, "0", 0, 1), host(11, "0", INT_MAX, 1), host(7, "3", 1, 1)},
         {{1, 1, 3, 1}}},
    };
    info.multiStation = 1;
    for (const RebuildCase &c : cases) {
        info.maxRegsPerFrame = c.maxRegs;
        QList<HOSTVAR> vars = c.vars;
        EXPECT_EQ(d.ReCreatReadVarList(&vars), int(c.expected.size())) << c.name;
        EXPECT_EQ(blocks(d.readList), c.expected) << c.name;
    }
}

TEST_F(RebuildTest, BlocksStartFromTheTemplateAndTheOpener) {
    info.remoteMode = 1;
    info.localNodeId = 6;
    d.readList.append(RW_VAR{}); // replaced, not kept
    d.cycleProgress = 9;
    info.cycleDone = 1;
    QList<HOSTVAR> vars{host(7, "20", 2, 0, "opener"), host(7, "21", 4, 0, "joiner")};
    d.ReCreatReadVarList(&vars);
    ASSERT_EQ(d.readList.size(), 1);
    const RW_VAR &b = d.readList[0];
    EXPECT_EQ(std::make_tuple(b.hostTag0, b.hostTag1, b.accessKind, b.remoteMode, b.nodeId),
              std::make_tuple(0, -1, 0, 1, 6));
    EXPECT_EQ(std::make_tuple(b.aux0, b.aux1, b.value.isEmpty()), std::make_tuple(0, 0, true));
    EXPECT_EQ(b.label, QStringLiteral("opener"));
    EXPECT_EQ(b.address, QStringLiteral("20"));
    EXPECT_EQ(b.count, 5);
    EXPECT_EQ(d.cycleProgress, 0);
    EXPECT_EQ(info.cycleDone, 0);

    QList<HOSTVAR> none;
    info.cycleDone = 1;
    EXPECT_EQ(d.ReCreatReadVarList(&none), 0);
    EXPECT_TRUE(d.readList.isEmpty());
    EXPECT_EQ(info.cycleDone, 1); // an empty plan starts no new pass
}

// Records at the same register: one station keeps the host's order, so the
// first opens the block; several stations take the one added last first.
TEST_F(RebuildTest, EqualRegistersOpenerPerMode) {
    QList<HOSTVAR> vars{host(7, "4", 5, 1, "first"), host(7, "4", 3, 1, "second")};
    d.ReCreatReadVarList(&vars);
    ASSERT_EQ(d.readList.size(), 1);
    EXPECT_EQ(d.readList[0].label, QStringLiteral("first"));
    EXPECT_EQ(d.readList[0].count, 5);

    info.multiStation = 1;
    EXPECT_EQ(d.ReCreatReadVarList(&vars), 1);
    EXPECT_EQ(d.readList[0].label, QStringLiteral("second"));
    EXPECT_EQ(d.readList[0].count, 5);
}

// A large plan in shuffled order: 100 000 one-register variables over four
// stations merge into full blocks of the request size.
TEST_F(RebuildTest, LargePlanMergesIntoFullBlocks) {
    constexpr int kRegs = 25000, kStations = 4;
    QList<HOSTVAR> vars;
    vars.reserve(kRegs * kStations);
    for (int station = 1; station <= kStations; ++station)
        for (int reg = 0; reg < kRegs; ++reg) {
            vars.append(host(7, "", 1, station));
            vars.last().address = QString::number(reg);
        }
    std::mt19937 random(7);
    std::shuffle(vars.begin(), vars.end(), random);

    info.multiStation = 1;
    EXPECT_EQ(d.ReCreatReadVarList(&vars), kStations * kRegs / 100);
    info.multiStation = 0;
    EXPECT_EQ(d.ReCreatReadVarList(&vars), 0);
    EXPECT_EQ(d.readList.size(), kRegs / 100);
    for (int i = 0; i < d.readList.size(); ++i)
        ASSERT_EQ(std::make_pair(d.readList[i].regAddr, d.readList[i].count), std::make_pair(i * 100, 100));
}

} // namespace
