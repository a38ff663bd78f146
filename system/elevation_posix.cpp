// Elevation on Linux: root or CAP_NET_ADMIN; a relaunch through pkexec whose success the new
// instance confirms by writing to a hand-over file this instance created.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "system/elevation.h"
#include "base/obfuscated.h"

extern char** environ;

namespace pelto {
namespace {

constexpr int cap_net_admin = 12;
// How long the user may take to answer the authentication prompt.
constexpr auto handover_wait = std::chrono::seconds(120);

std::mutex pkexec_mutex;
std::string pkexec_override;  // guarded by pkexec_mutex

std::string pkexec_path()
{
    const std::lock_guard lock(pkexec_mutex);
    return pkexec_override.empty() ? PELTO_TEXT("/usr/bin/pkexec").str() : pkexec_override;
}

bool has_net_admin()
{
    std::ifstream status(PELTO_TEXT("/proc/self/status").str());
    std::string line;
    const auto key = PELTO_TEXT("CapEff:");
    while (std::getline(status, line)) {
        if (line.rfind(key.view(), 0) == 0) {
            const unsigned long long caps = std::strtoull(line.c_str() + key.size(), nullptr, 16);
            return ((caps >> cap_net_admin) & 1ULL) != 0;
        }
    }
    return false;
}

std::string file_content(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

bool is_elevated()
{
    return ::geteuid() == 0 || has_net_admin();
}

std::string handover_switch()
{
    return PELTO_TEXT("--handover").str();
}

std::string elevate_switch()
{
    return PELTO_TEXT("--tun").str();
}

void set_pkexec_path_for_testing(const std::string& path)
{
    const std::lock_guard lock(pkexec_mutex);
    pkexec_override = path;
}

void confirm_handover(const std::string& handover_file)
{
    const int fd = ::open(handover_file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return;
    }
    const auto mark = PELTO_TEXT("started\n");
    [[maybe_unused]] const ssize_t n = ::write(fd, mark.c_str(), mark.size());
    ::close(fd);
}

bool relaunch_elevated()
{
    char exe[4096];
    const ssize_t n = ::readlink(PELTO_TEXT("/proc/self/exe").c_str(), exe, sizeof exe - 1);
    if (n <= 0) {
        return false;
    }
    exe[n] = '\0';
    const std::string pkexec = pkexec_path();
    if (::access(pkexec.c_str(), X_OK) != 0) {
        return false;
    }
    char handover[] = "/tmp/pelto-handover-XXXXXX";
    const int fd = ::mkstemp(handover);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    ::chmod(handover, 0622);  // the elevated instance may run as another user; it only appends

    std::vector<std::string> args{pkexec, exe, handover_switch(), handover, elevate_switch()};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, pkexec.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        ::unlink(handover);
        return false;
    }
    // pkexec either runs the program in its own process (which then marks the file) or exits
    // with a failure (not authorised, dismissed, no agent).
    bool started = false;
    const auto deadline = std::chrono::steady_clock::now() + handover_wait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (file_content(handover).find('\n') != std::string::npos) {
            started = true;
            break;
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            started = file_content(handover).find('\n') != std::string::npos;
            pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!started && pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
    ::unlink(handover);
    return started;
}

}  // namespace pelto
