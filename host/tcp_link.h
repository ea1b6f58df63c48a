// A TCP connection to a PLC with deadlines on every step: connect, send all
// bytes, receive an exact number of bytes or one whole Modbus TCP reply.
// Every wait also ends at once when the link's stop signal is raised.
#ifndef PLCHOST_TCP_LINK_H
#define PLCHOST_TCP_LINK_H

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <string>

namespace plchost {

using Clock = std::chrono::steady_clock;

enum class Io {
    Ok,
    TimedOut,
    Closed,    // by the peer, or reset
    Malformed, // a header that cannot start a Modbus TCP reply
    Failed,    // any other socket error
    Stopped    // the stop signal was raised
};

// Raised by one thread to cut the socket waits of another short: an eventfd
// that every wait polls together with its socket.
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal &) = delete;
    StopSignal &operator=(const StopSignal &) = delete;

    void raise();
    void clear();
    bool raised() const { return raised_; }
    int fd() const { return fd_; }

private:
    int fd_;
    std::atomic<bool> raised_{false};
};

class TcpLink {
public:
    explicit TcpLink(const StopSignal *stop = nullptr) : stop_(stop) {}
    ~TcpLink() { close(); }
    TcpLink(const TcpLink &) = delete;
    TcpLink &operator=(const TcpLink &) = delete;

    bool open(const std::string &host, int port, int timeoutMs, std::string &error);
    bool isOpen() const { return fd_ >= 0; }
    void close();

    Io send(const QByteArray &bytes, Clock::time_point deadline);
    // Appends exactly n bytes to out, however many segments they arrive in
    // (on failure, what did arrive).
    Io receive(int n, QByteArray *out, Clock::time_point deadline);
    // One reply: the header up to its length field, then the bytes that
    // field announces.
    Io receiveModbusReply(QByteArray *out, Clock::time_point deadline);
    // Reads and drops whatever has arrived, without waiting; closes the link
    // if the peer has closed it.
    void discardPending();

private:
    Io beginWait(Clock::time_point deadline);
    Io fill(int n, Clock::time_point deadline);
    int fd_ = -1;
    const StopSignal *stop_;
    // Bytes received but not yet taken: each recv takes what has arrived,
    // so a reply usually costs one, and what follows it waits here.
    QByteArray readAhead_;
    std::chrono::milliseconds slice_{0}; // the socket's send and receive time-outs
};

} // namespace plchost

#endif
