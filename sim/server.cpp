#include "server.h"

#include "modbus_service.h"
#include "remote_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr int kBacklog = 16;

} // namespace

Server::~Server() {
    closeConnections();
    if (listenFd_ >= 0)
        close(listenFd_);
    if (ctx_)
        modbus_free(ctx_);
}

bool Server::listen(int port, std::string &error) {
    ctx_ = modbus_new_tcp("127.0.0.1", port);
    if (ctx_)
        listenFd_ = modbus_tcp_listen(ctx_, kBacklog);
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (listenFd_ < 0 || getsockname(listenFd_, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        error = std::string("cannot listen on 127.0.0.1:") + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    port_ = ntohs(address.sin_port);
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
    const int fd = modbus_tcp_accept(ctx_, &listenFd_);
    if (fd < 0)
        return;
    // Every reply, and every piece of a split reply, leaves at once.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    connections_.push_back(std::make_unique<Connection>());
    Connection &connection = *connections_.back();
    connection.fd = fd;
    connection.thread = std::thread([this, &connection] { serve(connection); });
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

void Server::serve(Connection &connection) {
    if (remote_)
        serveRemote(connection.fd, memory_, plan_);
    else
        serveModbus(connection.fd, memory_, plan_);
    shutdown(connection.fd, SHUT_RDWR);
    connection.finished = true;
}
