// The register type codes 0..11 that hosts give variables: which register
// area a type lives in, which element it addresses, and how many 16-bit
// registers a run of elements covers. Plain C++, no Qt: the driver and the
// reference host share it.
//
//   type  0  1  2 | 3  4  5 | 6  7  8 | 9 10 11
//   area  0  1  2 | 0  1  2 | 0  1  2 | 0  1  2     (type % 3)
//   kind    bit   |  byte   |  word   | double word (type / 3)
//
// Area 0 is the input registers (read-only), area 1 the holding registers,
// area 2 the holding registers from register 5000 on.
#ifndef REGISTER_TYPES_H
#define REGISTER_TYPES_H

#include <cstdint>

namespace plc {

enum Area : int { InputArea = 0, HoldingArea = 1, ExtendedArea = 2 };
enum class ElementKind : int { Bit = 0, Byte = 1, Word = 2, DoubleWord = 3 };

constexpr int kTypeCount = 12;
// Area 2 starts at this holding register on the wire.
constexpr int kExtendedAreaStart = 5000;

constexpr bool isKnownType(int type) { return type >= 0 && type < kTypeCount; }
// Both need a known type.
constexpr Area areaOf(int type) { return static_cast<Area>(type % 3); }
constexpr ElementKind kindOf(int type) { return static_cast<ElementKind>(type / 3); }
constexpr bool isWritable(int type) { return isKnownType(type) && areaOf(type) != InputArea; }

// Elements one 16-bit register holds: 16 bits, 2 bytes, 1 word; a double
// word takes two registers.
constexpr int elementsPerRegister(ElementKind kind) {
    return kind == ElementKind::Bit ? 16 : kind == ElementKind::Byte ? 2 : 1;
}

// The registers that `count` elements (1 or more) starting at element
// address `address` (0 or more) cover. A bit register holds the bits of two
// byte numbers (bit address = byte x 8 + bit), a byte register two bytes.
// Double-word counts count 16-bit registers, two per double word, as every
// double-word count of the host interface does; an odd count is rounded up
// to whole double words. 64-bit, so no input overflows.
struct RegisterSpan {
    std::int64_t first;
    std::int64_t count;
    constexpr std::int64_t end() const { return first + count; }
};

constexpr RegisterSpan registerSpanOf(ElementKind kind, std::int64_t address, std::int64_t count) {
    if (kind == ElementKind::DoubleWord)
        return {address * 2, count + count % 2};
    const std::int64_t per = elementsPerRegister(kind);
    return {address / per, (address % per + count + per - 1) / per};
}

} // namespace plc

#endif // REGISTER_TYPES_H
