#include "tun/dns_upstream.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace pelto::tun {

namespace {

constexpr int connect_timeout_ms = 2000;
constexpr int io_timeout_ms = 2000;

sockaddr_in address_of(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = address;  // already in network order
    return a;
}

bool connect_within(int fd, const sockaddr_in& to)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return false;
    }
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        ok = poll(&p, 1, connect_timeout_ms) == 1 && (p.revents & POLLOUT) &&
             getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    return ok && fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

void shutdown_upstream_socket(std::uint64_t socket)
{
    shutdown(static_cast<int>(socket), SHUT_RDWR);
}

bool exchange_with_upstream(const upstream_target& target, dns_transport transport,
                            byte_span query, upstream_sockets& sockets, bytes& out_answer)
{
    out_answer.clear();
    if (target.address == 0) {
        return false;
    }
    const int fd = socket(AF_INET, (transport == dns_transport::tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    if (!sockets.enter(static_cast<std::uint64_t>(fd))) {
        close(fd);
        return false;
    }
    bool ok = true;
    if (target.bind_address != 0) {
        const sockaddr_in local = address_of(target.bind_address, 0);
        ok = bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    }
    if (ok) {
        timeval tv{io_timeout_ms / 1000, (io_timeout_ms % 1000) * 1000};
        ok = setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
             setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
    }
    ok = ok && connect_within(fd, address_of(target.address, target.port)) &&
         run_upstream_exchange(static_cast<std::uint64_t>(fd), transport, query, out_answer);
    sockets.leave(static_cast<std::uint64_t>(fd));
    close(fd);
    if (!ok) {
        out_answer.clear();
    }
    return ok;
}

}  // namespace pelto::tun
