#include "engine/system_proxy.h"

#include "base/obfuscated.h"
#include "base/text.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace pelto {

namespace {

struct system_proxy_record {
    std::mutex mutex;
    proxy_settings saved;  // the user's settings before we first changed them
    proxy_settings ours;   // what the platform reported right after our write
    bool ours_applied = false;
    bool exit_handler_registered = false;
};

// Constructed before the exit handler is registered, so it outlives the handler's run.
system_proxy_record& record()
{
    static system_proxy_record instance;
    return instance;
}

void restore_at_exit()
{
    restore_system_proxy();
}

// Once per process, as soon as settings of ours may be in place.
void register_exit_restore(system_proxy_record& r)
{
    if (!r.exit_handler_registered) {
        r.exit_handler_registered = std::atexit(restore_at_exit) == 0;
    }
}

std::atomic<bool> untouched{false};

}  // namespace

void keep_system_proxy_untouched(bool on)
{
    untouched.store(on);
}

bool set_system_proxy(int port)
{
    if (port < 1 || port > 65535) {
        return false;
    }
    if (untouched.load()) {
        return true;
    }
    system_proxy_record& r = record();
    std::lock_guard lock(r.mutex);
    std::u16string error;
    if (!r.ours_applied && !read_proxy_settings(r.saved, error)) {
        return false;
    }

    proxy_settings wanted;
    wanted.flags = proxy_type_direct | proxy_type_proxy;
    wanted.server = PELTO_TEXT(u"127.0.0.1:").str() + ascii_to_utf16(std::to_string(port));
    wanted.bypass = loopback_bypass_list();

    if (!write_proxy_settings(wanted, error)) {
        // Part of the write may have landed, or an earlier call's settings may still point at
        // another port: comparing against ours could not tell either from a change by the user,
        // so the saved settings go back unconditionally.
        if (write_proxy_settings(r.saved, error)) {
            r.ours_applied = false;
            return false;
        }
        // They could not be put back either. Whatever the platform holds now was left by us (an
        // earlier call's settings, part of this write, or still the user's own), so a later
        // restore must take it for ours; taking it for a change of the user's would leave the
        // machine pointing at a port that is about to close.
        proxy_settings now;
        if (read_proxy_settings(now, error)) {
            r.ours = std::move(now);
        } else if (!r.ours_applied) {
            r.ours = wanted;
        }
        r.ours_applied = true;
        register_exit_restore(r);
        return false;
    }
    r.ours = wanted;
    r.ours_applied = true;
    // Keep what the platform actually holds now, so that a field it normalised or dropped does
    // not look like the user's change at restore time.
    proxy_settings stored;
    if (read_proxy_settings(stored, error)) {
        r.ours = std::move(stored);
    }
    register_exit_restore(r);
    return true;
}

bool restore_system_proxy()
{
    if (untouched.load()) {
        return true;
    }
    system_proxy_record& r = record();
    std::lock_guard lock(r.mutex);
    if (!r.ours_applied) {
        return true;
    }
    proxy_settings current;
    std::u16string error;
    if (!read_proxy_settings(current, error)) {
        return false;
    }
    if (current != r.ours) {
        r.ours_applied = false;  // somebody else changed them since: theirs now
        return true;
    }
    if (!write_proxy_settings(r.saved, error)) {
        return false;
    }
    r.ours_applied = false;
    return true;
}

}  // namespace pelto
