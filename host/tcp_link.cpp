#include "tcp_link.h"

#include "modbus_protocol.h"

#include <algorithm>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace plchost {

namespace {

// The shortest length field of a reply: the unit identifier and a function code.
constexpr int kMinLengthField = 2;

// Sends and receives block on the socket itself, at most this long at a
// time, so that an exchange costs one send and one receive; between slices
// the deadline and the stop signal are looked at.
constexpr std::chrono::milliseconds kWaitSlice{50};

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
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
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
    readAhead_.clear();
    slice_ = std::chrono::milliseconds(0);
}

// Before a blocking call: the socket's time-outs cut to the time left, which
// costs a system call only near the deadline.
Io TcpLink::beginWait(Clock::time_point deadline) {
    if (stop_ && stop_->raised())
        return Io::Stopped;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return Io::TimedOut;
    const auto slice = std::min(left, kWaitSlice);
    if (slice != slice_) {
        const timeval tv{static_cast<time_t>(slice.count() / 1000),
                         static_cast<suseconds_t>(slice.count() % 1000 * 1000)};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        slice_ = slice;
    }
    return Io::Ok;
}

Io TcpLink::send(const QByteArray &bytes, Clock::time_point deadline) {
    int sent = 0;
    while (sent < bytes.size()) {
        const Io io = beginWait(deadline);
        if (io != Io::Ok)
            return io;
        const ssize_t n = ::send(fd_, bytes.constData() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0)
            sent += static_cast<int>(n);
        else if (errno != EAGAIN && errno != EINTR)
            return errno == EPIPE || errno == ECONNRESET ? Io::Closed : Io::Failed;
    }
    return Io::Ok;
}

// Receives until the read-ahead holds n bytes.
Io TcpLink::fill(int n, Clock::time_point deadline) {
    char chunk[modbus::kMaxAduLength];
    while (readAhead_.size() < n) {
        const Io io = beginWait(deadline);
        if (io != Io::Ok)
            return io;
        const ssize_t r = ::recv(fd_, chunk, sizeof chunk, 0);
        if (r > 0)
            readAhead_.append(chunk, static_cast<int>(r));
        else if (r == 0 || errno == ECONNRESET)
            return Io::Closed;
        else if (errno != EAGAIN && errno != EINTR)
            return Io::Failed;
    }
    return Io::Ok;
}

Io TcpLink::receive(int n, QByteArray *out, Clock::time_point deadline) {
    const Io io = fill(n, deadline);
    const int taken = std::min<int>(n, readAhead_.size());
    out->append(readAhead_.constData(), taken);
    readAhead_.remove(0, taken);
    return io;
}

Io TcpLink::receiveModbusReply(QByteArray *out, Clock::time_point deadline) {
    const Io io = fill(modbus::kLengthFieldStart, deadline);
    if (io != Io::Ok)
        return receive(modbus::kLengthFieldStart, out, deadline);
    const char *header = readAhead_.constData();
    const int length = modbus::getUint16(header, modbus::kLengthOffset);
    if (modbus::getUint16(header, modbus::kProtocolIdOffset) != 0 || length < kMinLengthField ||
        length > modbus::kMaxLengthField) {
        receive(modbus::kLengthFieldStart, out, deadline);
        return Io::Malformed;
    }
    return receive(modbus::kLengthFieldStart + length, out, deadline);
}

void TcpLink::discardPending() {
    readAhead_.clear();
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
