#include "tun/dns_upstream.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace pelto::tun {

namespace {

constexpr int connect_timeout_ms = 2000;
constexpr DWORD io_timeout_ms = 2000;

sockaddr_in address_of(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = address;  // already in network order
    return a;
}

bool connect_within(SOCKET s, const sockaddr_in& to)
{
    u_long non_blocking = 1;
    if (ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
        return false;
    }
    bool ok = connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    if (!ok && WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        timeval tv{connect_timeout_ms / 1000, (connect_timeout_ms % 1000) * 1000};
        int error = 0;
        int length = sizeof error;
        ok = select(0, nullptr, &writable, nullptr, &tv) == 1 && FD_ISSET(s, &writable) &&
             getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 &&
             error == 0;
    }
    u_long blocking = 0;
    return ok && ioctlsocket(s, FIONBIO, &blocking) == 0;
}

}  // namespace

void shutdown_upstream_socket(std::uint64_t socket)
{
    shutdown(static_cast<SOCKET>(socket), SD_BOTH);
}

bool exchange_with_upstream(const upstream_target& target, dns_transport transport,
                            byte_span query, upstream_sockets& sockets, bytes& out_answer)
{
    out_answer.clear();
    if (target.address == 0) {
        return false;
    }
    const SOCKET s = socket(AF_INET, transport == dns_transport::tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        return false;
    }
    if (!sockets.enter(static_cast<std::uint64_t>(s))) {
        closesocket(s);
        return false;
    }
    bool ok = true;
    if (target.bind_address != 0) {
        const sockaddr_in local = address_of(target.bind_address, 0);
        ok = bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    }
    if (ok) {
        ok = setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&io_timeout_ms), sizeof io_timeout_ms) == 0 &&
             setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&io_timeout_ms), sizeof io_timeout_ms) == 0;
    }
    ok = ok && connect_within(s, address_of(target.address, target.port)) &&
         run_upstream_exchange(static_cast<std::uint64_t>(s), transport, query, out_answer);
    sockets.leave(static_cast<std::uint64_t>(s));
    closesocket(s);
    if (!ok) {
        out_answer.clear();
    }
    return ok;
}

}  // namespace pelto::tun
