// A whole host in about a hundred lines: loads the driver plug-in with
// dlopen, hands it its settings and callbacks, plans two holding registers,
// writes them once and polls them, sending every frame the driver prepares
// over its own TCP connection and reconnecting after a time-out or a break.
// Usage: minimal_host PLUGIN HOST PORT (exit 0 once the write read back 20 times).
#include "plc_driver.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#define ENTRY(name) auto name = reinterpret_cast<decltype(&::name)>(dlsym(plugin, #name))

static int writeStatus = 0; // 1 done, 2 failed (PlcCompletionStatus)

// Both callbacks run on the loop thread inside ComCommunication or DataCom,
// with the driver's queue lock held: they only record.
static int onCompletion(int, int, int, int status) { return writeStatus = status, 0; }
static int onNotify(QList<RW_VAR>, int, int) { return 0; }

static int connectTo(const char *host, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const timeval timeout{1, 0}; // every send and receive: 1 s
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host, &peer.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) == 0)
        return fd;
    close(fd);
    return -1;
}

static bool receive(int fd, QByteArray &reply, int n) {
    for (char c; n > 0; --n, reply.append(c))
        if (recv(fd, &c, 1, 0) != 1)
            return false;
    return true;
}

// One exchange: the frame out, one Modbus TCP reply in (its length is in
// bytes 4-5 of the header). Any failure drops the connection, so that a late
// reply is never taken for the answer to the next request.
static QByteArray exchange(int &fd, const Protocol &p) {
    QByteArray reply;
    const bool sent = send(fd, p.frame.constData(), p.frame.size(), MSG_NOSIGNAL) == p.frame.size();
    if (sent && (p.replyLen == 0 ||
                 (receive(fd, reply, 6) &&
                  receive(fd, reply, quint8(reply[4]) << 8 | quint8(reply[5])))))
        return reply;
    close(fd);
    fd = -1;
    return {};
}

int main(int argc, char **argv) {
    if (argc != 4)
        return std::fprintf(stderr, "usage: minimal_host PLUGIN HOST PORT\n"), 2;
    void *plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!plugin)
        return std::fprintf(stderr, "%s\n", dlerror()), 3;
    ENTRY(SetComInfo);
    ENTRY(RegistCallBackFuncIntf);
    ENTRY(FlashLocalRegister);
    ENTRY(ReCreatReadVarList);
    ENTRY(SetRegisterData);
    ENTRY(ComCommunication);
    ENTRY(DataCom);
    ENTRY(GetRegisterData);

    static ComInfo info{}; // the driver reads it on every call: it outlives the plug-in's use
    info.maxRegsPerFrame = 100;
    info.defaultStation = 1;
    info.retryLimit = 2;
    info.writeMode = PLC_WRITE_TO_PLC;
    info.hostHandle = 1;
    SetComInfo(&info); // set-up order: settings, callbacks, host values, plan
    RegistCallBackFuncIntf(onCompletion, onNotify);
    FlashLocalRegister(0, 0, 0);
    QList<HOSTVAR> plan;
    HOSTVAR setpoints;
    setpoints.regType = 7; // hold.word
    setpoints.address = QStringLiteral("10");
    setpoints.label = QStringLiteral("setpoints");
    setpoints.count = 2;
    plan.append(setpoints);
    ReCreatReadVarList(&plan);
    const QByteArray value = QByteArray::fromHex("39300100"); // 12345 and 1, low byte first
    SetRegisterData(setpoints.label, 7, setpoints.address, 1, value, 2, 0, 1);

    int fd = -1, connects = 0, given = 0, readBack = 0;
    for (int turn = 0; turn < 500 && readBack < 20 && writeStatus != PLC_COMPLETION_FAILED; ++turn) {
        Protocol *p = ComCommunication(); // the pending frame, again until DataCom takes it
        if (!p) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the poll interval
            continue;
        }
        if (fd < 0 && (fd = connectTo(argv[2], std::atoi(argv[3]))) >= 0)
            ++connects; // (re)connected before the next frame
        QByteArray reply = fd < 0 ? QByteArray() : exchange(fd, *p);
        const RW_VAR *r = DataCom(&reply, reply.size()); // 0: retry pending, 1: done
        given += r->result != PLC_RESULT_DONE && r->result != PLC_RESULT_RETRY_PENDING;
        QByteArray data;
        if (writeStatus == PLC_COMPLETION_DONE && r->accessKind == PLC_ACCESS_READ &&
            r->result == PLC_RESULT_DONE &&
            GetRegisterData(nullptr, 7, setpoints.address, 1, data, 2) && data == value)
            ++readBack; // the written values, read back by a cyclic read
    }
    std::printf("write %s, read back %d times, %d connections, %d requests given up\n",
                writeStatus == PLC_COMPLETION_DONE ? "done" : "failed", readBack, connects, given);
    if (fd >= 0)
        close(fd);
    // Shutdown: the loop has stopped, so no callback can run; then unload.
    dlclose(plugin);
    return readBack == 20 ? 0 : 1;
}
