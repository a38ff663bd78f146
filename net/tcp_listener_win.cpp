#include "net/tcp_listener.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace pelto {
namespace {

SOCKET sock_of(socket_handle s)
{
    return static_cast<SOCKET>(s);
}

}  // namespace

socket_handle open_loopback_listener(std::uint16_t port, int backlog)
{
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return invalid_socket_handle;
    }
    BOOL exclusive = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                 sizeof exclusive);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(s, backlog) != 0) {
        ::closesocket(s);
        return invalid_socket_handle;
    }
    return static_cast<socket_handle>(s);
}

socket_handle accept_client(socket_handle listener)
{
    if (listener == invalid_socket_handle) {
        return invalid_socket_handle;
    }
    for (;;) {
        const SOCKET s = ::accept(sock_of(listener), nullptr, nullptr);
        if (s != INVALID_SOCKET) {
            return static_cast<socket_handle>(s);
        }
        // Only a client that reset before we took it is worth another try. WSAEINTR is not a
        // signal here: it is how a blocked accept reports that the listener was closed, and
        // the closed handle's value may already belong to another socket.
        if (::WSAGetLastError() != WSAECONNRESET) {
            return invalid_socket_handle;
        }
    }
}

void close_listener_socket(socket_handle listener)
{
    if (listener == invalid_socket_handle) {
        return;
    }
    ::closesocket(sock_of(listener));
}

void close_unregistered_socket(socket_handle socket)
{
    if (socket == invalid_socket_handle) {
        return;
    }
    ::shutdown(sock_of(socket), SD_BOTH);
    ::closesocket(sock_of(socket));
}

}  // namespace pelto
