#include "faults.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

namespace {

// Pause between the pieces of a split reply, long enough for each piece to
// leave as a segment of its own.
constexpr auto kSplitPause = std::chrono::milliseconds(2);

bool sendAll(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0)
            return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool sendReply(int fd, const Bytes &reply, const FaultSettings &settings) {
    if (settings.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(settings.delayMs));
    const size_t piece = settings.split > 0 ? static_cast<size_t>(settings.split) : reply.size();
    for (size_t offset = 0; offset < reply.size(); offset += piece) {
        if (offset > 0)
            std::this_thread::sleep_for(kSplitPause);
        if (!sendAll(fd, reply.data() + offset, std::min(piece, reply.size() - offset)))
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

bool respond(int fd, FaultPlan &plan, const std::function<Bytes(bool deviceFailure)> &build) {
    const Fault fault = plan.next();
    switch (fault) {
    case Fault::Close:
        return false;
    case Fault::Drop:
        return true;
    default:
        break;
    }
    Bytes reply = build(fault == Fault::Exception);
    if (fault == Fault::Short)
        reply.resize(reply.size() > kShortCut ? reply.size() - kShortCut : 1);
    return sendReply(fd, reply, plan.settings());
}
