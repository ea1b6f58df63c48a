// Arbitrary variable lists through the read-list rebuild, then passes of the
// cyclic loop with healthy replies. The plan holds only blocks of the three
// areas; with several stations no block is longer than a request may be; each
// frame is well formed, replies change only the block they answer, and a full
// pass completes when every block can be framed.
#include "fuzz_support.h"

namespace {

HOSTVAR anyVariable(FuzzedDataProvider &in) {
    HOSTVAR v;
    v.regType = in.ConsumeIntegralInRange<quint8>(0, 14);
    if (in.ConsumeIntegralInRange(0, 7) == 0)
        v.regType = in.ConsumeIntegral<quint8>();
    v.station = in.ConsumeIntegralInRange(0, 4) == 0 ? in.ConsumeIntegral<quint8>()
                                                     : in.ConsumeIntegralInRange<quint8>(1, 3);
    v.address = fuzz::addressText(in);
    v.label = QStringLiteral("p");
    v.count = in.ConsumeBool() ? in.ConsumeIntegralInRange(-2, 300)
                               : in.ConsumeIntegralInRange(-100000, 100000);
    return v;
}

void checkPlan(const fuzz::Loop &loop, int result) {
    const Modbus_RTU_Master &d = loop.d;
    FUZZ_CHECK(result == (loop.info.multiStation ? d.readList.size() : 0));
    for (const RW_VAR &block : d.readList) {
        FUZZ_CHECK(block.regType >= 0 && block.regType <= 2);
        FUZZ_CHECK(block.count >= 1);
        FUZZ_CHECK(block.accessKind == 0);
        if (loop.info.multiStation)
            FUZZ_CHECK(block.count <= d.maxRegs());
        else
            FUZZ_CHECK(block.station == loop.info.defaultStation);
    }
}

bool everyBlockFramable(const Modbus_RTU_Master &d) {
    for (const RW_VAR &block : d.readList)
        if (block.station == 0)
            return false;
    return !d.readList.isEmpty();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::Loop loop(in);
    for (int rebuild = in.ConsumeIntegralInRange(1, 3); rebuild > 0; --rebuild) {
        QList<HOSTVAR> vars;
        for (int n = in.ConsumeIntegralInRange(0, 40); n > 0; --n)
            vars.append(anyVariable(in));
        checkPlan(loop, loop.d.ReCreatReadVarList(&vars));
        FUZZ_CHECK(loop.info.cycleDone == 0 || loop.d.readList.isEmpty());

        // A pass needs one exchange more than there are blocks; a pending
        // frame from before the rebuild may come first. Plans of many
        // thousand blocks (long variables cut into one-register pieces) are
        // checked by the rebuild alone: a pass over them takes too long here.
        if (loop.d.readList.size() > 4096)
            continue;
        const int pass = loop.d.readList.size() + 2;
        for (int step = 0; step < pass; ++step)
            loop.exchange(nullptr);
        if (everyBlockFramable(loop.d))
            FUZZ_CHECK(loop.info.cycleDone == 1);
    }
    return 0;
}
