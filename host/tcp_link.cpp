#include "tcp_link.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace plchost {

namespace {

int msUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Connects one address within the time-out; -1 with errno-style text on failure.
int connectOne(const addrinfo *ai, Clock::time_point deadline, std::string *error) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        *error = std::strerror(errno);
        return -1;
    }
    int err = 0;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) < 0) {
        err = errno;
        if (err == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int ready = poll(&p, 1, msUntil(deadline));
            socklen_t len = sizeof err;
            if (ready <= 0)
                err = ETIMEDOUT;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
                err = errno;
        }
    }
    if (err != 0) {
        *error = std::strerror(err);
        ::close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

} // namespace

bool TcpLink::open(const std::string &host, int port, int timeoutMs, std::string *error) {
    close();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (rc != 0) {
        *error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    std::string why = "no address";
    for (addrinfo *ai = list; ai && fd_ < 0; ai = ai->ai_next)
        fd_ = connectOne(ai, deadline, &why);
    freeaddrinfo(list);
    if (fd_ < 0)
        *error = "cannot connect to " + host + ":" + std::to_string(port) + ": " + why;
    return fd_ >= 0;
}

void TcpLink::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool TcpLink::waitFor(short events, Clock::time_point deadline, Io *why) {
    pollfd p{fd_, events, 0};
    int ready;
    do
        ready = poll(&p, 1, msUntil(deadline));
    while (ready < 0 && errno == EINTR);
    if (ready > 0)
        return true;
    *why = ready == 0 ? Io::TimedOut : Io::Failed;
    return false;
}

Io TcpLink::send(const QByteArray &bytes, Clock::time_point deadline) {
    int sent = 0;
    Io why = Io::Failed;
    while (sent < bytes.size()) {
        if (!waitFor(POLLOUT, deadline, &why))
            return why;
        ssize_t n = ::send(fd_, bytes.constData() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return errno == EPIPE || errno == ECONNRESET ? Io::Closed : Io::Failed;
        if (n > 0)
            sent += static_cast<int>(n);
    }
    return Io::Ok;
}

Io TcpLink::receive(int n, QByteArray *out, Clock::time_point deadline) {
    const int start = out->size();
    out->resize(start + n);
    int got = 0;
    Io why = Io::Failed;
    while (got < n) {
        if (!waitFor(POLLIN, deadline, &why))
            return why;
        ssize_t r = ::recv(fd_, out->data() + start + got, n - got, 0);
        if (r == 0 || (r < 0 && errno == ECONNRESET))
            return Io::Closed;
        if (r < 0 && errno != EAGAIN && errno != EINTR)
            return Io::Failed;
        if (r > 0)
            got += static_cast<int>(r);
    }
    return Io::Ok;
}

Io TcpLink::receiveModbusReply(QByteArray *out, Clock::time_point deadline) {
    Io io = receive(6, out, deadline);
    if (io != Io::Ok)
        return io;
    const auto byte = [&](int i) { return static_cast<quint8>(out->at(i)); };
    const int length = byte(4) << 8 | byte(5);
    // The protocol identifier is 0, and the length covers the unit
    // identifier plus at most 253 bytes of reply.
    if (byte(2) != 0 || byte(3) != 0 || length < 2 || length > 254)
        return Io::Failed;
    return receive(length, out, deadline);
}

} // namespace plchost
