// How a burst of network notifications becomes one due moment.

#include "tun/network_watch.h"

#include <gtest/gtest.h>

#include <functional>

namespace pelto::tun {
namespace {

using std::chrono::milliseconds;

TEST(change_debouncer, a_burst_is_due_once_it_is_quiet_but_never_later_than_the_limit_after_it_began)
{
    change_debouncer burst;
    EXPECT_FALSE(burst.due().has_value());
    const auto start = change_debouncer::clock::time_point{} + std::chrono::hours(1);

    burst.note(start);
    EXPECT_EQ(burst.due(), start + network_quiet_period);
    // Each notification within the quiet period pushes the moment on...
    burst.note(start + milliseconds(200));
    EXPECT_EQ(burst.due(), start + milliseconds(200) + network_quiet_period);
    // ...but a burst that never goes quiet is handled at the limit after its first notification.
    for (int at = 400; at <= 1600; at += 200) {
        burst.note(start + milliseconds(at));
    }
    EXPECT_EQ(burst.due(), start + network_max_delay);
    static_assert(network_max_delay < std::chrono::seconds(2), "a change is followed within 2 s");

    burst.clear();
    EXPECT_FALSE(burst.due().has_value());
    // The next burst is measured from its own first notification.
    burst.note(start + milliseconds(5000));
    EXPECT_EQ(burst.due(), start + milliseconds(5000) + network_quiet_period);
}

// A handler that cannot take the change now (the TUN lock is held) is asked again shortly, and a
// handled change is not handled twice.
TEST(change_debouncer, a_refused_change_is_retried_and_a_handled_one_runs_once)
{
    change_debouncer burst;
    const auto start = change_debouncer::clock::time_point{} + std::chrono::hours(1);
    EXPECT_FALSE(burst.wait_ms(start).has_value());
    int calls = 0;
    bool accept = false;
    const std::function<bool()> handler = [&] {
        ++calls;
        return accept;
    };

    burst.note(start);
    EXPECT_EQ(burst.wait_ms(start), network_quiet_period.count() + 1);
    burst.run_when_due(start + milliseconds(100), handler);
    EXPECT_EQ(calls, 0);  // not quiet yet
    const auto due = start + network_quiet_period;
    burst.run_when_due(due, handler);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(burst.wait_ms(due), network_retry_period.count() + 1);
    accept = true;
    burst.run_when_due(due + network_retry_period, handler);
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(burst.wait_ms(due + network_retry_period).has_value());
    burst.run_when_due(due + std::chrono::seconds(10), handler);
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace pelto::tun
