#include "tests/support/child_process.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pelto::testing {
namespace {

using steady = std::chrono::steady_clock;

pid_t spawn(const std::vector<std::string>& argv_text, int stdout_fd)
{
    std::vector<std::string> copy = argv_text;
    std::vector<char*> argv;
    for (std::string& a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(stdout_fd, STDOUT_FILENO);
        ::setpgid(0, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Waits for `pid` until `deadline`; the exit status, or -1 when it is still running.
int wait_until(pid_t pid, steady::time_point deadline, bool& out_exited)
{
    int status = 0;
    out_exited = false;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            out_exited = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 && errno != EINTR) {
            out_exited = true;
            return -1;
        }
        if (steady::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void kill_and_reap(pid_t pid)
{
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

}  // namespace

bool child_process::start(const std::vector<std::string>& argv)
{
    stop();
    {
        const std::lock_guard<std::mutex> guard(lock_);
        lines_.clear();
        done_ = false;
    }
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return false;
    }
    pid_ = spawn(argv, pipe_fds[1]);
    ::close(pipe_fds[1]);
    if (pid_ < 0) {
        ::close(pipe_fds[0]);
        return false;
    }
    out_fd_ = pipe_fds[0];
    reader_ = std::thread([this] { collect_lines(); });
    return true;
}

int child_process::stop()
{
    if (pid_ <= 0) {
        return -1;
    }
    ::kill(pid_, SIGTERM);
    bool exited = false;
    int result = wait_until(pid_, steady::now() + std::chrono::seconds(5), exited);
    if (!exited) {
        kill_and_reap(pid_);
        result = -1;
    }
    // Anything the child left in its process group (a shell's children) goes too.
    ::kill(-pid_, SIGKILL);
    pid_ = -1;
    if (reader_.joinable()) {
        reader_.join();
    }
    ::close(out_fd_);
    out_fd_ = -1;
    return result;
}

std::string child_process::wait_for_line(const std::string& prefix, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(lock_);
    std::string found;
    changed_.wait_for(guard, timeout, [&] {
        for (const std::string& line : lines_) {
            if (line.rfind(prefix, 0) == 0) {
                found = line;
                return true;
            }
        }
        return done_;
    });
    return found;
}

std::vector<std::string> child_process::lines()
{
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
}

void child_process::collect_lines()
{
    std::string pending;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(out_fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::lock_guard<std::mutex> guard(lock_);
            lines_.push_back(pending.substr(0, end));
            pending.erase(0, end + 1);
            changed_.notify_all();
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    done_ = true;
    changed_.notify_all();
}

int run_command(const std::vector<std::string>& argv, std::string& out_stdout,
                std::chrono::milliseconds timeout)
{
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pid = spawn(argv, pipe_fds[1]);
    ::close(pipe_fds[1]);
    if (pid < 0) {
        ::close(pipe_fds[0]);
        return -1;
    }
    const auto deadline = steady::now() + timeout;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{pipe_fds[0], POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;
        }
        const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        out_stdout.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe_fds[0]);
    bool exited = false;
    const int status = wait_until(pid, deadline + std::chrono::milliseconds(500), exited);
    if (!exited) {
        kill_and_reap(pid);
        return -1;
    }
    return status;
}

}  // namespace pelto::testing
