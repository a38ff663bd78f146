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

std::optional<std::int64_t> change_debouncer::wait_ms(clock::time_point now) const
{
    std::optional<clock::time_point> next = due();
    if (retry_at_ && (!next || *retry_at_ < *next)) {
        next = retry_at_;
    }
    if (!next) {
        return std::nullopt;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*next - now);
    return std::max<std::int64_t>(0, left.count() + 1);
}

void change_debouncer::run_when_due(clock::time_point now, const std::function<bool()>& on_change)
{
    const std::optional<clock::time_point> burst_due = due();
    if ((burst_due && *burst_due <= now) || (retry_at_ && *retry_at_ <= now)) {
        clear();
        retry_at_.reset();
        if (!on_change()) {
            retry_at_ = now + network_retry_period;
        }
    }
}

}  // namespace pelto::tun
