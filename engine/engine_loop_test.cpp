#include "engine/engine_loop.h"

#include <gtest/gtest.h>

#include "system/elevation.h"
#include "engine/engine_state.h"
#include "tun/tun_control.h"
#include "base/localized_text.h"

namespace pelto {
namespace {

class TunSwitch : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset()
    {
        engine_shared& g = engine_globals();
        g.quit_flag = false;
        const std::lock_guard lock(g.engine_mutex);
        g.tun_enabled = false;
        g.prefs.tun_enabled = false;
        g.session_active = false;
    }
    static bool stored()
    {
        engine_shared& g = engine_globals();
        const std::lock_guard lock(g.engine_mutex);
        EXPECT_EQ(g.tun_enabled, g.prefs.tun_enabled);
        return g.tun_enabled;
    }
};

TEST_F(TunSwitch, ClosingSameValueAndIdleSwitching)
{
    std::u16string message;
    engine_globals().quit_flag = true;
    EXPECT_FALSE(tun_switch(true, message));
    EXPECT_EQ(message, localized_text(message_id::program_closing));
    EXPECT_FALSE(stored());
    engine_globals().quit_flag = false;

    message.clear();
    EXPECT_TRUE(tun_switch(false, message));  // already off: nothing to do
    EXPECT_TRUE(message.empty());

    if (!is_elevated()) {
        EXPECT_FALSE(tun_switch(true, message));
        EXPECT_EQ(message, localized_text(message_id::tun_needs_administrator));
        EXPECT_FALSE(stored());
        GTEST_SKIP() << "switching on needs administrator rights";
    }
    // No session: only the preference changes, both ways.
    EXPECT_TRUE(tun_switch(true, message));
    EXPECT_TRUE(stored());
    EXPECT_TRUE(tun_switch(false, message));
    EXPECT_FALSE(stored());
}

TEST_F(TunSwitch, DuringASessionFailuresKeepThePreference)
{
    {
        engine_shared& g = engine_globals();
        const std::lock_guard lock(g.engine_mutex);
        g.session_active = true;
    }
    std::u16string message;
    if (is_elevated()) {
        // TUN mode fails to start (made to, so that this machine is never reconfigured): the
        // switch fails with TUN mode's own message.
        set_tun_start_fault_for_testing(tun_start_step::default_interface);
        EXPECT_FALSE(tun_switch(true, message));
        set_tun_start_fault_for_testing(tun_start_step::none);
        EXPECT_FALSE(message.empty());
        EXPECT_FALSE(stored());
    }
    // Switching back to proxy mode needs the listener's port; without one it fails with 31.
    {
        engine_shared& g = engine_globals();
        const std::lock_guard lock(g.engine_mutex);
        g.tun_enabled = true;
        g.prefs.tun_enabled = true;
    }
    message.clear();
    EXPECT_FALSE(tun_switch(false, message));
    EXPECT_EQ(message, localized_text(message_id::system_proxy_not_changed));
    EXPECT_TRUE(stored());
}

}  // namespace
}  // namespace pelto
