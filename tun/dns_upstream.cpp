#include "tun/dns_upstream.h"

#include <algorithm>

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

void upstream_sockets::reset()
{
    std::lock_guard hold(lock_);
    stopped_ = false;
}

}  // namespace pelto::tun
