// Replies of any bytes and any length after every kind of frame: cyclic and
// one-shot reads, writes of every element kind (the byte write's read/write
// pair included), local and remote area, one or several stations, with
// retries and give-ups, while the host keeps queuing work between exchanges.
#include "fuzz_support.h"

namespace {

int nextTag = 1;

void queueWrite(fuzz::Loop &loop, FuzzedDataProvider &in) {
    const int type = in.ConsumeIntegralInRange(-1, 12);
    const QString address = fuzz::addressText(in);
    const int station = in.ConsumeIntegralInRange(0, 3);
    const std::string raw = in.ConsumeRandomLengthString(24);
    const int count = in.ConsumeIntegralInRange(-1, 24);
    const int tag = nextTag++;
    loop.d.SetRegisterData(QStringLiteral("w"), type, address, station,
                           QByteArray(raw.data(), int(raw.size())), count, tag, tag);
}

void queueOnceRead(fuzz::Loop &loop, FuzzedDataProvider &in) {
    RW_VAR var;
    var.regType = in.ConsumeIntegralInRange(-1, 12);
    var.address = fuzz::addressText(in);
    var.station = in.ConsumeIntegralInRange(0, 3);
    var.count = in.ConsumeIntegralInRange(-1, 300);
    var.nodeId = in.ConsumeIntegralInRange(0, 1);
    var.hostTag0 = nextTag;
    var.hostTag1 = nextTag++;
    loop.d.AddListOnceReadVar(&var, 0);
}

void rebuildPlan(fuzz::Loop &loop, FuzzedDataProvider &in) {
    QList<HOSTVAR> vars;
    for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n) {
        HOSTVAR v;
        v.regType = in.ConsumeIntegralInRange<quint8>(0, 12);
        v.station = in.ConsumeIntegralInRange<quint8>(0, 3);
        v.address = fuzz::addressText(in);
        v.count = in.ConsumeIntegralInRange(-1, 200);
        vars.append(v);
    }
    loop.d.ReCreatReadVarList(&vars);
}

void changeSettings(fuzz::Loop &loop, FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        loop.info.remoteMode = !loop.info.remoteMode;
        break;
    case 1:
        loop.info.multiStation = !loop.info.multiStation;
        break;
    case 2:
        loop.info.retryLimit = in.ConsumeIntegralInRange(-1, 3);
        break;
    default:
        loop.info.localNodeId = !loop.info.localNodeId;
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::Loop loop(in);
    for (int op = 0; op < 200 && in.remaining_bytes() > 0; ++op) {
        switch (in.ConsumeIntegralInRange(0, 9)) {
        case 0:
        case 1:
            queueWrite(loop, in);
            break;
        case 2:
            queueOnceRead(loop, in);
            break;
        case 3:
            rebuildPlan(loop, in);
            break;
        case 4:
            loop.d.EnCommStation(in.ConsumeIntegralInRange(-1, 3), in.ConsumeIntegralInRange(0, 2));
            break;
        case 5:
            changeSettings(loop, in);
            break;
        default:
            loop.exchange(&in);
            break;
        }
        loop.checkState();
    }
    loop.d.EnCommStation(-1, 0);
    loop.drain();
    return 0;
}
