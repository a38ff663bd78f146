// POSIX backend of the test loopback listener.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/ss2022/loopback.h"

namespace pelto::test {

bool loopback_listener::open()
{
    close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return false;
    }
    socket_ = static_cast<socket_handle>(fd);
    port_ = ntohs(address.sin_port);
    return true;
}

socket_handle loopback_listener::accept_one(std::int32_t timeout_ms)
{
    if (socket_ == invalid_socket_handle) {
        return invalid_socket_handle;
    }
    pollfd entry{static_cast<int>(socket_), POLLIN, 0};
    if (::poll(&entry, 1, timeout_ms) != 1) {
        return invalid_socket_handle;
    }
    const int fd = ::accept4(static_cast<int>(socket_), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return invalid_socket_handle;
    }
    if (!register_socket(static_cast<socket_handle>(fd))) {
        ::close(fd);
        return invalid_socket_handle;
    }
    return static_cast<socket_handle>(fd);
}

void loopback_listener::close()
{
    if (socket_ != invalid_socket_handle) {
        ::close(static_cast<int>(socket_));
        socket_ = invalid_socket_handle;
    }
}

}  // namespace pelto::test
