// The Modbus TCP side of the simulated PLC.
#ifndef SIM_MODBUS_SERVICE_H
#define SIM_MODBUS_SERVICE_H

class FaultPlan;
class Memory;

// Serves Modbus TCP requests on an accepted connection until the peer closes
// it, a request cannot be received, or a close fault ends it. Does not close
// the socket.
void serveModbus(int fd, Memory &memory, FaultPlan &plan);

#endif
