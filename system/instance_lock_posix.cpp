#include "system/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "base/obfuscated.h"

namespace pelto {

instance_lock::instance_lock(int wait_ms)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string path = runtime != nullptr && runtime[0] == '/' ? runtime : PELTO_TEXT("/tmp").str();
    path += PELTO_TEXT("/pelto-").view();
    path += std::to_string(::getuid());
    path += PELTO_TEXT(".lock").view();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return;
    }
    handle_ = fd;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            held_ = true;
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

instance_lock::~instance_lock()
{
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));  // closing the descriptor releases the lock
    }
}

}  // namespace pelto
