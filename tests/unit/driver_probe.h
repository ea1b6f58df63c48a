// The unit tests' one view of a driver's private state: the three request
// queues, the register store and the two locks. Everything else the tests
// observe through the public members, as a host does.
#ifndef DRIVER_PROBE_H
#define DRIVER_PROBE_H

#include "driver.h"

class DriverProbe {
public:
    explicit DriverProbe(ModbusTcpDriver &driver) : d_(driver) {}

    QList<RW_VAR> &writes() { return d_.writes_; }
    QList<RW_VAR> &onceReads() { return d_.onceReads_; }
    QList<RW_VAR> &cyclicBlocks() { return d_.cyclicBlocks_; }

    // Area 0..2 of the store as the current mode sees it.
    RegisterArea area(int station, int area) { return d_.store_.area(d_.multiStation(), station, area); }
    qint64 stationRegistersAllocated() const { return d_.store_.stations().allocatedRegisters(); }

    QMutex &queueMutex() { return d_.queueMutex_; }
    QMutex &storeMutex() { return d_.storeMutex_; }

private:
    ModbusTcpDriver &d_;
};

#endif // DRIVER_PROBE_H
