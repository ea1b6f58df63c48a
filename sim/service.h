// What the services of every connection share: the memory, the fault plan
// and the request log.
#ifndef SIM_SERVICE_H
#define SIM_SERVICE_H

#include <cstdio>
#include <string>

class FaultPlan;
class Memory;

// --log: one line per request and per connection event, to standard error.
class RequestLog {
public:
    explicit RequestLog(bool enabled) : enabled_(enabled) {}

    // Callers test this before composing a line, so that serving without
    // --log costs nothing.
    bool enabled() const { return enabled_; }
    // The line leaves in one write, so lines of different connections never mix.
    void write(const std::string &line) const {
        if (enabled_)
            std::fprintf(stderr, "%s\n", line.c_str());
    }

private:
    const bool enabled_;
};

struct ServiceContext {
    Memory &memory;
    FaultPlan &faults;
    const RequestLog &log;
};

#endif
