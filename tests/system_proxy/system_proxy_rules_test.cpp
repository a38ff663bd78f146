// The system-proxy rules on a scripted platform: one settings record that the tests can make
// refuse reads and writes, standing in for the WinINet and GSettings backends.
#include "engine/system_proxy.h"

#include <gtest/gtest.h>

namespace pelto {
namespace {

struct scripted_platform {
    proxy_settings held;
    int failing_writes = 0;  // the next this many writes fail without changing anything
    int failing_reads = 0;
};

scripted_platform platform;

}  // namespace

bool read_proxy_settings(proxy_settings& out, std::u16string& out_error)
{
    if (platform.failing_reads > 0) {
        --platform.failing_reads;
        out_error = u"scripted read failure";
        return false;
    }
    out = platform.held;
    return true;
}

bool write_proxy_settings(const proxy_settings& settings, std::u16string& out_error)
{
    if (platform.failing_writes > 0) {
        --platform.failing_writes;
        out_error = u"scripted write failure";
        return false;
    }
    platform.held = settings;
    return true;
}

std::u16string loopback_bypass_list()
{
    return u"localhost;127.*";
}

namespace {

const proxy_settings users{proxy_type_direct | proxy_type_proxy, u"proxy.example:3128", u"intranet.example", u""};

// Re-pointing the proxy at a new port while ours are applied, when both that write and the
// roll-back fail: the platform still points at the old port, which closes with its session, so
// the next restore must recognise it as ours - also when it could not even be read back.
TEST(system_proxy_rules, a_failed_repoint_whose_rollback_fails_is_still_restored_later)
{
    for (const int failing_reads : {0, 1}) {
        SCOPED_TRACE(failing_reads);
        platform.held = users;
        ASSERT_TRUE(set_system_proxy(17890));
        platform.failing_writes = 2;  // the write for the new port and the roll-back
        platform.failing_reads = failing_reads;
        EXPECT_FALSE(set_system_proxy(17891));
        EXPECT_EQ(platform.held.server, u"127.0.0.1:17890");
        EXPECT_TRUE(restore_system_proxy());
        EXPECT_EQ(platform.held.server, users.server);
        EXPECT_TRUE(platform.held == users);
    }
}

}  // namespace
}  // namespace pelto
