#pragma once
// Process start-up before any window: the switches, the single instance, the preferences and the
// TUN decision. Everything it asks of the system comes through `startup_calls`, so the whole
// decision table runs in tests; `real_startup_calls` is the product's.
//
// TUN is wanted at start when the elevate switch was given, the stored preference says so, or the
// default route runs over a wired hardware adapter (asked of the lookup TUN mode itself uses).
// Wanted and elevated: on. Wanted and not elevated: an elevated instance is started to take over
// and this one exits 0; when that fails, or when this instance is itself the hand-over instance
// (which never relaunches again), it runs with TUN off and says why (`elevation_refused`).

#include <functional>
#include <string>
#include <vector>

#include "app/gui/controller.h"
#include "system/preferences.h"
#include "tun/tun_system.h"

namespace pelto::gui {

enum class lock_result { taken, held_elsewhere, failed };

struct startup_calls {
    // Takes the single-instance lock, waiting up to `wait_ms` for a previous instance.
    std::function<lock_result(int wait_ms)> take_lock;
    std::function<preferences()> load_preferences;
    std::function<tun::default_interface()> find_default_interface;
    std::function<bool()> is_elevated;
    std::function<bool()> relaunch_elevated;
};
startup_calls real_startup_calls();

struct startup_plan {
    bool run = false;   // false: exit with `exit_code` without a window
    int exit_code = 0;
    start_record start;
};

inline constexpr int handover_wait_ms = 30000;

// `args` without the program path.
startup_plan plan_startup(const std::vector<std::string>& args, const startup_calls& calls);

}  // namespace pelto::gui
