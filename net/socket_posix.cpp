// POSIX sockets behind the platform layer of net/socket.cpp.

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <netdb.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "base/text.h"
#include "net/socket_platform.h"

namespace pelto {
namespace {

int fd_of(socket_handle socket)
{
    return static_cast<int>(socket);
}

}  // namespace

namespace net_platform {

bool startup()
{
    return true;
}

void cleanup() {}

socket_handle open_socket(const resolved_address& address)
{
    const int fd = ::socket(address.family, address.socket_type | SOCK_CLOEXEC, address.protocol);
    return fd < 0 ? invalid_socket_handle : static_cast<socket_handle>(fd);
}

bool is_own_address(const resolved_address& address)
{
    if (address.sockaddr_bytes.size() < sizeof(sockaddr_in)) {
        return false;
    }
    std::vector<std::uint8_t> local = address.sockaddr_bytes;
    // sockaddr_in and sockaddr_in6 both keep the port right after the family.
    std::memset(local.data() + 2, 0, 2);
    const auto probe = ::socket(address.family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe == -1) {
        return false;
    }
    const bool own = ::bind(probe, reinterpret_cast<const sockaddr*>(local.data()), static_cast<socklen_t>(local.size())) == 0;
    ::close(probe);
    return own;
}

bool bind_to_interface(socket_handle socket, std::int32_t, std::uint32_t index)
{
    // SO_BINDTOIFINDEX (Linux 5.0) binds for both families; older kernels refuse it.
    const int value = static_cast<int>(index);
    return ::setsockopt(fd_of(socket), SOL_SOCKET, SO_BINDTOIFINDEX, &value, sizeof value) == 0;
}

void shutdown_both(socket_handle socket)
{
    ::shutdown(fd_of(socket), SHUT_RDWR);
}

void close_handle(socket_handle socket)
{
    ::close(fd_of(socket));
}

bool set_blocking(socket_handle socket, bool blocking)
{
    const int flags = ::fcntl(fd_of(socket), F_GETFL, 0);
    if (flags < 0) {
        return false;
    }
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return ::fcntl(fd_of(socket), F_SETFL, wanted) == 0;
}

connect_start start_connect(socket_handle socket, const resolved_address& address)
{
    const int result =
        ::connect(fd_of(socket), reinterpret_cast<const sockaddr*>(address.sockaddr_bytes.data()),
                  static_cast<socklen_t>(address.sockaddr_bytes.size()));
    if (result == 0) {
        return connect_start::connected;
    }
    return (errno == EINPROGRESS || errno == EINTR) ? connect_start::pending
                                                    : connect_start::failed;
}

int wait_connect(socket_handle socket, int timeout_ms)
{
    // poll rather than select: descriptors above FD_SETSIZE must not overrun an fd_set.
    pollfd entry{fd_of(socket), POLLOUT, 0};
    const int count = ::poll(&entry, 1, timeout_ms);
    if (count < 0 && errno == EINTR) {
        return 0;
    }
    return count;
}

int pending_error(socket_handle socket)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd_of(socket), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return errno != 0 ? errno : -1;
    }
    return error;
}

bool set_no_delay(socket_handle socket)
{
    const int on = 1;
    return ::setsockopt(fd_of(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool set_io_timeouts(socket_handle socket, std::int32_t timeout_ms)
{
    timeval tv{};
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
    const bool receive = ::setsockopt(fd_of(socket), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
    const bool send = ::setsockopt(fd_of(socket), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
    return receive && send;
}

std::int32_t send_once(socket_handle socket, const std::uint8_t* data, std::int32_t length)
{
    for (;;) {
        // MSG_NOSIGNAL: a peer that has gone away must end the write, not the process.
        const ssize_t n = ::send(fd_of(socket), data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return static_cast<std::int32_t>(n);
    }
}

std::int32_t recv_once(socket_handle socket, std::uint8_t* buffer, std::int32_t capacity)
{
    for (;;) {
        const ssize_t n = ::recv(fd_of(socket), buffer, static_cast<std::size_t>(capacity), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return static_cast<std::int32_t>(n);
    }
}

namespace {

bool lookup(const std::string& host, const std::string& service, int flags, address_list& out)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) {
        return false;
    }
    append_entries(list, SOCK_STREAM, out);
    ::freeaddrinfo(list);
    return !out.empty();
}

}  // namespace

bool numeric_lookup(const std::string& host, const std::string& service, address_list& out)
{
    return lookup(host, service, AI_NUMERICHOST | AI_NUMERICSERV, out);
}

bool blocking_lookup(const std::string& host, const std::string& service, address_list& out)
{
    return lookup(host, service, 0, out);
}

bool resolve(std::string_view host, std::string_view service, address_list& out_addresses,
             std::u16string& out_error)
{
    return net_detail::resolve_on_worker(host, service, out_addresses, out_error);
}

}  // namespace net_platform

}  // namespace pelto
