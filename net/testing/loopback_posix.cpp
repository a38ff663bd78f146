#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/testing/loopback.h"

namespace pelto::testing {

socket_handle open_unconnected_socket()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? invalid_socket_handle : static_cast<socket_handle>(fd);
}

loopback_listener::loopback_listener(int backlog, loopback_family family) : family_(family)
{
    // The loopback address with port 0 (no port chosen yet): the system picks one.
    const resolved_address local = address();
    const int fd = ::socket(local.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    sockaddr_storage storage{};
    auto size = static_cast<socklen_t>(local.sockaddr_bytes.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(local.sockaddr_bytes.data()), size) != 0 ||
        ::listen(fd, backlog) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size) != 0) {
        ::close(fd);
        return;
    }
    port_ = family == loopback_family::ipv4
                ? ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port)
                : ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
    socket_ = static_cast<socket_handle>(fd);
}

resolved_address loopback_listener::address() const
{
    resolved_address out;
    out.socket_type = SOCK_STREAM;
    out.protocol = IPPROTO_TCP;
    if (family_ == loopback_family::ipv4) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port_);
        out.family = AF_INET;
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&a);
        out.sockaddr_bytes.assign(raw, raw + sizeof a);
    } else {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port_);
        out.family = AF_INET6;
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&a);
        out.sockaddr_bytes.assign(raw, raw + sizeof a);
    }
    return out;
}

socket_handle loopback_listener::accept(std::int32_t timeout_ms)
{
    if (!ok()) {
        return invalid_socket_handle;
    }
    pollfd entry{static_cast<int>(socket_), POLLIN, 0};
    if (::poll(&entry, 1, timeout_ms) != 1) {
        return invalid_socket_handle;
    }
    const int fd = ::accept4(static_cast<int>(socket_), nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? invalid_socket_handle : static_cast<socket_handle>(fd);
}

}  // namespace pelto::testing
