// A TCP connection to a PLC with deadlines on every step: connect, send all
// bytes, receive an exact number of bytes or one whole Modbus TCP reply.
#ifndef PLCHOST_TCP_LINK_H
#define PLCHOST_TCP_LINK_H

#include <QByteArray>

#include <chrono>
#include <string>

namespace plchost {

using Clock = std::chrono::steady_clock;

enum class Io { Ok, TimedOut, Closed, Failed };

class TcpLink {
public:
    TcpLink() = default;
    ~TcpLink() { close(); }
    TcpLink(const TcpLink &) = delete;
    TcpLink &operator=(const TcpLink &) = delete;

    bool open(const std::string &host, int port, int timeoutMs, std::string *error);
    bool isOpen() const { return fd_ >= 0; }
    void close();

    Io send(const QByteArray &bytes, Clock::time_point deadline);
    // Appends exactly n bytes to out, however many segments they arrive in.
    Io receive(int n, QByteArray *out, Clock::time_point deadline);
    // One reply: the 6-byte application header prefix, then the length it
    // announces. A header that cannot belong to a reply is Failed.
    Io receiveModbusReply(QByteArray *out, Clock::time_point deadline);

private:
    bool waitFor(short events, Clock::time_point deadline, Io *why);
    int fd_ = -1;
};

} // namespace plchost

#endif
