#include "remote_service.h"

#include "faults.h"
#include "memory.h"

#include <sys/socket.h>

#include <map>

namespace {

constexpr size_t kRecordHeader = 21; // the bytes in front of the value

enum Status : uint8_t { kOk = 0, kBadAddress = 2, kBadArea = 3, kDeviceFailure = 4 };
constexpr size_t kStatusOffset = 5; // in a reply

uint32_t bigEndian(const uint8_t *bytes, int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i)
        value = value << 8 | bytes[i];
    return value;
}

void appendBigEndian(Bytes &out, uint32_t value, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

uint8_t sum8(const uint8_t *bytes, size_t size) {
    uint8_t sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

struct Record {
    uint8_t hostTag0, accessKind, nodeId, station;
    uint16_t regType;
    uint32_t regAddr;
    uint16_t count;
    const uint8_t *value; // write values, valueLength(regType, count) bytes

    explicit Record(const uint8_t *bytes)
        : hostTag0(bytes[1]), accessKind(bytes[2]), nodeId(bytes[3]), station(bytes[4]),
          regType(static_cast<uint16_t>(bigEndian(bytes + 5, 2))), regAddr(bigEndian(bytes + 7, 4)),
          count(static_cast<uint16_t>(bigEndian(bytes + 11, 2))), value(bytes + kRecordHeader) {}

    bool isWrite() const { return accessKind == 1; }
};

enum class Framing { Incomplete, Invalid, Complete };

// Whether the buffer starts with a whole record, and its size. A record whose
// length byte or sum does not match, or whose value length cannot be known,
// is invalid.
Framing frameRecord(const Bytes &buffer, size_t &size) {
    if (buffer.size() < kRecordHeader)
        return Framing::Incomplete;
    const Record header(buffer.data());
    const long valueBytes = header.isWrite() ? valueLength(header.regType, header.count) : 0;
    if (valueBytes < 0)
        return Framing::Invalid;
    size = kRecordHeader + static_cast<size_t>(valueBytes) + 1;
    if (buffer[0] != static_cast<uint8_t>(size))
        return Framing::Invalid;
    if (buffer.size() < size)
        return Framing::Incomplete;
    return sum8(buffer.data(), size - 1) == buffer[size - 1] ? Framing::Complete : Framing::Invalid;
}

Bytes replyHeader(const Record &record, Status status) {
    return {0, record.hostTag0, record.accessKind, record.nodeId, record.station, status};
}

Bytes finish(Bytes reply) {
    reply[0] = static_cast<uint8_t>(reply.size());
    return reply;
}

Status checkRead(const Record &record, UnitMemory &unit) {
    if (record.regType > kAreaExtended)
        return kBadArea;
    const RegisterBlock block = unit.area(record.regType);
    return uint64_t{record.regAddr} + record.count <= static_cast<uint64_t>(block.size) ? kOk : kBadAddress;
}

Bytes readReply(const Record &record, UnitMemory &unit, bool deviceFailure) {
    const Status status = deviceFailure ? kDeviceFailure : checkRead(record, unit);
    const uint16_t count = status == kOk ? record.count : 0;
    Bytes reply = replyHeader(record, status);
    reply.push_back(static_cast<uint8_t>(record.regType));
    appendBigEndian(reply, count, 2);
    const RegisterBlock block = unit.area(record.regType);
    for (uint32_t i = 0; i < count; ++i)
        appendBigEndian(reply, block.regs[record.regAddr + i], 2);
    return finish(reply);
}

// Stores the write, or refuses it with no reply and the reason in `refusal`.
Bytes writeReply(const Record &record, UnitMemory &unit, bool deviceFailure, std::string &refusal) {
    if (deviceFailure)
        refusal = "device failure";
    if (deviceFailure || !storeElements(unit, record.regType, record.regAddr, record.count, record.value, refusal))
        return {};
    Bytes reply = replyHeader(record, kOk);
    appendBigEndian(reply, record.regType, 2);
    appendBigEndian(reply, record.regAddr, 4);
    return finish(reply);
}

std::string describe(const Record &record) {
    return "station " + std::to_string(record.station) + (record.isWrite() ? " write type " : " read area ") +
           std::to_string(record.regType) + " address " + std::to_string(record.regAddr) + " count " +
           std::to_string(record.count);
}

std::string replyText(const Bytes &reply, const std::string &refusal) {
    static const std::map<int, const char *> kStatusNames = {
        {kBadAddress, "address outside the area"}, {kBadArea, "area outside 0..2"}, {kDeviceFailure, "device failure"}};
    if (reply.empty())
        return "refused, no reply: " + refusal;
    const int status = reply[kStatusOffset];
    return status == kOk ? "ok" : "status " + std::to_string(status) + " " + kStatusNames.at(status);
}

// Serves one valid record. Fails when the connection is to be closed.
bool serveRecord(const Record &record, int fd, const std::string &client, ServiceContext &context,
                 std::string &error) {
    Memory &memory = context.memory;
    const std::string request = context.log.enabled() ? client + " " + describe(record) : "";
    if (record.station == 0) { // every unit stores a broadcast write; nobody answers
        if (record.isWrite()) {
            const auto guard = memory.lock();
            std::string ignored;
            for (int id : memory.unitIds())
                storeElements(*memory.unit(id), record.regType, record.regAddr, record.count, record.value, ignored);
        }
        context.log.write(request + (record.isWrite() ? ": broadcast, stored in every unit" : ": broadcast, ignored"));
        return true;
    }
    UnitMemory *unit = memory.unit(record.station);
    if (!unit) {
        context.log.write(request + ": station not served, no answer");
        return true;
    }
    std::string refusal;
    const auto build = [&](bool deviceFailure) {
        const auto guard = memory.lock();
        return record.isWrite() ? writeReply(record, *unit, deviceFailure, refusal)
                                : readReply(record, *unit, deviceFailure);
    };
    Answer answer;
    const bool keepOpen = respond(fd, context.faults, build, answer, error);
    if (context.log.enabled())
        context.log.write(request + ": " + outcome(answer, replyText(answer.reply, refusal)));
    return keepOpen;
}

} // namespace

void serveRemote(int fd, const std::string &client, ServiceContext &context) {
    Bytes buffer;
    uint8_t chunk[4096];
    for (;;) {
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            context.log.write(client + " disconnected");
            return;
        }
        buffer.insert(buffer.end(), chunk, chunk + got);
        size_t size = 0;
        Framing framing;
        while ((framing = frameRecord(buffer, size)) == Framing::Complete) {
            std::string end;
            if (!serveRecord(Record(buffer.data()), fd, client, context, end)) {
                context.log.write(client + " " + end);
                return;
            }
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<long>(size));
        }
        if (framing == Framing::Invalid) {
            context.log.write(client + " bad record (length byte, sum or type): " + std::to_string(buffer.size()) +
                              " bytes dropped");
            buffer.clear();
        }
    }
}
