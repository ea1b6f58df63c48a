// The remote-area responder: self-describing records instead of Modbus TCP.
//
// Request record (multi-byte fields high-order byte first):
//   0 total length mod 256, 1 hostTag0, 2 accessKind (1 write, else read),
//   3 nodeId, 4 station, 5-6 regType, 7-10 regAddr, 11-12 count,
//   13-16 aux0, 17-20 aux1, [value bytes of a write], 8-bit sum of all before.
// A read is 22 bytes; a write carries the value length its type and count
// imply (bit and byte 1 per element, word 2, double word 4).
//
// Replies start with the same six bytes: 0 total length mod 256, 1 hostTag0,
// 2 accessKind, 3 nodeId, 4 station, 5 status (0 ok, 2 address outside the
// area, 3 area outside 0..2, 4 device failure).
//   read:  6 area, 7-8 number of registers that follow, 9.. registers, high
//          byte first (9 + 2 x count bytes; only the header on failure)
//   write: 6-7 regType, 8-11 regAddr (12 bytes, status always 0)
// The driver judges a write by the arrival of its reply alone, so a refused
// write gets no reply at all.
#ifndef SIM_REMOTE_SERVICE_H
#define SIM_REMOTE_SERVICE_H

#include "service.h"

#include <string>

// Serves remote-area records on an accepted connection (`client` names the
// peer in the log) until the peer closes it or a close fault ends it. Does
// not close the socket.
void serveRemote(int fd, const std::string &client, ServiceContext &context);

#endif
