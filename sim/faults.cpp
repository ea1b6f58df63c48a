#include "faults.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <sstream>
#include <thread>

namespace {

// Pause between the pieces of a split reply, long enough for each piece to
// leave as a segment of its own.
constexpr auto kSplitPause = std::chrono::milliseconds(2);

bool sendAll(int fd, const uint8_t *data, size_t size, std::string &error) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0) {
            error = std::string("disconnected: ") + std::strerror(errno);
            return false;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool sendReply(int fd, const Bytes &reply, const FaultSettings &settings, std::string &error) {
    if (settings.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(settings.delayMs));
    const size_t piece = settings.split > 0 ? static_cast<size_t>(settings.split) : reply.size();
    for (size_t offset = 0; offset < reply.size(); offset += piece) {
        if (offset > 0)
            std::this_thread::sleep_for(kSplitPause);
        if (!sendAll(fd, reply.data() + offset, std::min(piece, reply.size() - offset), error))
            return false;
    }
    return true;
}

} // namespace

Fault FaultPlan::next() {
    const long n = ++requests_;
    const auto hits = [n](int every) { return every > 0 && n % every == 0; };
    if (hits(settings_.closeEvery)) {
        ++closed_;
        return Fault::Close;
    }
    if (hits(settings_.dropEvery)) {
        ++dropped_;
        return Fault::Drop;
    }
    if (hits(settings_.exceptionEvery)) {
        ++exceptions_;
        return Fault::Exception;
    }
    if (hits(settings_.shortEvery)) {
        ++shortened_;
        return Fault::Short;
    }
    return Fault::None;
}

std::string FaultPlan::summary() const {
    std::ostringstream out;
    out << "faults: requests=" << requests_ << " dropped=" << dropped_ << " exceptions=" << exceptions_
        << " short=" << shortened_ << " closed=" << closed_;
    return out.str();
}

bool respond(int fd, FaultPlan &plan, const std::function<Bytes(bool deviceFailure)> &build, Answer &answer,
             std::string &error) {
    answer.fault = plan.next();
    if (answer.fault == Fault::Close) {
        error = "closed (fault)";
        return false;
    }
    if (answer.fault != Fault::Drop)
        answer.reply = build(answer.fault == Fault::Exception);
    if (answer.reply.empty())
        return true;
    Bytes sent = answer.reply;
    if (answer.fault == Fault::Short)
        sent.resize(sent.size() > kShortCut ? sent.size() - kShortCut : 1);
    return sendReply(fd, sent, plan.settings(), error);
}

std::string outcome(const Answer &answer, const std::string &replyText) {
    switch (answer.fault) {
    case Fault::Close:
        return "connection closed (fault)";
    case Fault::Drop:
        return "dropped (fault)";
    case Fault::Exception:
        return replyText + " (fault)";
    case Fault::Short:
        return replyText + " (fault: cut short)";
    default:
        return replyText;
    }
}
