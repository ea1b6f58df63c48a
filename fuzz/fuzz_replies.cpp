// Replies of any bytes and any length after every kind of frame: cyclic and
// one-shot reads, each kind of write (the byte write's read/write pair
// included), Modbus TCP and remote-area records, one or several stations,
// with retries and give-ups, while the host keeps queuing requests, switching
// stations and changing settings between exchanges.
#include "fuzz_support.h"

namespace {

using fuzz::anyInt;

// A record as a host may queue it; `types` is the typical highest type.
RW_VAR anyRecord(const fuzz::Host &host, FuzzedDataProvider &in, int accessKind, int types) {
    RW_VAR v;
    v.accessKind = in.ConsumeIntegralInRange(0, 15) == 0 ? anyInt(in, 0, 1) : accessKind;
    v.nodeId =
        in.ConsumeIntegralInRange(0, 3) == 0 ? !host.info.localNodeId : host.info.localNodeId;
    v.regType = anyInt(in, 0, types);
    v.address = fuzz::addressText(in);
    v.regAddr = anyInt(in, 0, 9000);
    v.station = anyInt(in, 0, 3);
    v.count = fuzz::anyCount(in, 1, 130);
    v.value = fuzz::anyBytes(in, 32);
    return v;
}

void writeValues(fuzz::Host &host, FuzzedDataProvider &in) {
    const int type = anyInt(in, 0, 11);
    const QString address = fuzz::addressText(in);
    const int station = anyInt(in, 0, 3);
    const QByteArray value = fuzz::anyBytes(in, 24);
    host.writeValues(type, address, station, value, fuzz::anyCount(in, 1, 24));
}

void rebuildReadList(fuzz::Host &host, FuzzedDataProvider &in) {
    QList<HOSTVAR> vars;
    for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n)
        vars.append(fuzz::anyVariable(in, 256)); // long plans are fuzz_plans' part
    host.rebuildReadList(vars);
}

void changeSettings(ComInfo &info, FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: info.remoteMode = !info.remoteMode; break;
    case 1: info.multiStation = !info.multiStation; break;
    case 2: info.retryLimit = anyInt(in, -1, 3); break;
    case 3: info.writeMode = anyInt(in, 0, 2); break;
    case 4: info.maxRegsPerFrame = fuzz::anyCount(in, 32, 125); break;
    default: info.defaultStation = anyInt(in, 0, 3); break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::Host host(in, true);
    for (int op = 0; op < 200 && in.remaining_bytes() > 0; ++op) {
        switch (in.ConsumeIntegralInRange(0, 11)) {
        case 0: writeValues(host, in); break;
        case 1: {
            const int mode = in.ConsumeBool() ? PLC_ADD_AS_IS : PLC_ADD_MERGED;
            host.queueWrite(anyRecord(host, in, PLC_ACCESS_WRITE, 11), mode);
            break;
        }
        case 2: {
            const bool asIs = in.ConsumeBool(); // as is: already in register terms
            host.queueOnceRead(anyRecord(host, in, PLC_ACCESS_READ, asIs ? 2 : 11),
                               asIs ? PLC_ADD_AS_IS : PLC_ADD_MERGED);
            break;
        }
        case 3: host.appendCyclicBlock(anyRecord(host, in, PLC_ACCESS_READ, 2)); break;
        case 4: rebuildReadList(host, in); break;
        case 5: {
            const int station = anyInt(in, -1, 3);
            host.d.switchStation(station, anyInt(in, 0, 1));
            break;
        }
        case 6: changeSettings(host.info, in); break;
        default: host.exchange(&in); break;
        }
    }
    host.drain();
    return 0;
}
