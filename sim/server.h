// Listening, accepting and one thread per connection.
#ifndef SIM_SERVER_H
#define SIM_SERVER_H

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include <modbus/modbus.h>

class FaultPlan;
class Memory;

class Server {
public:
    Server(bool remote, Memory &memory, FaultPlan &plan) : remote_(remote), memory_(memory), plan_(plan) {}
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens on 127.0.0.1:port (0 picks a free port).
    bool listen(int port, std::string &error);
    int port() const { return port_; }
    // Accepts and serves connections until `stopFd` becomes readable, then
    // ends every connection and waits for its thread.
    void run(int stopFd);

private:
    struct Connection {
        int fd;
        std::atomic<bool> finished{false};
        std::thread thread;
    };

    void accept();
    void reapFinished();
    void closeConnections();
    void serve(Connection &connection);

    const bool remote_;
    Memory &memory_;
    FaultPlan &plan_;
    modbus_t *ctx_ = nullptr;
    int listenFd_ = -1;
    int port_ = 0;
    std::list<std::unique_ptr<Connection>> connections_;
};

#endif
