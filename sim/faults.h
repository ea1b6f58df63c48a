// Fault injection: which answerable requests are dropped, refused, cut short
// or answered by closing the connection, and how every reply is sent.
#ifndef SIM_FAULTS_H
#define SIM_FAULTS_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct FaultSettings {
    int dropEvery = 0;      // no reply to every N-th request
    int delayMs = 0;        // wait before every reply
    int exceptionEvery = 0; // device failure answer to every N-th request
    int shortEvery = 0;     // every N-th reply loses its last bytes
    int split = 0;          // send replies N bytes at a time
    int closeEvery = 0;     // close the connection instead of the N-th reply
};

enum class Fault { None, Close, Drop, Exception, Short };

// Counts answerable requests over all connections and picks the fault for
// each. When several modes hit the same request the first of close, drop,
// exception, short wins.
class FaultPlan {
public:
    explicit FaultPlan(const FaultSettings &settings) : settings_(settings) {}

    Fault next();
    const FaultSettings &settings() const { return settings_; }
    std::string summary() const;

private:
    const FaultSettings settings_;
    std::atomic<long> requests_{0};
    std::atomic<long> closed_{0};
    std::atomic<long> dropped_{0};
    std::atomic<long> exceptions_{0};
    std::atomic<long> shortened_{0};
};

// Bytes a short reply loses (it keeps at least one).
constexpr int kShortCut = 3;

// What became of one answerable request.
struct Answer {
    Fault fault = Fault::None;
    Bytes reply; // as built, before a short fault cut it; empty when none was sent
};

// Answers one answerable request under the fault plan: `build(true)` must
// give the device-failure answer, `build(false)` the normal one; an empty
// answer is not sent. Fails when the connection is to be closed: after a
// close fault or a failed send.
bool respond(int fd, FaultPlan &plan, const std::function<Bytes(bool deviceFailure)> &build, Answer &answer,
             std::string &error);

// The log's account of an answer, given what its reply says.
std::string outcome(const Answer &answer, const std::string &replyText);

#endif
