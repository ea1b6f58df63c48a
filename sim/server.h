// Listening, accepting and one thread per connection, for at most 256
// connections at a time.
#ifndef SIM_SERVER_H
#define SIM_SERVER_H

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>

class RequestLog;

class Server {
public:
    // Serves one accepted connection until it ends (`client` is the peer's
    // address and port); must not close the socket.
    using Serve = std::function<void(int fd, const std::string &client)>;

    Server(Serve serve, const RequestLog &log) : serve_(std::move(serve)), log_(log) {}
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens on the IPv4 `address` and `port` (0 picks a free port).
    bool listen(const std::string &address, int port, std::string &error);
    int port() const { return port_; }
    // Accepts and serves connections until `stopFd` becomes readable, then
    // ends every connection and waits for its thread.
    void run(int stopFd);

private:
    struct Connection {
        int fd;
        std::string client;
        std::atomic<bool> finished{false};
        std::thread thread;
    };

    void accept();
    void reapFinished();
    void closeConnections();

    const Serve serve_;
    const RequestLog &log_;
    int listenFd_ = -1;
    int port_ = 0;
    std::list<std::unique_ptr<Connection>> connections_;
};

#endif
