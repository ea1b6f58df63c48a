#include "modbus_service.h"

#include "faults.h"
#include "memory.h"

#include <modbus/modbus.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace {

// Offsets in a Modbus TCP request: the MBAP header's length and unit fields,
// then the function code and the first address of the PDU.
constexpr int kLengthOffset = 4;
constexpr int kUnitOffset = 6;
constexpr int kFunctionOffset = 7;
constexpr int kAddressOffset = 8;
// How long the rest of a request may take to arrive (libmodbus's default
// time-out between the bytes of one request).
constexpr int kRestTimeoutMs = 500;

int requestAddress(const uint8_t *req) { return req[kAddressOffset] << 8 | req[kAddressOffset + 1]; }

bool isWrite(int function) {
    return function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER ||
           function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
}

// One connection. libmodbus receives each request and builds each reply; the
// reply is captured through a socket pair so that it is sent outside the
// memory lock and the fault modes can delay, split or cut it.
class ModbusSession {
public:
    ModbusSession(int fd, Memory &memory, FaultPlan &plan)
        : fd_(fd), memory_(memory), plan_(plan), ctx_(modbus_new_tcp("127.0.0.1", 0)) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, capture_) != 0)
            capture_[0] = capture_[1] = -1;
    }
    ~ModbusSession() {
        if (ctx_)
            modbus_free(ctx_);
        for (int fd : capture_)
            if (fd >= 0)
                close(fd);
    }
    ModbusSession(const ModbusSession &) = delete;
    ModbusSession &operator=(const ModbusSession &) = delete;

    void run();

private:
    bool discardRest(const uint8_t *req, int length);
    Bytes answer(UnitMemory &unit, const uint8_t *req, int length);
    Bytes writeCoil(UnitMemory &unit, const uint8_t *req, int length);
    Bytes reply(const uint8_t *req, int length, modbus_mapping_t *view);
    Bytes exception(const uint8_t *req, unsigned code);
    template <typename Send> Bytes capture(Send send);
    void broadcast(const uint8_t *req, int length);

    const int fd_;
    Memory &memory_;
    FaultPlan &plan_;
    modbus_t *ctx_;
    int capture_[2];
};

void ModbusSession::run() {
    if (!ctx_ || capture_[0] < 0)
        return;
    modbus_set_socket(ctx_, fd_);
    // libmodbus sleeps for the response time-out before refusing a bad
    // quantity (for a serial line to fall silent); a TCP stream needs no pause.
    modbus_set_response_timeout(ctx_, 0, 1);
    uint8_t req[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        const int length = modbus_receive(ctx_, req);
        if (length < 0)
            return;
        if (length <= kFunctionOffset)
            continue;
        if (!discardRest(req, length))
            return;
        const int unitId = req[kUnitOffset];
        if (unitId == MODBUS_BROADCAST_ADDRESS) {
            broadcast(req, length);
            continue;
        }
        UnitMemory *unit = memory_.unit(unitId);
        if (!unit)
            continue; // another station's request: silence
        const bool keepOpen = respond(fd_, plan_, [&](bool deviceFailure) {
            if (deviceFailure)
                return exception(req, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
            const auto guard = memory_.lock();
            return answer(*unit, req, length);
        });
        if (!keepOpen)
            return;
    }
}

// libmodbus frames a request by its function code: it cuts one it does not
// know after the function code, and a write whose byte count wrapped after
// the byte count. The header's length field tells how many bytes still belong
// to the request; they are read and dropped so the next request starts where
// it should. Returns false when they do not come.
bool ModbusSession::discardRest(const uint8_t *req, int length) {
    const int declared = (req[kLengthOffset] << 8 | req[kLengthOffset + 1]) + kLengthOffset + 2;
    uint8_t scratch[MODBUS_TCP_MAX_ADU_LENGTH];
    for (int rest = declared - length; rest > 0;) {
        pollfd pfd = {fd_, POLLIN, 0};
        const ssize_t got = poll(&pfd, 1, kRestTimeoutMs) == 1
                                ? recv(fd_, scratch, std::min<size_t>(rest, sizeof scratch), 0)
                                : 0;
        if (got <= 0)
            return false;
        rest -= static_cast<int>(got);
    }
    return true;
}

// Unit 0 addresses every station: writes reach every unit, and nobody answers.
void ModbusSession::broadcast(const uint8_t *req, int length) {
    if (!isWrite(req[kFunctionOffset]))
        return;
    const auto guard = memory_.lock();
    for (int id : memory_.unitIds())
        answer(*memory_.unit(id), req, length);
}

// Presents the addressed area to libmodbus as its whole register map, so
// that libmodbus checks quantities and addresses against that area alone.
Bytes ModbusSession::answer(UnitMemory &unit, const uint8_t *req, int length) {
    modbus_mapping_t view{};
    switch (req[kFunctionOffset]) {
    case MODBUS_FC_READ_INPUT_REGISTERS: {
        const Span input = unit.area(kAreaInput);
        view.tab_input_registers = input.regs;
        view.nb_input_registers = input.size;
        view.start_input_registers = input.start;
        return reply(req, length, &view);
    }
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
        const Span holding = unit.holdingFor(requestAddress(req));
        view.tab_registers = holding.regs;
        view.nb_registers = holding.size;
        view.start_registers = holding.start;
        return reply(req, length, &view);
    }
    case MODBUS_FC_WRITE_SINGLE_COIL:
        return writeCoil(unit, req, length);
    default:
        return exception(req, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    }
}

// A coil is a bit of a holding register: libmodbus sees a one-coil map at the
// requested address, checks the value and echoes the request; the coil it set
// goes back into the register.
Bytes ModbusSession::writeCoil(UnitMemory &unit, const uint8_t *req, int length) {
    const BitRef bit = unit.coil(requestAddress(req));
    uint8_t state = (*bit.reg & bit.mask) ? 1 : 0;
    modbus_mapping_t view{};
    view.tab_bits = &state;
    view.nb_bits = 1;
    view.start_bits = requestAddress(req);
    Bytes bytes = reply(req, length, &view);
    *bit.reg = state ? (*bit.reg | bit.mask) : (*bit.reg & ~bit.mask);
    return bytes;
}

Bytes ModbusSession::reply(const uint8_t *req, int length, modbus_mapping_t *view) {
    return capture([&] { modbus_reply(ctx_, req, length, view); });
}

Bytes ModbusSession::exception(const uint8_t *req, unsigned code) {
    return capture([&] { modbus_reply_exception(ctx_, req, code); });
}

template <typename Send> Bytes ModbusSession::capture(Send send) {
    modbus_set_socket(ctx_, capture_[0]);
    send();
    modbus_set_socket(ctx_, fd_);
    Bytes bytes;
    uint8_t chunk[MODBUS_TCP_MAX_ADU_LENGTH];
    ssize_t got;
    while ((got = recv(capture_[1], chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    return bytes;
}

} // namespace

void serveModbus(int fd, Memory &memory, FaultPlan &plan) {
    ModbusSession session(fd, memory, plan);
    session.run();
}
