// Moving register values for demonstrations.
#ifndef SIM_ANIMATION_H
#define SIM_ANIMATION_H

#include <condition_variable>
#include <mutex>
#include <thread>

class Memory;

// While it lives, every unit's input register 0 counts up every 100 ms, input
// register 1 wanders between 0 and 1000 (a random walk from 500, seeded), and
// holding register 1000 counts up every second.
class Animation {
public:
    Animation(Memory &memory, int seed);
    ~Animation();
    Animation(const Animation &) = delete;
    Animation &operator=(const Animation &) = delete;

private:
    void run(int seed);

    Memory &memory_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

#endif
