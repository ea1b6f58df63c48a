// Runs the simulated PLC as a child process for a test: starts it on a free
// loopback port, reads the port it announces, and stops it by its PID.
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
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifndef PLC_SIM_PATH
#define PLC_SIM_PATH "plc_sim" // looked up in PATH
#endif

class SimProcess {
public:
    // Starts the simulator with `args` (always with "--port 0" in front, so a
    // later --port in `args` wins) and waits at most 5 s for its PORT line.
    explicit SimProcess(const std::vector<std::string> &args = {}, const std::string &program = PLC_SIM_PATH) {
        char errorTemplate[] = "/tmp/plc_sim_stderr_XXXXXX";
        errorFd_ = mkostemp(errorTemplate, O_CLOEXEC);
        int out[2];
        if (errorFd_ < 0 || unlink(errorTemplate) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> argv = {program, "--port", "0"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> cargv;
        for (std::string &arg : argv)
            cargv.push_back(&arg[0]);
        cargv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(errorFd_, STDERR_FILENO);
            execvp(cargv[0], cargv.data());
            _exit(127);
        }
        close(out[1]);
        outFd_ = out[0];
        if (pid_ > 0)
            port_ = readPort();
    }
    ~SimProcess() {
        stop();
        for (int fd : {outFd_, errorFd_})
            if (fd >= 0)
                close(fd);
    }
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // True once the simulator has announced its port.
    bool running() const { return port_ > 0 && !stopped_; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

    // Sends SIGTERM to the child and reaps it (SIGKILL after 5 s). Returns its
    // exit status, or -1 when it did not exit normally or never started.
    int stop() {
        if (pid_ <= 0 || stopped_)
            return status_;
        stopped_ = true;
        kill(pid_, SIGTERM);
        int raw = 0;
        pid_t done = 0;
        for (int i = 0; i < 500 && (done = waitpid(pid_, &raw, WNOHANG)) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (done == 0) {
            kill(pid_, SIGKILL);
            done = waitpid(pid_, &raw, 0);
        }
        status_ = done > 0 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return status_;
    }

    // What the child wrote to stderr so far (all of it after stop()).
    std::string errorOutput() const {
        std::string text;
        char chunk[4096];
        ssize_t got;
        for (off_t offset = 0; (got = pread(errorFd_, chunk, sizeof chunk, offset)) > 0; offset += got)
            text.append(chunk, static_cast<size_t>(got));
        return text;
    }

private:
    // Reads stdout up to the first newline; "PORT <n>" gives n, anything else
    // (the child exited, or 5 s passed) gives 0.
    int readPort() {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        char chunk[64];
        while (line.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            pollfd pfd = {outFd_, POLLIN, 0};
            const ssize_t got = left > 0 && poll(&pfd, 1, static_cast<int>(left)) > 0
                                    ? read(outFd_, chunk, sizeof chunk) : 0;
            if (got <= 0)
                return 0;
            line.append(chunk, static_cast<size_t>(got));
        }
        int port = 0;
        return std::sscanf(line.c_str(), "PORT %d", &port) == 1 ? port : 0;
    }

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errorFd_ = -1;
    int port_ = 0;
    bool stopped_ = false;
    int status_ = -1;
};

#endif
