// Winsock backend of the test loopback listener.

#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/ss2022/loopback.h"

namespace pelto::test {

bool loopback_listener::open()
{
    close();
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(s, 64) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::closesocket(s);
        return false;
    }
    socket_ = static_cast<socket_handle>(s);
    port_ = ntohs(address.sin_port);
    return true;
}

socket_handle loopback_listener::accept_one(std::int32_t timeout_ms)
{
    if (socket_ == invalid_socket_handle) {
        return invalid_socket_handle;
    }
    const SOCKET listening = static_cast<SOCKET>(socket_);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listening, &readable);
    timeval wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (::select(0, &readable, nullptr, nullptr, &wait) != 1) {
        return invalid_socket_handle;
    }
    const SOCKET s = ::accept(listening, nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        return invalid_socket_handle;
    }
    // An accepted socket inherits the listener's blocking mode, which is blocking here.
    if (!register_socket(static_cast<socket_handle>(s))) {
        ::closesocket(s);
        return invalid_socket_handle;
    }
    return static_cast<socket_handle>(s);
}

void loopback_listener::close()
{
    if (socket_ != invalid_socket_handle) {
        ::closesocket(static_cast<SOCKET>(socket_));
        socket_ = invalid_socket_handle;
    }
}

}  // namespace pelto::test
