// Plain words for the host's report lines: what a request was, and why an
// exchange failed, from what came back on the wire.
#ifndef PLCHOST_EXCHANGE_TEXT_H
#define PLCHOST_EXCHANGE_TEXT_H

#include "plc_driver.h"
#include "tcp_link.h"

#include <string>
#include <vector>

namespace plchost {

// "read hold.word 10..19 (temp, level)", "write hold.bit 62.3 (valve)":
// reads name the registers of their area, writes their elements.
std::string requestText(const RW_VAR &request, const std::vector<std::string> &labels);

// A receive or send that did not end in a whole reply: "no reply within 300 ms".
std::string wireProblem(Io io, const QByteArray &partialReply, int timeoutMs);

struct ReplyVerdict {
    std::string reason;  // "exception 2 (illegal data address)", "out-of-step reply ..."
    bool inStep = false; // a clean refusal of this very request: the connection can stay
};

// Why the driver refused a whole reply to `frame`, judged by the host from
// the reply itself.
ReplyVerdict judgeRefusedReply(const QByteArray &frame, int replyLen, const QByteArray &reply,
                               bool remote, int result);

} // namespace plchost

#endif
