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

bool send_all_bytes(SOCKET s, const std::uint8_t* data, std::size_t length)
{
    while (length > 0) {
        const int n = send(s, reinterpret_cast<const char*>(data), static_cast<int>(length), 0);
        if (n <= 0) {
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool recv_all_bytes(SOCKET s, std::uint8_t* data, std::size_t length)
{
    while (length > 0) {
        const int n = recv(s, reinterpret_cast<char*>(data), static_cast<int>(length), 0);
        if (n <= 0) {
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool run_exchange(SOCKET s, dns_transport transport, byte_span query, bytes& out_answer)
{
    if (transport == dns_transport::tcp) {
        bytes framed;
        framed.push_back(static_cast<std::uint8_t>(query.size() >> 8));
        framed.push_back(static_cast<std::uint8_t>(query.size()));
        framed.insert(framed.end(), query.begin(), query.end());
        std::uint8_t length[2];
        if (!send_all_bytes(s, framed.data(), framed.size()) || !recv_all_bytes(s, length, 2)) {
            return false;
        }
        const std::size_t m = static_cast<std::size_t>(length[0] << 8 | length[1]);
        if (m < 12) {
            return false;
        }
        out_answer.resize(m);
        return recv_all_bytes(s, out_answer.data(), m);
    }
    const int sent = send(s, reinterpret_cast<const char*>(query.data()), static_cast<int>(query.size()), 0);
    if (sent != static_cast<int>(query.size())) {
        return false;
    }
    out_answer.resize(4096);
    const int n = recv(s, reinterpret_cast<char*>(out_answer.data()), static_cast<int>(out_answer.size()), 0);
    if (n < 12) {
        return false;
    }
    out_answer.resize(static_cast<std::size_t>(n));
    return true;
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
         run_exchange(s, transport, query, out_answer);
    sockets.leave(static_cast<std::uint64_t>(s));
    closesocket(s);
    if (!ok) {
        out_answer.clear();
    }
    return ok;
}

}  // namespace pelto::tun
