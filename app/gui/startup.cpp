#include "app/gui/startup.h"

#include "system/elevation.h"

namespace pelto::gui {

startup_calls real_startup_calls()
{
    startup_calls c;
    c.load_preferences = [] { return load_preferences(); };
    c.find_default_interface = [] { return tun::find_default_interface(); };
    c.is_elevated = [] { return is_elevated(); };
    c.relaunch_elevated = [] { return relaunch_elevated(); };
    return c;  // take_lock belongs to the caller, which holds the lock for the whole run
}

startup_plan plan_startup(const std::vector<std::string>& args, const startup_calls& calls)
{
    bool elevate = false;
    bool handover = false;
    const std::string elevate_text = elevate_switch();
    const std::string handover_text = handover_switch();
    for (const std::string& a : args) {
        if (a == elevate_text) {
            elevate = true;
        } else if (a == handover_text) {
            handover = true;
        }
    }

    startup_plan plan;
    switch (calls.take_lock(handover ? handover_wait_ms : 0)) {
    case lock_result::failed:
        plan.exit_code = 1;
        return plan;
    case lock_result::held_elsewhere:
        return plan;  // the running instance stays in charge
    case lock_result::taken:
        break;
    }

    preferences prefs = calls.load_preferences();
    plan.start.stored_tun_enabled = prefs.tun_enabled;
    const tun::default_interface iface = calls.find_default_interface();
    const bool wired = iface.found && iface.wired;
    bool tun = false;
    if (elevate || prefs.tun_enabled || wired) {
        if (calls.is_elevated()) {
            tun = true;
        } else if (handover) {
            // Started elevated by a previous instance and still without the rights: asking
            // again would repeat for ever.
            plan.start.elevation_refused = true;
        } else if (calls.relaunch_elevated()) {
            return plan;  // the elevated instance takes over
        }
    }
    prefs.tun_enabled = tun;
    plan.start.prefs = prefs;
    plan.run = true;
    return plan;
}

}  // namespace pelto::gui
