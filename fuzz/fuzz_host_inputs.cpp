// Whatever a host may pass: address texts, register types, counts, stations
// and value bytes through the address conversion, one-shot reads, value
// writes and value reads; then the loop runs what was queued. Beyond "no
// crash": results and queue sizes are within their documented ranges, reads
// return the documented number of bytes and change no image, writes change
// only the registers they address.
#include "fuzz_support.h"

namespace {

// Anything from well-formed to hostile.
int anyInt(FuzzedDataProvider &in, int low, int high) {
    return in.ConsumeBool() ? in.ConsumeIntegralInRange(low, high) : in.ConsumeIntegral<int>();
}

QString anyAddress(FuzzedDataProvider &in) {
    if (in.ConsumeBool())
        return fuzz::addressText(in);
    const std::string raw = in.ConsumeRandomLengthString(24);
    return in.ConsumeBool() ? QString::fromUtf8(raw.data(), int(raw.size()))
                            : QString::fromLatin1(raw.data(), int(raw.size()));
}

// Bytes GetRegisterData returns for `count` elements of `regType`.
qint64 valueBytes(int regType, qint64 count) {
    if (count <= 0 || regType < 0 || regType > 11)
        return 0;
    switch (regType / 3) {
    case 0:
        return count;
    case 1:
    case 2:
        return 2 * count;
    default:
        return count == 1 ? 2 : 4 * (count / 2);
    }
}

void convertAddress(FuzzedDataProvider &in) {
    const int type = anyInt(in, -1, 12);
    const QString text = anyAddress(in);
    const int value = StringAddressToInt(type, text);
    if (type < 0 || type > 11)
        FUZZ_CHECK(value == 0);
    else if (type <= 2 && text.count(QLatin1Char('.')) != 1)
        FUZZ_CHECK(value == -1);
}

void readOnce(fuzz::Loop &loop, FuzzedDataProvider &in) {
    RW_VAR var;
    var.regType = anyInt(in, -1, 12);
    var.address = anyAddress(in);
    var.station = anyInt(in, 0, 3);
    var.count = anyInt(in, -1, 400);
    var.hostTag0 = in.ConsumeIntegral<int>();
    var.hostTag1 = in.ConsumeIntegral<int>();
    const int type = var.regType;
    const int before = loop.d.onceQueue.size();
    const int result = loop.d.AddListOnceReadVar(&var, 0);
    const int after = loop.d.onceQueue.size();
    FUZZ_CHECK(result == 0 || result == after);
    FUZZ_CHECK(after >= before);
    if (type < 0 || type > 11)
        return; // kept as the host gave it; the scheduler drops what it cannot frame
    for (int i = before; i < after; ++i) {
        const RW_VAR &queued = loop.d.onceQueue.at(i);
        FUZZ_CHECK(queued.regType == getPlcType(type));
        FUZZ_CHECK(queued.count >= 1 && queued.count <= loop.d.maxRegs());
    }
}

void writeValue(fuzz::Loop &loop, FuzzedDataProvider &in) {
    const int type = anyInt(in, -1, 12);
    const QString address = anyAddress(in);
    const int station = anyInt(in, 0, 3);
    const int count = anyInt(in, -1, 40);
    const std::string raw = in.ConsumeRandomLengthString(64);
    const int address0 = StringAddressToInt(type, address);
    fuzz::RegRanges allowed;
    if (loop.info.multiStation == 0)
        allowed.push_back(fuzz::writeRange(type, address0, count));
    const int queued = loop.d.writeQueue.size();
    const fuzz::Images before(loop.d);
    const int result = loop.d.SetRegisterData(QStringLiteral("v"), type, address, station,
                                              QByteArray(raw.data(), int(raw.size())), count,
                                              in.ConsumeIntegral<int>(), in.ConsumeIntegral<int>());
    before.expectChangesWithin(loop.d, allowed);
    FUZZ_CHECK(result >= 0 && result <= kQueueCap);
    if (result == 0 || loop.info.writeMode != 2)
        FUZZ_CHECK(loop.d.writeQueue.size() == queued);
    for (int i = queued; i < loop.d.writeQueue.size(); ++i) {
        const RW_VAR &w = loop.d.writeQueue.at(i);
        FUZZ_CHECK(w.accessKind == 1 && w.count >= 1);
        FUZZ_CHECK(getPlcType(w.regType) == 1 || getPlcType(w.regType) == 2);
    }
}

void readValue(fuzz::Loop &loop, FuzzedDataProvider &in) {
    const int type = anyInt(in, -1, 12);
    const QString address = anyAddress(in);
    const int count = in.ConsumeBool() ? in.ConsumeIntegralInRange(-1, 70000)
                                       : in.ConsumeIntegral<int>();
    const QByteArray marker("untouched");
    QByteArray data = marker;
    const fuzz::Images before(loop.d);
    const int result = loop.d.GetRegisterData(type, address, anyInt(in, 0, 3), data, count);
    before.expectChangesWithin(loop.d, {});
    if (result == 0) {
        FUZZ_CHECK(data == marker);
        return;
    }
    FUZZ_CHECK(result == 1);
    FUZZ_CHECK(count <= 65536);
    FUZZ_CHECK(data.size() == valueBytes(type, count));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::Loop loop(in);
    for (int op = 0; op < 64 && in.remaining_bytes() > 0; ++op) {
        switch (in.ConsumeIntegralInRange(0, 4)) {
        case 0:
            convertAddress(in);
            break;
        case 1:
            readOnce(loop, in);
            break;
        case 2:
            writeValue(loop, in);
            break;
        case 3:
            readValue(loop, in);
            break;
        default:
            loop.exchange(nullptr);
            break;
        }
        loop.checkState();
    }
    loop.drain();
    return 0;
}
