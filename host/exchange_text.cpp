#include "exchange_text.h"

#include "modbus_protocol.h"
#include "register_types.h"
#include "variables.h"

#include <cstdio>

namespace plchost {

namespace {

// Labels named in a line before the rest are only counted.
const size_t kLabelsShown = 3;
// Type codes run area by area within each element kind: kind * 3 + area.
const int kAreas = 3;

std::string number(int n) { return std::to_string(n); }

std::string span(int first, int count) {
    return count > 1 ? number(first) + ".." + number(first + count - 1) : number(first);
}

std::string bitText(int bit) { return number(bit / 8) + "." + number(bit % 8); }

std::string hexBytes(const QByteArray &bytes) {
    std::string text;
    char two[4];
    for (char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(c));
        text += (text.empty() ? "" : " ") + std::string(two);
    }
    return text;
}

int byteAt(const QByteArray &bytes, int offset) { return static_cast<unsigned char>(bytes[offset]); }

} // namespace

std::string requestText(const RW_VAR &request, const std::vector<std::string> &labels) {
    std::string text;
    if (request.accessKind == PLC_ACCESS_WRITE) {
        const bool bits = plc::isKnownType(request.regType) &&
                          plc::kindOf(request.regType) == plc::ElementKind::Bit;
        text = "write " + std::string(typeName(request.regType)) + " " +
               (bits ? bitText(request.regAddr) : span(request.regAddr, request.count));
    } else {
        // Queued reads carry their area as the type, and count registers.
        const int wordType = static_cast<int>(plc::ElementKind::Word) * kAreas + request.regType;
        text = "read " + std::string(typeName(wordType)) + " " + span(request.regAddr, request.count);
    }
    for (size_t i = 0; i < labels.size() && i < kLabelsShown; ++i)
        text += (i == 0 ? " (" : ", ") + labels[i];
    if (labels.size() > kLabelsShown)
        text += ", " + number(static_cast<int>(labels.size() - kLabelsShown)) + " more";
    return labels.empty() ? text : text + ")";
}

std::string wireProblem(Io io, const QByteArray &partialReply, int timeoutMs) {
    switch (io) {
    case Io::TimedOut:
        return partialReply.isEmpty()
                   ? "no reply within " + number(timeoutMs) + " ms"
                   : "incomplete reply within " + number(timeoutMs) + " ms (" + hexBytes(partialReply) + ")";
    case Io::Closed:
        return "connection lost (closed by the PLC)";
    case Io::Malformed:
        return "wrong reply (not a Modbus TCP header: " + hexBytes(partialReply) + ")";
    case Io::Failed:
        return "connection failed";
    case Io::Ok:
    case Io::Stopped:
        break;
    }
    return {};
}

ReplyVerdict judgeRefusedReply(const QByteArray &frame, int replyLen, const QByteArray &reply,
                               bool remote, int result) {
    using namespace modbus;
    const std::string length = "wrong reply (" + number(reply.size()) + " bytes where " +
                               number(replyLen) + " were expected)";
    const bool lengthFits = replyLen < 0 || reply.size() == replyLen;
    const std::string refused = "reply refused by the driver (result " + number(result) + ")";
    if (remote || reply.size() <= kFunctionOffset || frame.size() <= kFunctionOffset)
        return {lengthFits ? refused : length};
    const int transaction = getUint16(reply.constData(), kTransactionIdOffset);
    const int sent = getUint16(frame.constData(), kTransactionIdOffset);
    if (transaction != sent)
        return {"out-of-step reply (transaction " + number(transaction) + " to request " +
                number(sent) + ")"};
    const int unit = byteAt(reply, kUnitIdOffset), askedUnit = byteAt(frame, kUnitIdOffset);
    if (unit != askedUnit)
        return {"wrong reply (from unit " + number(unit) + " to unit " + number(askedUnit) + ")"};
    const int function = byteAt(reply, kFunctionOffset), asked = byteAt(frame, kFunctionOffset);
    if (function == (asked | kExceptionFlag) && reply.size() == kExceptionReplyLength) {
        const int code = byteAt(reply, kExceptionCodeOffset);
        return {"exception " + number(code) + " (" + exceptionName(code) + ")", true};
    }
    if (function != asked)
        return {"wrong reply (function " + number(function) + " to function " + number(asked) + ")"};
    return {lengthFits ? refused : length};
}

} // namespace plchost
