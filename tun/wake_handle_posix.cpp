#include "tun/wake_handle.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace pelto::tun {

namespace {
int fd_of(void* native) { return static_cast<int>(reinterpret_cast<std::intptr_t>(native)) - 1; }
void* native_of(int fd) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1); }
}  // namespace

wake_handle::wake_handle()
{
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    native_ = native_of(fd);
}

wake_handle::~wake_handle() { close(fd_of(native_)); }

void wake_handle::signal()
{
    const std::uint64_t one = 1;
    // A full counter already means "signalled"; nothing else can fail here.
    [[maybe_unused]] const ssize_t n = write(fd_of(native_), &one, sizeof one);
}

bool wake_handle::consume()
{
    std::uint64_t value = 0;
    return read(fd_of(native_), &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

void wait_for_work(void* device_event, wake_handle& wake, std::int32_t timeout_ms)
{
    pollfd fds[2] = {};
    fds[0].fd = fd_of(wake.native());
    fds[0].events = POLLIN;
    nfds_t count = 1;
    if (device_event != nullptr) {
        fds[1].fd = fd_of(device_event);
        fds[1].events = POLLIN;
        count = 2;
    }
    if (poll(fds, count, timeout_ms) > 0 && (fds[0].revents & POLLIN)) {
        wake.consume();
    }
}

}  // namespace pelto::tun
