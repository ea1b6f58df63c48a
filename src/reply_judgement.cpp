// Reply judgement: whether a reply is the answer the frame in flight waits
// for, storing its data, retrying or giving up, and telling the host.
#include "driver.h"

#include "driver_lock.h"
#include "modbus_protocol.h"

#include <QSet>

#include <algorithm>
#include <cstring>

namespace {

// What a reply is judged to be. Frames of variables that another node owns
// (nodeId other than ComInfo::localNodeId) are judged in the remote family.
enum Judgement : int {
    Accepted = 0,
    InvalidAccess = 1, // the record is neither a read nor a write
    NoReply = 2,
    BadReply = 3, // wrong length or contents, or an exception response
    RemoteAccepted = 4,
    RemoteInvalidAccess = 5,
    RemoteNoReply = 6,
    RemoteBadReply = 7,
};
constexpr int kRemoteFamily = RemoteAccepted - Accepted;

// The host's result code of each judgement; failures add an offset.
constexpr int kResultCode[8] = {
    PLC_RESULT_DONE,        PLC_RESULT_INVALID_ACCESS,        PLC_RESULT_NO_REPLY,
    PLC_RESULT_BAD_REPLY,   PLC_RESULT_REMOTE_DONE,           PLC_RESULT_REMOTE_INVALID_ACCESS,
    PLC_RESULT_REMOTE_NO_REPLY, PLC_RESULT_REMOTE_BAD_REPLY};

enum class ModbusCheck { Bad, WriteConfirmed, Plain };

bool isWriteFunction(quint8 function) {
    using modbus::FunctionCode;
    return function == quint8(FunctionCode::WriteSingleCoil) ||
           function == quint8(FunctionCode::WriteSingleRegister) ||
           function == quint8(FunctionCode::WriteMultipleRegisters);
}

bool isReadFunction(quint8 function) {
    return function == quint8(modbus::FunctionCode::ReadHoldingRegisters) ||
           function == quint8(modbus::FunctionCode::ReadInputRegisters);
}

// A reply of 8 bytes or more must be the answer to this request: the same
// transaction identifier, protocol identifier 0 and the same function code;
// with the exception flag set it is a refusal, even when cut short. A write
// is confirmed only by the echo of its function, address and value or
// quantity; a read's byte count must be twice the registers asked for.
ModbusCheck checkModbusReply(const Protocol &request, const QByteArray &reply, int length) {
    using namespace modbus;
    const int n = int(std::min<qint64>(length, reply.size()));
    const char *answer = reply.constData();
    const char *asked = request.frame.constData();
    const quint8 function = quint8(asked[kFunctionOffset]);
    if (n > kFunctionOffset) {
        const quint8 answered = quint8(answer[kFunctionOffset]);
        if (getUint16(answer, kTransactionIdOffset) != getUint16(asked, kTransactionIdOffset) ||
            getUint16(answer, kProtocolIdOffset) != 0 || (answered & ~kExceptionFlag) != function ||
            (answered & kExceptionFlag))
            return ModbusCheck::Bad;
    }
    if (isWriteFunction(function)) {
        const int echoed = kWriteReplyLength - kFunctionOffset; // function, address, value
        return length == kWriteReplyLength && n == kWriteReplyLength &&
                       std::memcmp(answer + kFunctionOffset, asked + kFunctionOffset, echoed) == 0
                   ? ModbusCheck::WriteConfirmed
                   : ModbusCheck::Bad;
    }
    if (isReadFunction(function) && n > kReplyByteCountOffset &&
        quint8(answer[kReplyByteCountOffset]) != 2 * getUint16(asked, kQuantityOffset))
        return ModbusCheck::Bad;
    return ModbusCheck::Plain;
}

bool sameBlock(const RW_VAR &a, const RW_VAR &b) {
    return a.station == b.station && a.regType == b.regType && a.regAddr == b.regAddr &&
           a.count == b.count;
}

quint64 hostKeys(const RW_VAR &var) {
    return quint64(quint32(var.hostTag0)) << 32 | quint32(var.hostTag1);
}

} // namespace

// Judges the reply to the first prepared frame, stores its data, retries or
// gives up, advances the queue that was served and reports to the host.
RW_VAR *ModbusTcpDriver::handleReply(QByteArray *reply, int length) {
    if (frames_.isEmpty() || !settings_) {
        resultRecord_.result = PLC_RESULT_DONE;
        return &resultRecord_;
    }
    static const QByteArray noBytes;
    const int judgement = judgeReply(reply ? *reply : noBytes, reply ? length : 0);
    const int result = resultCode(judgement);
    const bool ok = judgement == Accepted || judgement == RemoteAccepted;
    const RW_VAR served = frames_.first().protocol.var;
    const bool local = served.nodeId == settings_->localNodeId;
    lastExchangeFailed_ = !ok;
    bool givenUp = false;
    if (ok) {
        frames_.removeFirst();
        ++settings_->framesDone;
        settings_->retryCount = 0; // the limit counts the consecutive failures of one frame
    } else if (++settings_->retryCount > settings_->retryLimit) {
        settings_->retryCount = 0;
        frames_.clear(); // further frames of the same request go too
        givenUp = true;
    }

    DriverLock lock(queueMutex_);
    if (ok && settings_->framesDone < settings_->framesExpected) { // its next frame is queued
        resultRecord_.result = result;
        return &resultRecord_;
    }
    if (ok && local && settings_->cycleDone == 0 && ++cycleProgress_ > cyclicBlocks_.size()) {
        cycleProgress_ = 0;
        settings_->cycleDone = 1;
    }
    if (!ok) {
        cycleProgress_ = 0;
        settings_->cycleDone = 0;
        if (!givenUp) { // the frame stays first and is sent again
            resultRecord_.result = PLC_RESULT_RETRY_PENDING;
            return &resultRecord_;
        }
    }
    const bool told = finishRequest(served, local, ok);
    if (givenUp)
        giveUp(told);
    resultRecord_.result = result;
    return &resultRecord_;
}

int ModbusTcpDriver::judgeReply(const QByteArray &reply, int length) {
    const PendingFrame &frame = frames_.first();
    const Protocol &p = frame.protocol;
    const int family = p.var.nodeId == settings_->localNodeId ? 0 : kRemoteFamily;
    if (length == 0 && p.replyLen != 0)
        return family + NoReply;
    bool lengthAgrees = length == p.replyLen || p.replyLen == -1;
    if (frame.modbus && length != 0) {
        const ModbusCheck check = checkModbusReply(p, reply, length);
        if (check == ModbusCheck::Bad)
            return family + BadReply;
        // The echo confirms a write even where no reply was expected (unit 0).
        lengthAgrees = lengthAgrees || check == ModbusCheck::WriteConfirmed;
    }
    if (!lengthAgrees) // a remote-area record of a write is confirmed by any reply
        return family + (!frame.modbus && p.var.accessKind == PLC_ACCESS_WRITE ? Accepted : BadReply);
    if (p.var.station != 0 && p.var.accessKind != PLC_ACCESS_READ && p.var.accessKind != PLC_ACCESS_WRITE)
        return family + InvalidAccess;
    if (family == 0) {
        const bool carriesData = p.var.station != 0 && p.var.accessKind == PLC_ACCESS_READ;
        return !carriesData || storeReplyData(reply) ? Accepted : BadReply;
    }
    // Another node's area: only the read half of a byte write stores data.
    if (p.var.aux0 != kByteWriteReadHalf)
        return RemoteAccepted;
    if (!storeReplyData(reply))
        return RemoteBadReply;
    return settings_->framesDone == 1 ? RemoteAccepted : Accepted;
}

bool ModbusTcpDriver::storeReplyData(const QByteArray &reply) {
    DriverLock lock(storeMutex_);
    return storeReply(reply);
}

// Failures carry hostTag0 + 1 of the frame judged (1 outside 0..11).
int ModbusTcpDriver::resultCode(int judgement) const {
    if (judgement == Accepted || judgement == RemoteAccepted)
        return kResultCode[judgement];
    const int tag = frames_.first().protocol.var.hostTag0;
    return kResultCode[judgement] + (tag >= 0 && tag <= 11 ? tag + 1 : 1);
}

// Ends the request that was served. Several records with the same host keys
// make one host request: its success is reported once, by the last of them;
// a failure is reported at once. A one-shot read of another node's area ends
// silently. A cyclic block goes to the end of the list, unless a rebuild
// has replaced the list meanwhile. True when the host was told.
bool ModbusTcpDriver::finishRequest(const RW_VAR &served, bool local, bool ok) {
    QList<RW_VAR> *queue = serving_ == Serving::Write      ? &writes_
                           : serving_ == Serving::OnceRead ? &onceReads_
                                                           : nullptr;
    if (serving_ == Serving::Cyclic) {
        resultRecord_ = served;
        resultRecord_.value.clear();
        if (!cyclicBlocks_.isEmpty() && sameBlock(cyclicBlocks_.first(), served))
            cyclicBlocks_.move(0, cyclicBlocks_.size() - 1);
    }
    if (!queue || queue->isEmpty())
        return false;
    const RW_VAR &head = queue->first();
    const bool reports = serving_ == Serving::Write || local;
    const bool hasTwin = std::any_of(queue->cbegin() + 1, queue->cend(),
                                     [&](const RW_VAR &v) { return sameHostKeys(v, head); });
    const bool told = reports && (!ok || !hasTwin);
    if (told)
        reportCompletion(head, ok ? PLC_COMPLETION_DONE : PLC_COMPLETION_FAILED);
    resultRecord_ = head;
    resultRecord_.value.clear();
    queue->removeFirst();
    return told;
}

// After a request is given up, queued work that would fail the same way goes
// too: one-shot reads of the same variable, and the pending writes of its
// station (all of them with a single station). Each dropped write is reported
// as failed, once per host request, unless the host was just told.
void ModbusTcpDriver::giveUp(bool told) {
    if (notifyCallback_)
        notifyCallback_(QList<RW_VAR>(), resultRecord_.hostTag0, 1);
    const RW_VAR failed = resultRecord_;
    const auto sameStation = [&](const RW_VAR &v) { return !multiStation() || v.station == failed.station; };
    onceReads_.erase(std::remove_if(onceReads_.begin(), onceReads_.end(),
                                    [&](const RW_VAR &v) { return sameStation(v) && sameHostKeys(v, failed); }),
                     onceReads_.end());
    QSet<quint64> reported; // host keys of the requests reported failed
    if (told)
        reported.insert(hostKeys(failed));
    for (int i = 0; i < writes_.size();) {
        const RW_VAR &write = writes_.at(i);
        if (!sameStation(write)) {
            ++i;
            continue;
        }
        if (!reported.contains(hostKeys(write))) {
            reported.insert(hostKeys(write));
            reportCompletion(write, PLC_COMPLETION_FAILED);
        }
        writes_.removeAt(i);
    }
}
