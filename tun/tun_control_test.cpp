#include "tun/tun_control.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::unique_ptr<pelto::tun_conn> never_dials(std::string_view, std::uint16_t, std::u16string& out_error)
{
    out_error = u"not expected";
    ADD_FAILURE() << "TUN mode dialled although it never started";
    return nullptr;
}

TEST(tun_control, without_an_active_tun_only_the_leak_protection_wish_changes)
{
    pelto::tun_stop();
    pelto::tun_pause();

    std::u16string message = u"stale";
    EXPECT_TRUE(pelto::tun_set_leak_protection(true, message));
    EXPECT_TRUE(pelto::tun_leak_protection_wanted());
    pelto::tun_pause();
    pelto::tun_stop();
    EXPECT_TRUE(pelto::tun_leak_protection_wanted());  // a user setting, not TUN state
    EXPECT_TRUE(pelto::tun_set_leak_protection(false, message));
    EXPECT_FALSE(pelto::tun_leak_protection_wanted());
}

TEST(tun_control, start_fails_with_a_reason_and_leaves_nothing_behind)
{
    // Never reconfigures the machine running the tests: the start is made to fail at the check
    // of the rights, before anything on the system is looked at.
    pelto::set_tun_start_fault_for_testing(pelto::tun_start_step::rights);
    std::u16string message;
    EXPECT_FALSE(pelto::tun_start(never_dials, "node.example", message));
    EXPECT_FALSE(message.empty());

    std::u16string no_dial_message;
    EXPECT_FALSE(pelto::tun_start(pelto::dial_fn(), "node.example", no_dial_message));
    EXPECT_FALSE(no_dial_message.empty());
    EXPECT_NE(no_dial_message, message);

    // The engine's session end and shutdown after a failed start.
    pelto::tun_pause();
    pelto::tun_stop();
    EXPECT_FALSE(pelto::tun_start(never_dials, "node.example", message));
    EXPECT_FALSE(pelto::tun_active());
    pelto::set_tun_start_fault_for_testing(pelto::tun_start_step::none);
}

TEST(tun_control, log_lines_reach_the_sink_installed_last)
{
    std::vector<std::u16string> first;
    std::vector<std::u16string> second;
    pelto::tun_log(u"before any sink");  // goes nowhere, must not crash
    pelto::set_tun_log_sink([&](std::u16string_view line) { first.emplace_back(line); });
    pelto::tun_log(u"one");
    pelto::set_tun_log_sink([&](std::u16string_view line) { second.emplace_back(line); });
    std::thread other([] { pelto::tun_log(u"two"); });
    other.join();
    pelto::set_tun_log_sink({});
    pelto::tun_log(u"three");
    EXPECT_EQ(first, std::vector<std::u16string>{u"one"});
    EXPECT_EQ(second, std::vector<std::u16string>{u"two"});
}

}  // namespace
