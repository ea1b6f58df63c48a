#include "modbus_service.h"

#include "memory.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

// The MBAP header (Modbus Messaging on TCP/IP Implementation Guide V1.0b,
// section 3.1.3): transaction and protocol identifiers, the length field
// (bytes that follow it: the unit identifier and the PDU), the unit
// identifier; then the PDU's function code and its fields.
constexpr int kTransactionOffset = 0;
constexpr int kProtocolOffset = 2;
constexpr int kLengthOffset = 4;
constexpr int kUnitOffset = 6;
constexpr int kHeaderLength = 7;
constexpr int kFunctionOffset = 7;
constexpr int kAddressOffset = 8;
constexpr int kQuantityOffset = 10; // functions 3, 4 and 16
constexpr int kByteCountOffset = 12; // function 16
constexpr int kExceptionCodeOffset = 8;
constexpr int kExceptionFlag = 0x80;
constexpr uint8_t kModbusProtocolId = 0;
// Length field limits: a unit identifier and at least a function code, at
// most what the longest ADU has after the length field (254).
constexpr int kMinLengthField = 2;
constexpr int kMaxLengthField = MODBUS_TCP_MAX_ADU_LENGTH - kUnitOffset;
// PDU lengths: function code, address, quantity or value (functions 3 to
// 6); function 16 adds a byte count and the bytes it counts.
constexpr int kFixedPduLength = 5;
constexpr int kWriteMultiplePduHead = 6;
// How long the rest of a request may take to arrive once it has begun
// (libmodbus's default time-out between the bytes of one request).
constexpr int kRestTimeoutMs = 500;

int field(const uint8_t *adu, int offset) { return adu[offset] << 8 | adu[offset + 1]; }

bool isWrite(int function) {
    return function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER ||
           function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
}

// Reads `size` bytes: waits `firstWaitMs` for the first of them (-1: for
// ever) and at most kRestTimeoutMs for every later piece.
bool readExactly(int fd, uint8_t *data, int size, int firstWaitMs, std::string &error) {
    for (int waitMs = firstWaitMs; size > 0; waitMs = kRestTimeoutMs) {
        pollfd pfd = {fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, waitMs);
        if (ready <= 0) {
            error = ready == 0 ? "closed: request incomplete after " + std::to_string(kRestTimeoutMs) + " ms"
                               : std::string("closed: ") + std::strerror(errno);
            return false;
        }
        const ssize_t got = recv(fd, data, static_cast<size_t>(size), 0);
        if (got <= 0) {
            error = "disconnected";
            return false;
        }
        data += got;
        size -= static_cast<int>(got);
    }
    return true;
}

// Waits for the next request and reads it whole, as long as its length field
// says. A length field outside 2..254 means the stream is out of step.
bool receiveRequest(int fd, uint8_t *adu, int &length, std::string &error) {
    if (!readExactly(fd, adu, kHeaderLength, -1, error))
        return false;
    const int declared = field(adu, kLengthOffset);
    if (declared < kMinLengthField || declared > kMaxLengthField) {
        error = "closed: MBAP length field " + std::to_string(declared) + " outside " +
                std::to_string(kMinLengthField) + ".." + std::to_string(kMaxLengthField);
        return false;
    }
    length = kUnitOffset + declared;
    return readExactly(fd, adu + kHeaderLength, length - kHeaderLength, kRestTimeoutMs, error);
}

// The exception a request gets before libmodbus sees it: illegal function
// for a function that is not served, illegal data value for a PDU whose
// length does not fit its function; 0 when neither applies.
int refusal(const uint8_t *adu, int length) {
    const int pduLength = length - kHeaderLength;
    switch (adu[kFunctionOffset]) {
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
        return pduLength == kFixedPduLength ? 0 : MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
        return pduLength >= kWriteMultiplePduHead && pduLength == kWriteMultiplePduHead + adu[kByteCountOffset]
                   ? 0
                   : MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    default:
        return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    }
}

// The function code with the exception flag set (kept set for a code that
// already has it), and the exception code.
Bytes exceptionReply(const uint8_t *adu, int code) {
    constexpr uint8_t kLength = 3; // unit identifier, function code, exception code
    return {adu[kTransactionOffset], adu[kTransactionOffset + 1], 0, kModbusProtocolId, 0, kLength, adu[kUnitOffset],
            static_cast<uint8_t>(adu[kFunctionOffset] | kExceptionFlag), static_cast<uint8_t>(code)};
}

// "unit U function F", with the address and the count when the request is
// well formed for a served function.
std::string describe(const uint8_t *adu, int length) {
    const int function = adu[kFunctionOffset];
    std::string text = "unit " + std::to_string(adu[kUnitOffset]) + " function " + std::to_string(function);
    if (refusal(adu, length) == 0) {
        const bool single = function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER;
        text += " address " + std::to_string(field(adu, kAddressOffset)) + " count " +
                std::to_string(single ? 1 : field(adu, kQuantityOffset));
    }
    return text;
}

std::string replyText(const Bytes &reply) {
    if (reply.size() <= kExceptionCodeOffset || !(reply[kFunctionOffset] & kExceptionFlag))
        return "ok";
    const int code = reply[kExceptionCodeOffset];
    return "exception " + std::to_string(code) + " " + modbus_strerror(MODBUS_ENOBASE + code);
}

} // namespace

ModbusService::~ModbusService() {
    if (ctx_)
        modbus_free(ctx_);
    for (int fd : capture_)
        if (fd >= 0)
            close(fd);
}

bool ModbusService::open(std::string &error) {
    ctx_ = modbus_new_tcp("127.0.0.1", 0);
    if (!ctx_ || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, capture_) != 0) {
        error = std::string("cannot prepare libmodbus: ") + std::strerror(errno);
        return false;
    }
    modbus_set_socket(ctx_, capture_[0]);
    // libmodbus sleeps for the response time-out before refusing a bad
    // quantity (for a serial line to fall silent); a TCP stream needs no pause.
    modbus_set_response_timeout(ctx_, 0, 1);
    return true;
}

void ModbusService::serve(int fd, const std::string &client) {
    uint8_t adu[MODBUS_TCP_MAX_ADU_LENGTH];
    int length = 0;
    std::string end;
    while (receiveRequest(fd, adu, length, end) && serveRequest(fd, adu, length, client, end)) {
    }
    context_.log.write(client + " " + end);
}

// Fails when the connection is to be closed.
bool ModbusService::serveRequest(int fd, const uint8_t *adu, int length, const std::string &client,
                                 std::string &error) {
    const RequestLog &log = context_.log;
    const std::string request = log.enabled() ? client + " " + describe(adu, length) : "";
    if (field(adu, kProtocolOffset) != kModbusProtocolId) {
        log.write(request + ": protocol identifier " + std::to_string(field(adu, kProtocolOffset)) + ", dropped");
        return true;
    }
    const int unitId = adu[kUnitOffset];
    UnitMemory *unit = context_.memory.unit(unitId);
    if (unitId == MODBUS_BROADCAST_ADDRESS && !unit) {
        log.write(request + (broadcastWrite(adu, length) ? ": broadcast, stored in every unit" : ": broadcast, ignored"));
        return true;
    }
    if (!unit) {
        log.write(request + ": unit not served, no answer");
        return true;
    }
    const auto build = [&](bool deviceFailure) {
        const int code = deviceFailure ? MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE : refusal(adu, length);
        if (code)
            return exceptionReply(adu, code);
        const auto guard = context_.memory.lock();
        return normalReply(*unit, adu, length);
    };
    Answer answer;
    const bool keepOpen = respond(fd, context_.faults, build, answer, error);
    if (log.enabled())
        log.write(request + ": " + outcome(answer, replyText(answer.reply)));
    return keepOpen;
}

// Unit 0, unless it is served, addresses every unit: a well-formed write
// reaches every unit, and nobody answers. Returns whether it was one.
bool ModbusService::broadcastWrite(const uint8_t *adu, int length) {
    if (!isWrite(adu[kFunctionOffset]) || refusal(adu, length))
        return false;
    const auto guard = context_.memory.lock();
    for (int id : context_.memory.unitIds())
        normalReply(*context_.memory.unit(id), adu, length);
    return true;
}

// Presents the addressed area to libmodbus as its whole register map, so
// that libmodbus checks quantities and addresses against that area alone.
Bytes ModbusService::normalReply(UnitMemory &unit, const uint8_t *adu, int length) {
    modbus_mapping_t view{};
    if (adu[kFunctionOffset] == MODBUS_FC_WRITE_SINGLE_COIL)
        return writeCoil(unit, adu, length);
    if (adu[kFunctionOffset] == MODBUS_FC_READ_INPUT_REGISTERS) {
        const RegisterBlock input = unit.area(kAreaInput);
        view.tab_input_registers = input.regs;
        view.nb_input_registers = input.size;
        view.start_input_registers = input.start;
    } else {
        const RegisterBlock holding = unit.holdingFor(field(adu, kAddressOffset));
        view.tab_registers = holding.regs;
        view.nb_registers = holding.size;
        view.start_registers = holding.start;
    }
    return captureReply(adu, length, &view);
}

// A coil is a bit of a holding register: libmodbus sees a one-coil map at the
// requested address, checks the value and echoes the request; the coil it set
// goes back into the register.
Bytes ModbusService::writeCoil(UnitMemory &unit, const uint8_t *adu, int length) {
    const int address = field(adu, kAddressOffset);
    const BitRef bit = unit.coil(address);
    uint8_t state = (*bit.reg & bit.mask) ? 1 : 0;
    modbus_mapping_t view{};
    view.tab_bits = &state;
    view.nb_bits = 1;
    view.start_bits = address;
    Bytes bytes = captureReply(adu, length, &view);
    *bit.reg = state ? (*bit.reg | bit.mask) : (*bit.reg & ~bit.mask);
    return bytes;
}

Bytes ModbusService::captureReply(const uint8_t *adu, int length, modbus_mapping_t *view) {
    const std::lock_guard<std::mutex> guard(captureMutex_);
    modbus_reply(ctx_, adu, length, view);
    Bytes bytes;
    uint8_t chunk[MODBUS_TCP_MAX_ADU_LENGTH];
    ssize_t got;
    while ((got = recv(capture_[1], chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    return bytes;
}
