// Runs the simulated PLC (or another server that takes "--port 0" and
// prints "PORT <n>") as a child process for a test, and stops it by its PID.
//
//     SimProcess sim({"--units", "1,2", "--drop-every", "3"});
//     ASSERT_TRUE(sim.running());
//     ... connect to 127.0.0.1:sim.port() ...
//     EXPECT_EQ(sim.stop(), 0);            // SIGTERM, waitpid, exit status
//     EXPECT_NE(sim.errorOutput().find("dropped=1"), std::string::npos);
#ifndef SIM_PROCESS_H
#define SIM_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#ifndef PLC_SIM_PATH
#define PLC_SIM_PATH "plc_sim" // looked up in PATH
#endif

// Polls pred every 10 ms until it holds or timeoutMs pass.
inline bool eventually(const std::function<bool()> &pred, int timeoutMs = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class SimProcess {
public:
    // Starts `program --port 0 args...` (a later --port in args wins) and
    // waits at most 5 s for each byte of its PORT line.
    explicit SimProcess(std::vector<std::string> args = {}, const std::string &program = PLC_SIM_PATH) {
        errorFd_ = memfd_create("plc_sim_stderr", MFD_CLOEXEC);
        int out[2];
        if (errorFd_ < 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        args.insert(args.begin(), {program, "--port", "0"});
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(errorFd_, STDERR_FILENO);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        outFd_ = out[0]; // kept open: a child writing to a closed pipe would die
        std::string line;
        pollfd pfd = {outFd_, POLLIN, 0};
        char c = 0;
        while (pid_ > 0 && c != '\n' && poll(&pfd, 1, 5000) > 0 && read(outFd_, &c, 1) == 1)
            line += c;
        std::sscanf(line.c_str(), "PORT %d", &port_);
    }
    ~SimProcess() {
        stop();
        for (int fd : {outFd_, errorFd_})
            if (fd >= 0)
                close(fd);
    }
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // True once the child announced its port, until stop().
    bool running() const { return port_ > 0 && !stopped_; }
    int port() const { return port_; }

    // SIGTERM, then SIGKILL after 5 s; the exit status, or -1 when the child
    // did not exit normally or never started.
    int stop() {
        if (pid_ <= 0 || stopped_)
            return status_;
        stopped_ = true;
        kill(pid_, SIGTERM);
        int raw = 0;
        pid_t done = 0;
        const bool exited = eventually([&] { return (done = waitpid(pid_, &raw, WNOHANG)) != 0; }, 5000);
        if (!exited && kill(pid_, SIGKILL) == 0)
            done = waitpid(pid_, &raw, 0);
        return status_ = done > 0 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

    // What the child wrote to stderr so far (all of it after stop()).
    std::string errorOutput() const {
        std::ifstream in("/proc/self/fd/" + std::to_string(errorFd_)); // from the start
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errorFd_ = -1;
    int port_ = 0;
    bool stopped_ = false;
    int status_ = -1;
};

#endif
