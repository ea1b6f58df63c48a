// Clients for talking to the simulated PLC in tests: a libmodbus client with
// short time-outs, and a plain TCP connection for hand-built bytes.
#ifndef SIM_CLIENT_H
#define SIM_CLIENT_H

#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

using Bytes = std::vector<uint8_t>;

class ModbusClient {
public:
    explicit ModbusClient(int port, int unit = 1, int timeoutMs = 200)
        : ctx_(modbus_new_tcp("127.0.0.1", port), [](modbus_t *ctx) {
              modbus_close(ctx);
              modbus_free(ctx);
          }) {
        modbus_set_slave(ctx(), unit);
        modbus_set_response_timeout(ctx(), 0, static_cast<uint32_t>(timeoutMs) * 1000);
        connected_ = modbus_connect(ctx()) == 0;
    }

    bool connected() const { return connected_; }
    modbus_t *ctx() const { return ctx_.get(); }

    // One holding register, or -1 on failure (errno says why).
    int readHolding(int address) {
        uint16_t value = 0;
        return modbus_read_registers(ctx(), address, 1, &value) == 1 ? value : -1;
    }

private:
    std::unique_ptr<modbus_t, void (*)(modbus_t *)> ctx_;
    bool connected_ = false;
};

class RawClient {
public:
    explicit RawClient(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address = {AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        connected_ = fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~RawClient() {
        if (fd_ >= 0)
            close(fd_);
    }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool connected() const { return connected_; }
    // Whether the peer closed the connection.
    bool closed() const { return closed_; }

    bool send(const Bytes &bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // Collects bytes until `expected` have come, the peer closes, or nothing
    // arrives for `quietMs`.
    Bytes receive(size_t expected, int quietMs = 200) {
        Bytes bytes;
        uint8_t chunk[1024];
        pollfd pfd = {fd_, POLLIN, 0};
        while (bytes.size() < expected && poll(&pfd, 1, quietMs) > 0) {
            const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
            if ((closed_ = got <= 0))
                break;
            bytes.insert(bytes.end(), chunk, chunk + got);
            }
        return bytes;
    }

    Bytes exchange(const Bytes &request, size_t expected, int quietMs = 200) {
        return send(request) ? receive(expected, quietMs) : Bytes{};
    }

private:
    int fd_;
    bool connected_ = false;
    bool closed_ = false;
};

inline Bytes operator+(Bytes a, const Bytes &b) {
    a.resize(a.size() + b.size()); // not insert(): GCC 12 at -O3 warns falsely on it
    std::copy(b.begin(), b.end(), a.end() - static_cast<std::ptrdiff_t>(b.size()));
    return a;
}

// A Modbus TCP frame: MBAP header (transaction `tid`, protocol 0, length,
// unit) followed by the PDU.
inline Bytes mbapFrame(uint16_t tid, uint8_t unit, const Bytes &pdu) {
    const size_t length = pdu.size() + 1;
    return Bytes{uint8_t(tid >> 8), uint8_t(tid), 0, 0, uint8_t(length >> 8), uint8_t(length), unit} + pdu;
}

#endif
