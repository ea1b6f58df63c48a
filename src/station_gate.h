// Stations the host has switched off. Their queued requests are dropped and
// their cyclic blocks skipped as they come to the head of their queue; any
// host thread may switch a station while the communication thread asks.
#ifndef STATION_GATE_H
#define STATION_GATE_H

#include "driver_lock.h"

#include <QSet>

class StationGate {
public:
    void switchOff(int station) {
        DriverLock lock(mutex_);
        off_.insert(station);
    }
    void switchOn(int station) {
        DriverLock lock(mutex_);
        off_.remove(station);
    }
    void switchAllOn() {
        DriverLock lock(mutex_);
        off_.clear();
    }
    bool isOff(int station) {
        DriverLock lock(mutex_);
        return off_.contains(station);
    }

private:
    QMutex mutex_;
    QSet<int> off_;
};

#endif // STATION_GATE_H
