// The Modbus TCP side of the simulated PLC.
#ifndef SIM_MODBUS_SERVICE_H
#define SIM_MODBUS_SERVICE_H

#include "faults.h"
#include "service.h"

#include <modbus/modbus.h>

#include <mutex>
#include <string>

struct UnitMemory;

// Frames each request by its MBAP header and refuses what libmodbus must
// not see (unserved functions, PDUs too short or too long for their
// function); libmodbus builds the other replies.
class ModbusService {
public:
    explicit ModbusService(ServiceContext &context) : context_(context) {}
    ~ModbusService();
    ModbusService(const ModbusService &) = delete;
    ModbusService &operator=(const ModbusService &) = delete;

    // Prepares the libmodbus context that builds the replies.
    bool open(std::string &error);
    // Serves requests on an accepted connection (`client` names the peer in
    // the log) until the peer closes it, a request cannot be framed, or a
    // close fault ends it. Does not close the socket.
    void serve(int fd, const std::string &client);

private:
    bool serveRequest(int fd, const uint8_t *adu, int length, const std::string &client, std::string &error);
    Bytes normalReply(UnitMemory &unit, const uint8_t *adu, int length);
    Bytes writeCoil(UnitMemory &unit, const uint8_t *adu, int length);
    Bytes captureReply(const uint8_t *adu, int length, modbus_mapping_t *view);
    bool broadcastWrite(const uint8_t *adu, int length);

    ServiceContext &context_;
    // modbus_reply() sends a reply to ctx_'s socket, one end of this pair;
    // it is read back from the other end, so that it is sent outside the
    // memory lock and the fault modes can delay, split or cut it.
    modbus_t *ctx_ = nullptr;
    int capture_[2] = {-1, -1};
    std::mutex captureMutex_;
};

#endif
