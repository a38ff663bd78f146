#include "engine/system_proxy.h"

#include "tests/support/gsettings_sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace {

using pelto::proxy_settings;

#ifndef _WIN32
const pelto::testing::gsettings_sandbox sandbox;
#endif

proxy_settings read_now()
{
    proxy_settings s;
    std::u16string error;
    EXPECT_TRUE(pelto::read_proxy_settings(s, error)) << std::string(error.begin(), error.end());
    return s;
}

// Writes `s` as if the user had, and returns what the platform keeps of it.
proxy_settings user_writes(const proxy_settings& s)
{
    std::u16string error;
    EXPECT_TRUE(pelto::write_proxy_settings(s, error)) << std::string(error.begin(), error.end());
    return read_now();
}

const proxy_settings users_proxy{pelto::proxy_type_direct | pelto::proxy_type_proxy,
                                 u"proxy.example:3128", u"intranet.example;10.0.0.0/8", u""};
const proxy_settings users_direct{pelto::proxy_type_direct, u"", u"", u""};

class system_proxy : public testing::Test {
protected:
    void SetUp() override { before_ = read_now(); }
    // Leaves the machine as found, whatever the test did (a real Windows user's settings too).
    void TearDown() override
    {
        pelto::restore_system_proxy();
        std::u16string error;
        pelto::write_proxy_settings(before_, error);
    }

private:
    proxy_settings before_;
};

TEST_F(system_proxy, points_at_the_port_and_restores_the_users_settings)
{
    const proxy_settings users = user_writes(users_proxy);
    EXPECT_EQ(users.server, users_proxy.server);

    ASSERT_TRUE(pelto::set_system_proxy(17890));
    const proxy_settings ours = read_now();
    EXPECT_EQ(ours.flags & pelto::proxy_type_proxy, pelto::proxy_type_proxy);
    EXPECT_EQ(ours.server, u"127.0.0.1:17890");
    EXPECT_EQ(ours.autoconfig_url, u"");

    // A second session start while ours are applied keeps the settings saved the first time.
    ASSERT_TRUE(pelto::set_system_proxy(17891));
    EXPECT_EQ(read_now().server, u"127.0.0.1:17891");

    EXPECT_TRUE(pelto::restore_system_proxy());
    EXPECT_EQ(read_now(), users);
    // Nothing left to restore: a further call changes nothing.
    const proxy_settings changed = user_writes(users_direct);
    EXPECT_TRUE(pelto::restore_system_proxy());
    EXPECT_EQ(read_now(), changed);
}

TEST_F(system_proxy, restores_an_auto_config_setup)
{
    const proxy_settings users = user_writes(
        {pelto::proxy_type_direct | pelto::proxy_type_auto_proxy_url, u"", u"",
         u"http://config.example/proxy.pac"});
    ASSERT_TRUE(pelto::set_system_proxy(17892));
    EXPECT_EQ(read_now().server, u"127.0.0.1:17892");
    EXPECT_TRUE(pelto::restore_system_proxy());
    EXPECT_EQ(read_now(), users);
}

TEST_F(system_proxy, keeps_automatic_detection_across_a_session)
{
    const proxy_settings users =
        user_writes({pelto::proxy_type_direct | pelto::proxy_type_auto_detect, u"", u"", u""});
    if ((users.flags & pelto::proxy_type_auto_detect) == 0) {
        GTEST_SKIP() << "this platform keeps no automatic-detection setting";
    }
    ASSERT_TRUE(pelto::set_system_proxy(17893));
    EXPECT_TRUE(pelto::restore_system_proxy());
    const proxy_settings after = read_now();
    EXPECT_EQ(after, users);
    EXPECT_TRUE(after.flags & pelto::proxy_type_auto_detect);
}

TEST_F(system_proxy, leaves_settings_the_user_changed_meanwhile)
{
    user_writes(users_direct);
    ASSERT_TRUE(pelto::set_system_proxy(17890));
    const proxy_settings theirs = user_writes(users_proxy);
    EXPECT_TRUE(pelto::restore_system_proxy());
    EXPECT_EQ(read_now(), theirs);

    // A change of the bypass list alone counts too, where the platform keeps one.
    const proxy_settings users = user_writes(users_direct);
    ASSERT_TRUE(pelto::set_system_proxy(17890));
    proxy_settings tweaked = read_now();
    tweaked.bypass += u";printer.example";
    tweaked = user_writes(tweaked);
    EXPECT_TRUE(pelto::restore_system_proxy());
    if (tweaked.bypass.empty()) {
        EXPECT_EQ(read_now(), users);  // nothing of the change survived: ours are put back
    } else {
        EXPECT_EQ(read_now(), tweaked);
    }
}

TEST_F(system_proxy, refuses_ports_outside_the_tcp_range_without_changing_anything)
{
    const proxy_settings users = user_writes(users_proxy);
    EXPECT_FALSE(pelto::set_system_proxy(0));
    EXPECT_FALSE(pelto::set_system_proxy(65536));
    EXPECT_EQ(read_now(), users);
    EXPECT_TRUE(pelto::restore_system_proxy());
    EXPECT_EQ(read_now(), users);
}

TEST_F(system_proxy, exit_handler_restores_the_users_settings)
{
    // Each child re-runs this test from the top and runs only its own statement, so everything
    // that changes settings happens inside the first child, and the second only looks.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            user_writes(users_proxy);
            std::exit(pelto::set_system_proxy(17893) && read_now().server == u"127.0.0.1:17893"
                          ? 0
                          : 3);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            const proxy_settings now = read_now();
            // Platforms normalise the flags (Wine reports the proxy bit alone), so look at the
            // parts every platform keeps.
            std::exit(now.server == users_proxy.server &&
                              (now.flags & pelto::proxy_type_proxy) != 0
                          ? 0
                          : 4);
        },
        testing::ExitedWithCode(0), "");
}

#ifndef _WIN32
// With no persistent settings store GIO keeps values in memory: they read back although the
// desktop never sees them. That must count as a failure, not as a proxy that was set.
TEST(system_proxy_store, memory_backend_is_a_failure)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::setenv("GSETTINGS_BACKEND", "memory", 1);
            proxy_settings now;
            std::u16string error;
            const bool read = pelto::read_proxy_settings(now, error);
            const bool set = pelto::set_system_proxy(17894);
            std::exit(!read && !set && !error.empty() ? 0 : 5);
        },
        testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
