#include "tcp_link.h"

#include "modbus_protocol.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace plchost {

namespace {

// The shortest length field of a reply: the unit identifier and a function code.
constexpr int kMinLengthField = 2;

int msUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits until fd is ready for `events`, the deadline passes or `stop` is raised.
Io waitReady(int fd, short events, Clock::time_point deadline, const StopSignal *stop) {
    pollfd p[2] = {{fd, events, 0}, {stop ? stop->fd() : -1, POLLIN, 0}};
    for (;;) {
        if (stop && stop->raised())
            return Io::Stopped;
        const int ready = poll(p, 2, msUntil(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Io::Failed;
        if (p[1].revents != 0)
            return Io::Stopped;
        return ready == 0 ? Io::TimedOut : Io::Ok;
    }
}

// Connects one address before the deadline; -1 with errno-style text on failure.
int connectOne(const addrinfo *ai, Clock::time_point deadline, const StopSignal *stop,
               std::string &error) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    int err = 0;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) < 0) {
        err = errno;
        if (err == EINPROGRESS) {
            const Io io = waitReady(fd, POLLOUT, deadline, stop);
            socklen_t len = sizeof err;
            if (io == Io::Stopped)
                err = ECANCELED;
            else if (io != Io::Ok)
                err = ETIMEDOUT;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
                err = errno;
        }
    }
    if (err != 0) {
        error = std::strerror(err);
        ::close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

} // namespace

StopSignal::StopSignal() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

StopSignal::~StopSignal() {
    if (fd_ >= 0)
        ::close(fd_);
}

void StopSignal::raise() {
    raised_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}

void StopSignal::clear() {
    std::uint64_t count;
    [[maybe_unused]] ssize_t n = ::read(fd_, &count, sizeof count);
    raised_ = false;
}

bool TcpLink::open(const std::string &host, int port, int timeoutMs, std::string &error) {
    close();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (rc != 0) {
        error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    std::string why = "no address";
    for (addrinfo *ai = list; ai && fd_ < 0; ai = ai->ai_next)
        fd_ = connectOne(ai, deadline, stop_, why);
    freeaddrinfo(list);
    if (fd_ < 0)
        error = "cannot connect to " + host + ":" + std::to_string(port) + ": " + why;
    return fd_ >= 0;
}

void TcpLink::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

Io TcpLink::waitFor(short events, Clock::time_point deadline) {
    return waitReady(fd_, events, deadline, stop_);
}

// Each call tries the socket before it waits on it: a request fits an idle
// connection's buffer and a reply's rest has mostly arrived with its header,
// so an exchange costs four system calls, not six.
Io TcpLink::send(const QByteArray &bytes, Clock::time_point deadline) {
    int sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.constData() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        Io io = Io::Ok;
        if (n > 0)
            sent += static_cast<int>(n);
        else if (errno == EAGAIN)
            io = waitFor(POLLOUT, deadline);
        else if (errno != EINTR)
            io = errno == EPIPE || errno == ECONNRESET ? Io::Closed : Io::Failed;
        if (io != Io::Ok)
            return io;
    }
    return Io::Ok;
}

Io TcpLink::receive(int n, QByteArray *out, Clock::time_point deadline) {
    const int start = out->size();
    out->resize(start + n);
    int got = 0;
    Io io = Io::Ok;
    while (got < n && io == Io::Ok) {
        const ssize_t r = ::recv(fd_, out->data() + start + got, n - got, 0);
        if (r > 0)
            got += static_cast<int>(r);
        else if (r == 0 || errno == ECONNRESET)
            io = Io::Closed;
        else if (errno == EAGAIN)
            io = waitFor(POLLIN, deadline);
        else if (errno != EINTR)
            io = Io::Failed;
    }
    out->resize(start + got); // a failed receive leaves what did arrive
    return io;
}

Io TcpLink::receiveModbusReply(QByteArray *out, Clock::time_point deadline) {
    const int start = out->size();
    Io io = waitFor(POLLIN, deadline); // the answer takes a round trip: wait before reading
    if (io == Io::Ok)
        io = receive(modbus::kLengthFieldStart, out, deadline);
    if (io != Io::Ok)
        return io;
    const char *header = out->constData() + start;
    const int length = modbus::getUint16(header, modbus::kLengthOffset);
    if (modbus::getUint16(header, modbus::kProtocolIdOffset) != 0 || length < kMinLengthField ||
        length > modbus::kMaxLengthField)
        return Io::Malformed;
    return receive(length, out, deadline);
}

void TcpLink::discardPending() {
    char scratch[512];
    while (fd_ >= 0) {
        const ssize_t r = ::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
        if (r < 0 && errno == EAGAIN)
            return;
        if (r == 0 || (r < 0 && errno != EINTR))
            close(); // the peer has gone, or the socket broke
    }
}

} // namespace plchost
