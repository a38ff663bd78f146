#include "tun/dns_upstream.h"

#include <algorithm>

#include "net/socket.h"

namespace pelto::tun {

void shutdown_upstream_socket(std::uint64_t socket);  // per platform

bool upstream_sockets::enter(std::uint64_t socket)
{
    std::lock_guard hold(lock_);
    if (stopped_) {
        return false;
    }
    open_.push_back(socket);
    return true;
}

void upstream_sockets::leave(std::uint64_t socket)
{
    std::lock_guard hold(lock_);
    open_.erase(std::remove(open_.begin(), open_.end(), socket), open_.end());
}

void upstream_sockets::shutdown_all()
{
    std::lock_guard hold(lock_);
    stopped_ = true;
    for (std::uint64_t s : open_) {
        shutdown_upstream_socket(s);
    }
}

bool run_upstream_exchange(std::uint64_t socket, dns_transport transport, byte_span query, bytes& out_answer)
{
    if (query.size() > 0xFFFF) {
        return false;
    }
    const std::int32_t query_size = static_cast<std::int32_t>(query.size());
    if (transport == dns_transport::tcp) {
        bytes framed;
        framed.reserve(query.size() + 2);
        framed.push_back(static_cast<std::uint8_t>(query.size() >> 8));
        framed.push_back(static_cast<std::uint8_t>(query.size()));
        framed.insert(framed.end(), query.begin(), query.end());
        std::uint8_t length[2];
        if (!send_all(socket, framed.data(), query_size + 2) || !recv_exact(socket, length, 2)) {
            return false;
        }
        const std::size_t m = static_cast<std::size_t>(length[0] << 8 | length[1]);
        if (m < 12) {
            return false;
        }
        out_answer.resize(m);
        return recv_exact(socket, out_answer.data(), static_cast<std::int32_t>(m));
    }
    if (!send_all(socket, query.data(), query_size)) {
        return false;
    }
    out_answer.resize(4096);
    const std::int32_t n = recv_some(socket, out_answer.data(), static_cast<std::int32_t>(out_answer.size()));
    if (n < 12) {
        return false;
    }
    out_answer.resize(static_cast<std::size_t>(n));
    return true;
}

void upstream_sockets::reset()
{
    std::lock_guard hold(lock_);
    stopped_ = false;
}

}  // namespace pelto::tun
