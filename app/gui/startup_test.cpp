#include <gtest/gtest.h>

#include "system/elevation.h"
#include "app/gui/startup.h"

namespace pelto::gui {
namespace {

struct machine {
    lock_result lock = lock_result::taken;
    bool stored_tun = false;
    bool wired = false;
    bool elevated = false;
    bool relaunch_ok = false;
    int lock_wait = -1;
    int relaunches = 0;

    startup_calls calls()
    {
        startup_calls c;
        c.take_lock = [this](int wait_ms) {
            lock_wait = wait_ms;
            return lock;
        };
        c.load_preferences = [this] {
            preferences p;
            p.tun_enabled = stored_tun;
            p.subscription_url = u"https://example.test/s";
            return p;
        };
        c.find_default_interface = [this] {
            tun::default_interface iface;
            iface.id = 7;
            iface.wired = wired;
            iface.found = true;
            return iface;
        };
        c.is_elevated = [this] { return elevated; };
        c.relaunch_elevated = [this] {
            ++relaunches;
            return relaunch_ok;
        };
        return c;
    }
};

TEST(startup, single_instance_and_the_hand_over_wait)
{
    machine m;
    m.lock = lock_result::held_elsewhere;
    startup_plan p = plan_startup({"--unknown"}, m.calls());
    EXPECT_FALSE(p.run);
    EXPECT_EQ(p.exit_code, 0);
    EXPECT_EQ(m.lock_wait, 0);
    p = plan_startup({handover_switch()}, m.calls());
    EXPECT_EQ(m.lock_wait, handover_wait_ms);
    EXPECT_FALSE(p.run);
    m.lock = lock_result::failed;
    EXPECT_EQ(plan_startup({}, m.calls()).exit_code, 1);
}

TEST(startup, the_tun_decision_table)
{
    struct row {
        bool switch_given, stored, wired, elevated, relaunch_ok;
        bool run, tun;
        int relaunches;
    };
    const row rows[] = {
        {false, false, false, false, false, true, false, 0},  // nothing wants TUN
        {false, false, true, true, false, true, true, 0},     // wired and elevated: on, no prompt
        {false, false, true, false, true, false, false, 1},   // wired: the elevated one takes over
        {false, true, false, false, false, true, false, 1},   // declined: runs with TUN off
        {true, false, false, true, false, true, true, 0},     // the switch, elevated
        {true, false, false, false, true, false, false, 1},
        {false, true, false, true, false, true, true, 0},     // stored, elevated: no relaunch
    };
    for (const row& r : rows) {
        machine m;
        m.stored_tun = r.stored;
        m.wired = r.wired;
        m.elevated = r.elevated;
        m.relaunch_ok = r.relaunch_ok;
        std::vector<std::string> args{"ignored"};
        if (r.switch_given) {
            args.push_back(elevate_switch());
        }
        const startup_plan p = plan_startup(args, m.calls());
        SCOPED_TRACE(testing::Message() << r.switch_given << r.stored << r.wired << r.elevated << r.relaunch_ok);
        EXPECT_EQ(p.run, r.run);
        EXPECT_EQ(p.exit_code, 0);
        EXPECT_EQ(m.relaunches, r.relaunches);
        if (p.run) {
            EXPECT_EQ(p.start.prefs.tun_enabled, r.tun);
            EXPECT_EQ(p.start.stored_tun_enabled, r.stored);
            EXPECT_EQ(p.start.prefs.subscription_url, u"https://example.test/s");
            EXPECT_FALSE(p.start.elevation_refused);
        }
    }
}

TEST(startup, a_hand_over_instance_without_rights_never_relaunches_again)
{
    machine m;
    m.wired = true;
    m.relaunch_ok = true;  // the shell would accept again and again
    const startup_plan p = plan_startup({handover_switch(), elevate_switch()}, m.calls());
    EXPECT_TRUE(p.run);
    EXPECT_EQ(m.relaunches, 0);
    EXPECT_FALSE(p.start.prefs.tun_enabled);
    EXPECT_TRUE(p.start.elevation_refused);
}

}  // namespace
}  // namespace pelto::gui
