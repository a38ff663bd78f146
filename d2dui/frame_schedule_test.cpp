#include <gtest/gtest.h>

#include "d2dui/frame_schedule.h"

namespace d2dui {
namespace {

constexpr std::int64_t ms = 1'000'000;

TEST(frame_schedule, nothing_asked_nothing_due_and_the_loop_may_sleep_for_ever)
{
    frame_schedule s;
    EXPECT_FALSE(s.frame_due(0));
    EXPECT_EQ(s.next_deadline(), frame_schedule::never);
    s.request_frame();
    EXPECT_TRUE(s.frame_due(0));
    EXPECT_EQ(s.next_deadline(), 0);
    s.begin_frame(10 * ms);
    s.end_frame();
    EXPECT_FALSE(s.frame_due(10 * ms));
    EXPECT_EQ(s.next_deadline(), frame_schedule::never);

    // A wake-up deadline runs the poll, it draws nothing by itself.
    s.wake_at(500 * ms);
    EXPECT_EQ(s.next_deadline(), 500 * ms);
    EXPECT_FALSE(s.frame_due(600 * ms));
    s.woke(400 * ms);
    EXPECT_EQ(s.next_deadline(), 500 * ms);
    s.woke(600 * ms);
    EXPECT_EQ(s.next_deadline(), frame_schedule::never);
}

TEST(frame_schedule, frame_steps_for_animation_deadlines_and_the_end_of_a_rest)
{
    frame_schedule s;
    s.request_frame();
    EXPECT_EQ(s.begin_frame(1000 * ms), 0.0f);  // the first frame
    s.request_frame();                          // an animation in flight asks for the next one
    s.end_frame();
    EXPECT_NEAR(s.begin_frame(1016 * ms), 0.016f, 1e-6);
    s.request_frame();
    s.end_frame();
    EXPECT_NEAR(s.begin_frame(2000 * ms), 0.05f, 1e-6);  // a long frame animates by 0.05 s at most
    s.end_frame();

    // At rest for a while; input asks for a frame: its animations start here, no jump.
    s.request_frame();
    EXPECT_EQ(s.begin_frame(9000 * ms), 0.0f);
    // A caret asks to be drawn again in 0.5 s: that frame steps by the real time.
    s.request_frame_after(0.5f);
    s.end_frame();
    EXPECT_EQ(s.next_deadline(), 9500 * ms);
    EXPECT_FALSE(s.frame_due(9499 * ms));
    EXPECT_TRUE(s.frame_due(9500 * ms));
    EXPECT_NEAR(s.begin_frame(9501 * ms), 0.501f, 1e-6);
    s.end_frame();
    EXPECT_EQ(s.next_deadline(), frame_schedule::never);
    // ... but by no more than the delay plus 0.05 s when the loop was held up.
    s.request_frame();
    s.begin_frame(10000 * ms);
    s.request_frame_after(0.5f);
    s.end_frame();
    EXPECT_NEAR(s.begin_frame(20000 * ms), 0.55f, 1e-6);
    s.end_frame();
    EXPECT_EQ(s.frames_begun(), 7u);
}

}  // namespace
}  // namespace d2dui
