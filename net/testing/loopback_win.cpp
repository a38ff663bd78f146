#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/testing/loopback.h"

namespace pelto::testing {

socket_handle open_unconnected_socket()
{
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? invalid_socket_handle : static_cast<socket_handle>(s);
}

loopback_listener::loopback_listener(int backlog, loopback_family family) : family_(family)
{
    // The loopback address with port 0 (no port chosen yet): the system picks one.
    const resolved_address local = address();
    const SOCKET s = ::socket(local.family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return;
    }
    sockaddr_storage storage{};
    auto size = static_cast<int>(local.sockaddr_bytes.size());
    if (::bind(s, reinterpret_cast<const sockaddr*>(local.sockaddr_bytes.data()), size) != 0 ||
        ::listen(s, backlog) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&storage), &size) != 0) {
        ::closesocket(s);
        return;
    }
    port_ = family == loopback_family::ipv4
                ? ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port)
                : ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
    socket_ = static_cast<socket_handle>(s);
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
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(socket_), &readable);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (::select(0, &readable, nullptr, nullptr, &timeout) != 1) {
        return invalid_socket_handle;
    }
    const SOCKET s = ::accept(static_cast<SOCKET>(socket_), nullptr, nullptr);
    return s == INVALID_SOCKET ? invalid_socket_handle : static_cast<socket_handle>(s);
}

}  // namespace pelto::testing
