#include "animation.h"

#include "memory.h"

#include <algorithm>
#include <chrono>
#include <random>

namespace {

constexpr auto kTick = std::chrono::milliseconds(100);
constexpr int kTicksPerSecond = 10;
constexpr int kWalkStep = 10;
constexpr int kWalkTop = 1000;
constexpr int kCounterRegister = 1000;

} // namespace

Animation::Animation(Memory &memory, int seed) : memory_(memory), thread_([this, seed] { run(seed); }) {}

Animation::~Animation() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void Animation::run(int seed) {
    std::mt19937 random(static_cast<unsigned>(seed));
    std::uniform_int_distribution<int> step(-kWalkStep, kWalkStep);
    int walk = kWalkTop / 2;
    std::unique_lock<std::mutex> lock(mutex_);
    for (long tick = 1; !wake_.wait_for(lock, kTick, [this] { return stopping_; }); ++tick) {
        walk = std::clamp(walk + step(random), 0, kWalkTop);
        const auto guard = memory_.lock();
        for (int id : memory_.unitIds()) {
            UnitMemory &unit = *memory_.unit(id);
            ++unit.input[0];
            unit.input[1] = static_cast<uint16_t>(walk);
            if (tick % kTicksPerSecond == 0)
                ++unit.holding[kCounterRegister];
        }
    }
}
