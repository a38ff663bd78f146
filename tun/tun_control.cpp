#include "tun/tun_control.h"

#include "base/obfuscated.h"

#include <mutex>
#include <utility>

namespace pelto {

namespace {

struct tun_control_state {
    std::mutex tun_lock;
    bool leak_protection = false;

    // Separate from the TUN lock: TUN threads log while a control call may hold that lock.
    std::mutex sink_lock;
    tun_log_sink sink;
};

tun_control_state& state()
{
    static tun_control_state instance;
    return instance;
}

}  // namespace

bool tun_set_leak_protection(bool on, std::u16string& out_message)
{
    tun_control_state& s = state();
    std::lock_guard lock(s.tun_lock);
    // No TUN can be active in this build: only the wish is recorded.
    s.leak_protection = on;
    out_message.clear();
    return true;
}

bool tun_start(dial_fn dial, std::string_view server_host, std::u16string& out_message)
{
    tun_control_state& s = state();
    std::lock_guard lock(s.tun_lock);
    if (!dial) {
        out_message = PELTO_TEXT(u"TUN mode was started without a way to reach the node").str();
        return false;
    }
    static_cast<void>(server_host);
    out_message = PELTO_TEXT(u"TUN mode is not available in this build").str();
    return false;
}

// Nothing to pause or tear down: no TUN is ever active in this build. The leak-protection wish
// is the user's setting and survives both.
void tun_pause() {}

void tun_stop() {}

void set_tun_log_sink(tun_log_sink sink)
{
    tun_control_state& s = state();
    std::lock_guard lock(s.sink_lock);
    s.sink = std::move(sink);
}

void tun_log(std::u16string_view line)
{
    tun_control_state& s = state();
    tun_log_sink sink;
    {
        std::lock_guard lock(s.sink_lock);
        sink = s.sink;
    }
    // Called outside the lock, so a sink that logs elsewhere or replaces itself cannot deadlock.
    if (sink) {
        sink(line);
    }
}

bool tun_leak_protection_wanted()
{
    tun_control_state& s = state();
    std::lock_guard lock(s.tun_lock);
    return s.leak_protection;
}

}  // namespace pelto
