#include "net/tcp_listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pelto {
namespace {

int fd_of(socket_handle s)
{
    return static_cast<int>(s);
}

// A client that gave up before we took it is no reason to stop listening, and neither is a
// network error that Linux hands over from the pending connection instead of on the new socket.
bool worth_retrying(int error)
{
    switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENOPROTOOPT:
    case ENETDOWN:
    case ENETUNREACH:
    case ENONET:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
        return true;
    default:
        return false;
    }
}

}  // namespace

socket_handle open_loopback_listener(std::uint16_t port, int backlog)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        return invalid_socket_handle;
    }
    // On Linux SO_REUSEADDR still refuses a port that another socket listens on (the exclusive use
    // Windows asks for), but lets a new session bind the port the last one left in TIME_WAIT.
    const int reuse = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return invalid_socket_handle;
    }
    return static_cast<socket_handle>(fd);
}

socket_handle accept_client(socket_handle listener)
{
    if (listener == invalid_socket_handle) {
        return invalid_socket_handle;
    }
    for (;;) {
        const int fd = ::accept4(fd_of(listener), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            return static_cast<socket_handle>(fd);
        }
        if (!worth_retrying(errno)) {
            return invalid_socket_handle;
        }
    }
}

void close_listener_socket(socket_handle listener)
{
    if (listener == invalid_socket_handle) {
        return;
    }
    // Closing alone does not wake a thread blocked in accept on Linux; shutting down does.
    ::shutdown(fd_of(listener), SHUT_RDWR);
    ::close(fd_of(listener));
}

void close_unregistered_socket(socket_handle socket)
{
    if (socket == invalid_socket_handle) {
        return;
    }
    ::shutdown(fd_of(socket), SHUT_RDWR);
    ::close(fd_of(socket));
}

}  // namespace pelto
