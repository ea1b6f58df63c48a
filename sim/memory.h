// The register memory of the simulated PLC: one set of areas per unit
// identifier, shared by every connection under one mutex.
#ifndef SIM_MEMORY_H
#define SIM_MEMORY_H

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

constexpr int kInputRegs = 1024;
constexpr int kHoldingRegs = 1024;
constexpr int kExtRegs = 8192;
constexpr int kExtStart = 5000; // wire address of the first extended holding register

// The areas, numbered as the register type codes number them (type mod 3).
enum Area { kAreaInput = 0, kAreaHolding = 1, kAreaExtended = 2 };

// A contiguous run of registers and the wire address of its first one.
struct RegisterBlock {
    uint16_t *regs;
    int size;
    int start;

    // The register at wire address `address`, null outside the block.
    uint16_t *at(int address) const;
};

// One bit inside a register.
struct BitRef {
    uint16_t *reg;
    uint16_t mask;
};

struct UnitMemory {
    std::array<uint16_t, kInputRegs> input{};
    std::array<uint16_t, kHoldingRegs> holding{};
    std::array<uint16_t, kExtRegs> extended{};

    // Area 0, 1 or 2; any other number gives an empty block.
    RegisterBlock area(int area);
    // The holding area that a function 3/6/16 request starting at `address`
    // addresses: extended from 5000 on, the low area below.
    RegisterBlock holdingFor(int address);
    // Coils are the bits of the holding registers: coil c below 5000 is bit
    // c mod 16 of register c / 16; coil 5000 + c is bit c mod 16 of register
    // 5000 + c / 16. Every 16-bit coil address is therefore valid.
    BitRef coil(int address);
};

// Number of value bytes a remote write of `count` elements of register type
// `type` carries (bit and byte: 1 each, word 2, double word 4); -1 for a type
// outside 0..11.
long valueLength(int type, long count);

// Stores `count` elements of register type `type` (0..11) from element address
// `address` on, value bytes least significant first. Stores nothing and
// fails when a touched register lies outside the type's area.
bool storeElements(UnitMemory &unit, int type, uint32_t address, long count, const uint8_t *value,
                   std::string &error);

class Memory {
public:
    explicit Memory(const std::vector<int> &unitIds);

    // The memory of a served unit, null for any other identifier.
    UnitMemory *unit(int id);
    std::vector<int> unitIds() const;
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }

private:
    std::map<int, UnitMemory> units_;
    std::mutex mutex_;
};

#endif
