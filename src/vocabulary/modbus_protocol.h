// The Modbus TCP vocabulary: function and exception codes, where each field
// sits in a frame, and the protocol's limits. Section numbers refer to the
// Modbus Application Protocol V1.1b3 and to the Modbus Messaging on TCP/IP
// Implementation Guide V1.0b ("TCP guide"). Plain C++, no Qt: the driver, the
// reference host and the fuzz targets share it.
#ifndef MODBUS_PROTOCOL_H
#define MODBUS_PROTOCOL_H

#include <cstdint>

namespace modbus {

// Public function codes the driver sends (section 5.1).
enum class FunctionCode : std::uint8_t {
    ReadHoldingRegisters = 0x03,   // section 6.3
    ReadInputRegisters = 0x04,     // section 6.4
    WriteSingleCoil = 0x05,        // section 6.5
    WriteSingleRegister = 0x06,    // section 6.6
    WriteMultipleRegisters = 0x10, // section 6.12
};

// An exception response carries the request's function code with this bit
// set, then one exception code (section 7).
constexpr std::uint8_t kExceptionFlag = 0x80;

enum class ExceptionCode : std::uint8_t {
    IllegalFunction = 0x01,
    IllegalDataAddress = 0x02,
    IllegalDataValue = 0x03,
    ServerDeviceFailure = 0x04,
    Acknowledge = 0x05,
    ServerDeviceBusy = 0x06,
    MemoryParityError = 0x08,
    GatewayPathUnavailable = 0x0A,
    GatewayTargetFailedToRespond = 0x0B,
};

// The name section 7 gives an exception code, in lower case.
constexpr const char *exceptionName(int code) {
    switch (code) {
    case 0x01: return "illegal function";
    case 0x02: return "illegal data address";
    case 0x03: return "illegal data value";
    case 0x04: return "server device failure";
    case 0x05: return "acknowledge";
    case 0x06: return "server device busy";
    case 0x08: return "memory parity error";
    case 0x0A: return "gateway path unavailable";
    case 0x0B: return "gateway target device failed to respond";
    default: return "unknown exception";
    }
}

// The MBAP header in front of every Modbus TCP frame (TCP guide 3.1.3).
constexpr int kTransactionIdOffset = 0; // echoed by the server
constexpr int kProtocolIdOffset = 2;    // always 0 for Modbus
constexpr int kLengthOffset = 4;        // counts the unit identifier and the PDU
constexpr int kUnitIdOffset = 6;
constexpr int kMbapLength = 7;
// Bytes of a frame in front of what its length field counts.
constexpr int kLengthFieldStart = kUnitIdOffset;

// The PDU after the header.
constexpr int kFunctionOffset = 7;
constexpr int kAddressOffset = 8;       // requests: first register or coil
constexpr int kQuantityOffset = 10;     // read and write-multiple requests
constexpr int kSingleValueOffset = 10;  // write-single requests
constexpr int kWriteByteCountOffset = 12; // write-multiple requests
constexpr int kWriteDataOffset = 13;
constexpr int kReplyByteCountOffset = 8; // read replies
constexpr int kReplyDataOffset = 9;
constexpr int kExceptionCodeOffset = 8;

// Frame lengths.
constexpr int kRequestLength = 12;        // reads and write-single requests
constexpr int kWriteReplyLength = 12;     // the echo that confirms a write
constexpr int kExceptionReplyLength = 9;  // header, function, exception code
constexpr int readReplyLength(int registers) { return kReplyDataOffset + 2 * registers; }
constexpr int writeMultipleLength(int registers) { return kWriteDataOffset + 2 * registers; }

// Limits.
constexpr int kMaxReadRegisters = 125;  // sections 6.3 and 6.4
constexpr int kMaxWriteRegisters = 123; // section 6.12
constexpr int kMaxPduLength = 253;      // section 4.1
constexpr int kMaxLengthField = 1 + kMaxPduLength; // unit identifier and PDU
constexpr int kMaxAduLength = kMbapLength + kMaxPduLength; // 260 (TCP guide 3.1.3)
constexpr int kMaxAddress = 0xFFFF;     // 16-bit register and coil addresses (section 4.4)
constexpr int kMaxUnitId = 0xFF;        // one byte (TCP guide 3.1.3)
constexpr std::uint16_t kCoilOn = 0xFF00; // section 6.5; 0x0000 switches the coil off

// Big-endian 16-bit fields, as every Modbus field is sent (section 4.2).
constexpr std::uint16_t getUint16(const char *bytes, int offset) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[offset]) << 8 |
                                      static_cast<std::uint8_t>(bytes[offset + 1]));
}

} // namespace modbus

#endif // MODBUS_PROTOCOL_H
