// Any variable lists through the read-list rebuild, then passes of the cyclic
// loop with a healthy peer. The plan stays within the registers the wire can
// reach (with several stations the rebuild's block count shows it), every
// block frame reads registers of its own area and station within the planned
// variables, and a pass over a plan whose every block can be answered
// completes the cycle.
#include "fuzz_support.h"

namespace {

// Exchanges of one pass at most; longer plans are checked by their frames.
constexpr qint64 kLongestPass = 64;

void changeSettings(ComInfo &info, FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: info.multiStation = !info.multiStation; break;
    case 1: info.maxRegsPerFrame = fuzz::anyCount(in, 32, 125, 256); break;
    case 2: info.defaultStation = fuzz::anyInt(in, 1, 3); break;
    default: break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::Host host(in, false);
    for (int rebuild = in.ConsumeIntegralInRange(1, 3); rebuild > 0; --rebuild) {
        changeSettings(host.info, in);
        QList<HOSTVAR> vars;
        for (int n = in.ConsumeIntegralInRange(0, 16); n > 0; --n)
            vars.append(fuzz::anyVariable(in, 128));
        const bool settled = !host.pending();
        const fuzz::PlanFacts plan = host.rebuildReadList(vars);
        // A pass takes one exchange per block and one more; with one station
        // there are no more blocks than variables.
        const qint64 pass = (host.info.multiStation ? plan.blocks : plan.usable) + 1;
        for (qint64 step = 0; step < std::min(pass, kLongestPass); ++step)
            host.exchange(nullptr);
        if (settled && plan.answerable && pass <= kLongestPass)
            FUZZ_CHECK(host.info.cycleDone == 1);
    }
    host.drain();
    return 0;
}
