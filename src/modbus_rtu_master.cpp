// The driver object, the request scheduler and the reply handling.
#include "modbus_rtu_master.h"

#include <QSet>

#include <algorithm>
#include <cstring>

Modbus_RTU_Master::Modbus_RTU_Master() {
    std::memset(InputImage, 0, sizeof InputImage);
    std::memset(HoldingImage, 0, sizeof HoldingImage);
    std::memset(ExtHoldingImage, 0, sizeof ExtHoldingImage);
}

Modbus_RTU_Master::~Modbus_RTU_Master() = default;

namespace {

using Builder = void (Modbus_RTU_Master::*)(RW_VAR *);

// Result code of each raw judgement 0..7, before the offset of the failures.
const int kResultBase[8] = {1, 10, 40, 70, 100, 110, 140, 170};

bool sameHostKeys(const RW_VAR &a, const RW_VAR &b) {
    return a.hostTag0 == b.hostTag0 && a.hostTag1 == b.hostTag1;
}

quint64 hostKeys(const RW_VAR &var) {
    return quint64(quint32(var.hostTag0)) << 32 | quint32(var.hostTag1);
}

void reportCompletion(Modbus_RTU_Master &d, const RW_VAR &var, int status) {
    if (d.completionCallback)
        d.completionCallback(d.comInfo->hostHandle, var.hostTag0, var.hostTag1, status);
}

// Reports a record dropped from its queue as failed, once per host request.
void reportDropped(Modbus_RTU_Master &d, QSet<quint64> &reported, const RW_VAR &var) {
    if (!reported.contains(hostKeys(var))) {
        reported.insert(hostKeys(var));
        reportCompletion(d, var, 2);
    }
}

// Serves the non-empty write or one-shot queue: records of switched-off
// stations leave reported as failed (a host waiting for them would wait
// forever); the head then goes to its builder. A head that yields no frame
// could never be answered, so it leaves reported as failed rather than block
// the records behind it. False when no record was left to serve.
bool serveHead(Modbus_RTU_Master &d, QList<RW_VAR> &queue, Builder build) {
    QSet<quint64> reported;
    while (d.Ethernetcontains(queue.first().station)) {
        reportDropped(d, reported, queue.first());
        queue.removeFirst();
        if (queue.isEmpty())
            return false;
    }
    (d.*build)(&queue.first());
    if (d.protocolQueue.isEmpty()) {
        reportCompletion(d, queue.first(), 2);
        queue.removeFirst();
    }
    return true;
}

// One block of the cyclic list, skipping blocks of switched-off stations. A
// cyclic turn re-opens the write and one-shot turns, also when it finds every
// station off, so those queues are never starved. A block that yields no frame
// goes to the end of the list like a served one.
void serveCycle(Modbus_RTU_Master &d, Builder build) {
    d.writeTurns = 0;
    d.onceTurns = 0;
    QList<RW_VAR> &list = d.readList;
    if (list.isEmpty()) {
        d.comInfo->cycleDone = 1;
        return;
    }
    d.servingMode = 0;
    const int n = list.size();
    int skipped = 0;
    for (; skipped < n && d.Ethernetcontains(list.first().station); ++skipped)
        list.move(0, n - 1);
    if (skipped == n)
        return;
    (d.*build)(&list.first());
    if (d.protocolQueue.isEmpty())
        list.move(0, n - 1);
}

// Counts a successful local exchange towards a full pass over the cyclic list.
void countCyclePass(Modbus_RTU_Master &d) {
    if (d.comInfo->cycleDone == 0 && ++d.cycleProgress > d.readList.size()) {
        d.cycleProgress = 0;
        d.comInfo->cycleDone = 1;
    }
}

// True when a record behind the head belongs to the same host request.
bool headHasTwin(const QList<RW_VAR> &queue) {
    const RW_VAR &head = queue.first();
    return std::any_of(queue.cbegin() + 1, queue.cend(),
                       [&](const RW_VAR &v) { return sameHostKeys(v, head); });
}

// Ends the request at the head of a write or one-shot queue. Several records
// with the same host keys make one host request: its success is reported once,
// by the last of them; every failure is reported. True when the host was told.
bool finishQueued(Modbus_RTU_Master &d, QList<RW_VAR> &queue, bool reports, bool ok) {
    if (queue.isEmpty())
        return false;
    const bool told = reports && (!ok || !headHasTwin(queue));
    if (told)
        reportCompletion(d, queue.first(), ok ? 1 : 2);
    Modbus_RTU_Master::passRetValue(queue.first(), d.resultRecord);
    queue.removeFirst();
    return told;
}

// Ends the request that servingMode names; true when the host was told.
bool finishServed(Modbus_RTU_Master &d, bool local, bool ok) {
    switch (d.servingMode) {
    case 1:
        return finishQueued(d, d.writeQueue, true, ok);
    case 2: // a remote-area one-shot read completes silently
        return finishQueued(d, d.onceQueue, local, ok);
    case 0:
        if (!d.readList.isEmpty()) {
            Modbus_RTU_Master::passRetValue(d.readList.first(), d.resultRecord);
            d.readList.move(0, d.readList.size() - 1);
        }
        return false;
    default:
        return false;
    }
}

template <typename Doomed, typename OnRemove>
void purge(QList<RW_VAR> &queue, Doomed doomed, OnRemove onRemove) {
    for (int i = 0; i < queue.size();) {
        if (doomed(queue.at(i))) {
            onRemove(queue.at(i));
            queue.removeAt(i);
        } else {
            ++i;
        }
    }
}

// After a request is given up, queued work that would fail the same way goes
// too: one-shot reads of the same variable, and the pending writes of its
// station (all of them with a single station). Each dropped write is reported
// as failed, once per host request, unless the host was just told.
void purgeAfterGiveUp(Modbus_RTU_Master &d, bool told) {
    const RW_VAR &failed = d.resultRecord;
    const bool multi = d.comInfo->multiStation != 0;
    const auto sameStation = [&](const RW_VAR &v) { return !multi || v.station == failed.station; };
    purge(
        d.onceQueue, [&](const RW_VAR &v) { return sameStation(v) && sameHostKeys(v, failed); },
        [](const RW_VAR &) {});
    QSet<quint64> reported;
    if (told)
        reported.insert(hostKeys(failed));
    purge(d.writeQueue, sameStation, [&](const RW_VAR &v) { reportDropped(d, reported, v); });
}

// A Modbus exception response sets the high bit of the function code.
bool isExceptionReply(const QByteArray &reply, int length) {
    return length >= 9 && reply.size() > 7 && (static_cast<uchar>(reply.at(7)) & 0x80);
}

} // namespace

// The next frame to send, or null when there is none now. A prepared frame
// (awaiting its reply, being retried, or the second of a pair) always goes
// first. Otherwise up to five writes in a row, then up to five one-shot
// reads, then one cyclic block, which re-opens both turns.
Protocol *Modbus_RTU_Master::ComCommunication() {
    if (!protocolQueue.isEmpty())
        return &protocolQueue.first();
    if (!comInfo)
        return nullptr;
    const bool remote = comInfo->remoteMode != 0;
    const Builder read = remote ? &Modbus_RTU_Master::Remote_ReadVar : &Modbus_RTU_Master::ReadRegister;
    DriverLock lock(listMutex);
    if (!writeQueue.isEmpty() && writeTurns <= kTurnLimit) {
        servingMode = 1;
        if (serveHead(*this, writeQueue,
                      remote ? &Modbus_RTU_Master::Remote_WriteVar : &Modbus_RTU_Master::WriteRegister))
            ++writeTurns;
    } else if (!onceQueue.isEmpty() && onceTurns <= kTurnLimit) {
        servingMode = 2;
        if (serveHead(*this, onceQueue, read))
            ++onceTurns;
    } else {
        serveCycle(*this, read);
    }
    return protocolQueue.isEmpty() ? nullptr : &protocolQueue.first();
}

// station < 0 switches every station on; op 0 switches one off, op 1 on.
void Modbus_RTU_Master::EnCommStation(int station, int op) {
    DriverLock lock(stationMutex);
    if (station < 0)
        disabledStations.clear();
    else if (op == 0)
        disabledStations.insert(station, 0);
    else if (op == 1)
        disabledStations.remove(station);
}

bool Modbus_RTU_Master::Ethernetcontains(int station) {
    DriverLock lock(stationMutex);
    return disabledStations.contains(station);
}

// Judges the reply to the first prepared frame, stores its data, retries or
// gives up, advances the queue that was served and reports to the host.
RW_VAR *Modbus_RTU_Master::DataCom(QByteArray *reply, int length) {
    if (protocolQueue.isEmpty() || !comInfo) {
        resultRecord.result = 1;
        return &resultRecord;
    }
    QByteArray none;
    if (!reply) {
        reply = &none;
        length = 0;
    }
    const bool local = protocolQueue.first().var.nodeId == comInfo->localNodeId;
    const int r = local ? DealDataOfLocalArea(reply, length) : DealDataOfRemoteArea(reply, length);
    const bool ok = r == 1 || r == 100;
    lastFailed = !ok;
    bool givenUp = false;
    if (ok) {
        protocolQueue.removeFirst();
        ++comInfo->framesDone;
    } else if (++comInfo->retryCount > comInfo->retryLimit) {
        // Given up: further frames of the same request go too.
        comInfo->retryCount = 0;
        protocolQueue.clear();
        givenUp = true;
    }

    DriverLock lock(listMutex);
    if (ok) {
        if (comInfo->framesDone < comInfo->framesExpected) { // the next frame is queued
            resultRecord.result = r;
            return &resultRecord;
        }
        if (local)
            countCyclePass(*this);
    } else {
        cycleProgress = 0;
        comInfo->cycleDone = 0;
        if (!givenUp) { // the frame stays first and is sent again
            resultRecord.result = 0;
            return &resultRecord;
        }
    }
    const bool told = finishServed(*this, local, ok);
    if (givenUp) {
        if (notifyCallback)
            notifyCallback(QList<RW_VAR>(), resultRecord.hostTag0, 1);
        purgeAfterGiveUp(*this, told);
    }
    resultRecord.result = r;
    return &resultRecord;
}

// Raw codes: 0 accepted, 1 invalid access kind, 2 no reply, 3 wrong length or
// an exception response.
int Modbus_RTU_Master::DealDataOfLocalArea(QByteArray *reply, int length) {
    const Protocol &p = protocolQueue.first();
    if (length == 0 && p.replyLen != 0)
        return GetDriverReturnValue(2);
    if (isExceptionReply(*reply, length))
        return GetDriverReturnValue(3);
    if (length != p.replyLen && p.replyLen != -1) // a write reply is only an acknowledgement
        return GetDriverReturnValue(p.var.accessKind == 1 ? 0 : 3);
    switch (CheckGetData(reply, length)) {
    case 1: {
        DriverLock lock(dataMutex);
        SaveToLocalDataErea(reply);
        return GetDriverReturnValue(0);
    }
    case 2:
        return GetDriverReturnValue(0);
    default:
        return GetDriverReturnValue(1);
    }
}

// Raw codes: 4 accepted (0 when the read half of a byte write was stored
// before its first frame was counted), 5 invalid access kind, 6 no reply,
// 7 wrong length. Only the read half of a byte write stores data here.
int Modbus_RTU_Master::DealDataOfRemoteArea(QByteArray *reply, int length) {
    const Protocol &p = protocolQueue.first();
    if (length == 0 && p.replyLen != 0)
        return GetDriverReturnValue(6);
    if (length != p.replyLen && p.replyLen != -1)
        return GetDriverReturnValue(p.var.accessKind == 1 ? 4 : 7);
    if (CheckGetData(reply, length) == 0)
        return GetDriverReturnValue(5);
    if (p.var.aux0 != -1)
        return GetDriverReturnValue(4);
    {
        DriverLock lock(dataMutex);
        SaveToLocalDataErea(reply);
    }
    return GetDriverReturnValue(comInfo->framesDone == 1 ? 4 : 0);
}

int Modbus_RTU_Master::GetDriverReturnValue(int code) {
    if (code < 0 || code > 7)
        return 200;
    return code == 0 || code == 4 ? kResultBase[code] : SwitchErrorReturn(kResultBase[code]);
}

// Failure codes carry hostTag0 + 1 of the frame being judged (1 outside 0..11).
int Modbus_RTU_Master::SwitchErrorReturn(int base) {
    const int tag = protocolQueue.isEmpty() ? -1 : protocolQueue.first().var.hostTag0;
    return base + (tag >= 0 && tag <= 11 ? tag + 1 : 1);
}

// Copies every field but the value bytes, which the result record never holds.
void Modbus_RTU_Master::passRetValue(const RW_VAR &source, RW_VAR &target) {
    target = source;
    target.value.clear();
}
