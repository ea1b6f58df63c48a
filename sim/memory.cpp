#include "memory.h"

uint16_t *RegisterBlock::at(int address) const {
    const int index = address - start;
    return index >= 0 && index < size ? regs + index : nullptr;
}

RegisterBlock UnitMemory::area(int area) {
    switch (area) {
    case kAreaInput:
        return {input.data(), kInputRegs, 0};
    case kAreaHolding:
        return {holding.data(), kHoldingRegs, 0};
    case kAreaExtended:
        return {extended.data(), kExtRegs, kExtStart};
    default:
        return {nullptr, 0, 0};
    }
}

RegisterBlock UnitMemory::holdingFor(int address) {
    return area(address >= kExtStart ? kAreaExtended : kAreaHolding);
}

BitRef UnitMemory::coil(int address) {
    const RegisterBlock block = holdingFor(address);
    const int offset = address - block.start;
    return {block.regs + offset / 16, static_cast<uint16_t>(1u << (offset % 16))};
}

long valueLength(int type, long count) {
    static const int bytesPerElement[] = {1, 1, 2, 4};
    if (type < 0 || type > 11)
        return -1;
    return bytesPerElement[type / 3] * count;
}

namespace {

void storeBits(RegisterBlock block, uint64_t first, long count, const uint8_t *value) {
    for (long i = 0; i < count; ++i) {
        const uint64_t bit = first + i;
        uint16_t &reg = block.regs[bit / 16];
        const uint16_t mask = static_cast<uint16_t>(1u << (bit % 16));
        reg = value[i] ? (reg | mask) : (reg & ~mask);
    }
}

// Byte address B is the low half of register B / 2 when B is even, the high
// half when it is odd.
void storeBytes(RegisterBlock block, uint64_t first, long count, const uint8_t *value) {
    for (long i = 0; i < count; ++i) {
        const uint64_t byte = first + i;
        uint16_t &reg = block.regs[byte / 2];
        reg = byte % 2 ? static_cast<uint16_t>((reg & 0x00FF) | value[i] << 8)
                       : static_cast<uint16_t>((reg & 0xFF00) | value[i]);
    }
}

void storeWords(RegisterBlock block, uint64_t first, long count, const uint8_t *value) {
    for (long i = 0; i < count; ++i)
        block.regs[first + i] = static_cast<uint16_t>(value[2 * i] | value[2 * i + 1] << 8);
}

// The register holding the last bit of element `element` of an element kind
// (0 bit, 1 byte, 2 word, 3 double word: D is registers 2D, low half, and 2D + 1).
uint64_t lastRegisterOf(int kind, uint64_t element) {
    switch (kind) {
    case 0:
        return element / 16;
    case 1:
        return element / 2;
    case 2:
        return element;
    default:
        return 2 * element + 1;
    }
}

} // namespace

bool storeElements(UnitMemory &unit, int type, uint32_t address, long count, const uint8_t *value,
                   std::string &error) {
    if (valueLength(type, count) < 0) {
        error = "register type outside 0..11";
        return false;
    }
    if (count == 0)
        return true;
    const RegisterBlock block = unit.area(type % 3);
    const int kind = type / 3;
    const uint64_t first = address;
    if (lastRegisterOf(kind, first + count - 1) >= static_cast<uint64_t>(block.size)) {
        error = "address outside the area";
        return false;
    }
    switch (kind) {
    case 0:
        storeBits(block, first, count, value);
        break;
    case 1:
        storeBytes(block, first, count, value);
        break;
    case 2:
        storeWords(block, first, count, value);
        break;
    default:
        storeWords(block, 2 * first, 2 * count, value);
        break;
    }
    return true;
}

Memory::Memory(const std::vector<int> &unitIds) {
    for (int id : unitIds)
        units_[id];
}

UnitMemory *Memory::unit(int id) {
    const auto it = units_.find(id);
    return it == units_.end() ? nullptr : &it->second;
}

std::vector<int> Memory::unitIds() const {
    std::vector<int> ids;
    for (const auto &entry : units_)
        ids.push_back(entry.first);
    return ids;
}
