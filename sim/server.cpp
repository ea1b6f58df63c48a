#include "server.h"

#include "service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

// At most this many connections are served at once, far below what threads
// and descriptors allow; further ones are accepted and closed at once.
constexpr size_t kMaxClients = 256;

std::string addressText(const sockaddr_in &address) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

} // namespace

Server::~Server() {
    closeConnections();
    if (listenFd_ >= 0)
        close(listenFd_);
}

bool Server::listen(const std::string &address, int port, std::string &error) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return false;
    }
    socklen_t size = sizeof local;
    const int reuse = 1;
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // A backlog as long as the system allows: a burst of connections waits
    // there instead of being made to retry.
    if (listenFd_ < 0 ||
        setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
        bind(listenFd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        ::listen(listenFd_, SOMAXCONN) != 0 || getsockname(listenFd_, reinterpret_cast<sockaddr *>(&local), &size) != 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    port_ = ntohs(local.sin_port);
    return true;
}

void Server::run(int stopFd) {
    pollfd fds[] = {{listenFd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (fds[1].revents)
            break;
        if (fds[0].revents & POLLIN)
            accept();
    }
    closeConnections();
}

void Server::closeConnections() {
    for (auto &connection : connections_)
        shutdown(connection->fd, SHUT_RDWR);
    for (auto &connection : connections_) {
        connection->thread.join();
        close(connection->fd);
    }
    connections_.clear();
}

void Server::accept() {
    reapFinished();
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    const int fd = accept4(listenFd_, reinterpret_cast<sockaddr *>(&peer), &size, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    const std::string client = addressText(peer);
    if (connections_.size() >= kMaxClients) {
        close(fd);
        log_.write(client + " refused: " + std::to_string(kMaxClients) + " clients connected already");
        return;
    }
    log_.write(client + " connected");
    // Every reply, and every piece of a split reply, leaves at once.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    connections_.push_back(std::make_unique<Connection>());
    Connection &connection = *connections_.back();
    connection.fd = fd;
    connection.client = client;
    connection.thread = std::thread([this, &connection] {
        serve_(connection.fd, connection.client);
        shutdown(connection.fd, SHUT_RDWR);
        connection.finished = true;
    });
}

// The thread of a connection only shuts its socket down; the socket is
// closed here after the join, so a descriptor is never closed while another
// thread may still use its number.
void Server::reapFinished() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (!(*it)->finished) {
            ++it;
            continue;
        }
        (*it)->thread.join();
        close((*it)->fd);
        it = connections_.erase(it);
    }
}
