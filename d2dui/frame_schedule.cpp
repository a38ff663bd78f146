#include "d2dui/frame_schedule.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace d2dui {

namespace {

constexpr float max_step = 0.05f;

}  // namespace

std::int64_t monotonic_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

frame_schedule& frames()
{
    static frame_schedule schedule;
    return schedule;
}

std::int64_t frame_schedule::now_ns() const
{
    return in_frame_ ? frame_ns_ : monotonic_ns();
}

void frame_schedule::request_frame()
{
    immediate_ = true;
    if (in_frame_) {
        asked_in_frame_ = true;
    }
}

void frame_schedule::request_frame_after(float seconds)
{
    const float delay = std::max(0.0f, seconds);
    const std::int64_t due = now_ns() + static_cast<std::int64_t>(std::llround(static_cast<double>(delay) * 1e9));
    if (due < draw_at_) {
        draw_at_ = due;
        deadline_delay_ = delay;
    }
}

void frame_schedule::wake_at(std::int64_t due_ns)
{
    wake_at_ = std::min(wake_at_, due_ns);
}

bool frame_schedule::frame_due(std::int64_t now) const
{
    return immediate_ || draw_at_ <= now;
}

std::int64_t frame_schedule::next_deadline() const
{
    if (immediate_) {
        return 0;
    }
    return std::min(draw_at_, wake_at_);
}

float frame_schedule::begin_frame(std::int64_t now)
{
    kind why = kind::fresh;
    if (immediate_ && asked_in_frame_) {
        why = kind::continuing;
    } else if (!immediate_ && draw_at_ <= now) {
        why = kind::deadline;
    }
    const float delay = deadline_delay_;
    const double elapsed = has_previous_ ? static_cast<double>(now - frame_ns_) / 1e9 : 0.0;
    float step = 0;
    if (why == kind::continuing) {
        step = static_cast<float>(std::clamp(elapsed, 0.0, static_cast<double>(max_step)));
    } else if (why == kind::deadline) {
        step = static_cast<float>(std::clamp(elapsed, 0.0, static_cast<double>(delay + max_step)));
    }
    immediate_ = false;
    asked_in_frame_ = false;
    if (draw_at_ <= now) {
        draw_at_ = never;
        deadline_delay_ = 0;
    }
    frame_ns_ = now;
    has_previous_ = true;
    in_frame_ = true;
    ++frames_begun_;
    return step;
}

void frame_schedule::end_frame()
{
    in_frame_ = false;
}

void frame_schedule::woke(std::int64_t now)
{
    if (wake_at_ <= now) {
        wake_at_ = never;
    }
}

void frame_schedule::reset()
{
    *this = frame_schedule{};
}

}  // namespace d2dui
