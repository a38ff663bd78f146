#pragma once
// Test peers and tools run as child processes (Linux only): a long-running peer whose standard
// output is collected line by line, and a short command whose output is captured whole.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace pelto::testing {

class child_process {
public:
    child_process() = default;
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    ~child_process() { stop(); }

    // Starts argv[0] (a path) with the arguments; standard output is collected, standard error is
    // inherited. A process this object still runs is stopped first, and its lines are forgotten.
    // False when the process cannot be started.
    bool start(const std::vector<std::string>& argv);

    // SIGTERM, then the exit status (-1 if it did not exit within 5 s and had to be killed).
    int stop();

    // The first collected line that starts with `prefix`, or empty after `timeout` or once the
    // process closed its output without printing one.
    std::string wait_for_line(const std::string& prefix, std::chrono::milliseconds timeout);

    // Every line collected so far.
    std::vector<std::string> lines();

    bool running() const { return pid_ > 0; }

private:
    void collect_lines();

    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool done_ = false;
};

// Runs a command to completion with standard output captured into `out_stdout`; standard error
// is inherited. Returns the exit status, or -1 when it could not run or was killed after
// `timeout`.
int run_command(const std::vector<std::string>& argv, std::string& out_stdout,
                std::chrono::milliseconds timeout);

}  // namespace pelto::testing
