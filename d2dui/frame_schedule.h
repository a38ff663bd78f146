#pragma once
// When the window draws its next frame, and when its loop must wake without drawing.
//
// The window draws only when something asked for a frame: input, a size or DPI change, a paint
// request, a change the application's poll brought in, or a running animation (an animator that
// is still moving asks for the next frame each time it is stepped). Between frames the loop
// sleeps until input, a message, a wake from another thread or the earliest deadline here.
//
// Frame steps: a frame asked for during the previous frame (an animation in flight) advances by
// the time since that frame, at most 0.05 s; a frame asked for by a deadline ("draw again in 0.5
// s", a blinking caret) advances by the time since the previous frame, at most the delay asked
// for plus 0.05 s; a frame that ends a rest (nothing was moving) advances by 0, so a change starts
// its animation at this frame instead of jumping.
//
// UI thread only. One window per process, so `frames()` is process-wide, like the input state.

#include <cstdint>
#include <limits>

namespace d2dui {

class frame_schedule {
public:
    static constexpr std::int64_t never = std::numeric_limits<std::int64_t>::max();

    // Draw at the next loop turn.
    void request_frame();
    // Draw `seconds` after the current frame (after now outside a frame) at the latest.
    void request_frame_after(float seconds);
    // Run a loop turn (the application's poll) at `due_ns` on the monotonic clock, drawing only
    // when a frame was asked for.
    void wake_at(std::int64_t due_ns);

    // The loop's side. `frame_due`: a frame should be drawn at `now_ns`.
    bool frame_due(std::int64_t now_ns) const;
    // The earliest time the loop must run again: `now_ns` or earlier when a frame is due, `never`
    // when nothing is pending.
    std::int64_t next_deadline() const;
    std::int64_t wake_deadline() const { return wake_at_; }
    // Starts a frame at `now_ns`: consumes the requests it satisfies and returns the frame step in
    // seconds by the rules above. Requests made until `end_frame` are for the following frame.
    float begin_frame(std::int64_t now_ns);
    void end_frame();
    // A wake-up at `now_ns` consumed the wake deadlines that have passed.
    void woke(std::int64_t now_ns);
    // Forgets every request and the previous frame (a new window).
    void reset();

    // Frames begun since `reset`.
    std::uint64_t frames_begun() const { return frames_begun_; }
    // Monotonic time used for requests: the current frame's time inside a frame, else the clock.
    std::int64_t now_ns() const;

private:
    enum class kind { none, continuing, deadline, fresh };

    bool in_frame_ = false;
    bool immediate_ = false;            // asked for the next turn
    bool asked_in_frame_ = false;       // ... and it was asked during a frame
    std::int64_t draw_at_ = never;      // a deadline frame
    float deadline_delay_ = 0;          // seconds asked for by the deadline frame
    std::int64_t wake_at_ = never;
    std::int64_t frame_ns_ = 0;         // time of the current (or last) frame
    bool has_previous_ = false;
    std::uint64_t frames_begun_ = 0;
};

frame_schedule& frames();

// The monotonic clock the schedule and the loop share (nanoseconds).
std::int64_t monotonic_ns();

}  // namespace d2dui
