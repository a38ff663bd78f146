#include "tun/network_watch.h"

#include <algorithm>

namespace pelto::tun {

void change_debouncer::note(clock::time_point now)
{
    if (!first_) {
        first_ = now;
    }
    last_ = now;
}

std::optional<change_debouncer::clock::time_point> change_debouncer::due() const
{
    if (!first_) {
        return std::nullopt;
    }
    return std::min(*last_ + network_quiet_period, *first_ + network_max_delay);
}

void change_debouncer::clear()
{
    first_.reset();
    last_.reset();
}

}  // namespace pelto::tun
