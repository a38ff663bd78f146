#include "engine/engine_loop.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "system/elevation.h"
#include "base/obfuscated.h"
#include "crypto/known_answers.h"
#include "engine/engine_state.h"
#include "engine/listener.h"
#include "engine/node_loader.h"
#include "engine/system_proxy.h"
#include "net/socket.h"
#include "proxy/dial.h"
#include "engine/service_domain.h"
#include "tun/tun_control.h"
#include "base/localized_text.h"

namespace pelto {
namespace {

std::atomic<void (*)()> pick_taken_hook{nullptr};
std::atomic<void (*)()> tun_switch_hook{nullptr};
// TUN mode lost its adapter during the current session: the session ends as a failure.
std::atomic<bool> tun_lost{false};

void run_tun_switch_hook()
{
    if (const auto hook = tun_switch_hook.load()) {
        hook();
    }
}

bool quit_or_reload()
{
    const engine_shared& g = engine_globals();
    return g.quit_flag.load() || g.reload_flag.load();
}

// Waits on the condition variable until quit or reload is set.
void wait_for_quit_or_reload()
{
    engine_shared& g = engine_globals();
    std::unique_lock lock(g.request_mutex);
    g.request_cv.wait(lock, [] { return quit_or_reload(); });
}

// Waits for quit, reload or a requested index; returns the index taken (or -1).
std::int32_t wait_for_pick()
{
    engine_shared& g = engine_globals();
    std::unique_lock lock(g.request_mutex);
    g.request_cv.wait(lock, [&g] { return quit_or_reload() || g.requested_index >= 0; });
    const std::int32_t index = g.requested_index;
    g.requested_index = -1;
    return index;
}

// The system proxy has one owner: every change of it (the session's start, the live TUN switch,
// the session's end) happens under the engine mutex together with `session_active`, so a switch
// can never set it after the end of the session restored it (it would point at a closed port).
// TUN mode's pause does not wait for dials in flight, so holding the mutex here stays short.
void end_session()
{
    engine_shared& g = engine_globals();
    const std::lock_guard lock(g.engine_mutex);
    g.session_active = false;
    close_listener();
    restore_system_proxy();
    tun_pause();
}

void stop_session_now()
{
    engine_shared& g = engine_globals();
    g.session_stop_flag.store(true);
    stop_all_sockets();
    close_listener();
}

// One session on node `index`. Returns whether the listener started.
bool run_session(const std::vector<node_record>& nodes, std::int32_t index)
{
    engine_shared& g = engine_globals();
    g.current_node.replace(nodes[static_cast<std::size_t>(index)]);
    tun_lost.store(false);
    send_state(engine_state::starting);
    const bool started = start_listener();
    if (started) {
        send_state(engine_state::running);
        accept_loop();
        send_state(engine_state::stopping);
    }
    end_session();
    return started && !tun_lost.load();
}

// From TUN mode's reader when the adapter went away: the error line, and the session ends (its
// end tears TUN mode down; the engine then reports the failed state). Only the session is
// stopped: closing its listener ends the accept loop, which then stops every socket itself.
// Stopping all sockets here would also cut short what runs between sessions (a paused TUN kept
// for leak protection can be lost while the node list is loaded and probed). The session's end
// may be joining the reader meanwhile: nothing here takes the engine mutex or calls TUN mode.
void on_tun_lost(std::u16string_view message)
{
    log_line(log_level::error, message);
    tun_lost.store(true);
    engine_globals().session_stop_flag.store(true);
    close_listener();
    wake_engine();
}

void run_cycles()
{
    engine_shared& g = engine_globals();
    while (!g.quit_flag.load()) {
        g.reload_flag.store(false);
        clear_stop();
        send_state(engine_state::loading);
        send_node_list({}, 0);

        std::u16string error;
        std::vector<node_record> nodes;
        if (crypto_self_test()) {
            load_nodes(nodes, error);
        }
        if (quit_or_reload()) {
            continue;
        }
        if (nodes.empty()) {
            log_line(log_level::error, error.empty() ? std::u16string_view(localized_text(message_id::no_usable_nodes)) : error);
            // The last list shown (every node unavailable) must not stay pickable.
            send_node_list({}, 0);
            send_state(engine_state::failed);
            wait_for_quit_or_reload();
            continue;
        }
        send_state(engine_state::ready);
        while (!quit_or_reload()) {
            const std::int32_t index = wait_for_pick();
            if (quit_or_reload()) {
                break;
            }
            if (index < 0 || static_cast<std::size_t>(index) >= nodes.size()) {
                continue;
            }
            if (const auto hook = pick_taken_hook.load()) {
                hook();
            }
            g.session_stop_flag.store(false);
            clear_stop();
            // A refresh or shutdown that arrived just before the flags were cleared set them
            // and stopped the sockets; its stop was cleared above, so look again.
            if (quit_or_reload()) {
                break;
            }
            const bool started = run_session(nodes, index);
            if (!quit_or_reload()) {
                send_state(started ? engine_state::ready : engine_state::failed);
            }
        }
    }
}

}  // namespace

void set_pick_taken_hook_for_testing(void (*hook)())
{
    pick_taken_hook.store(hook);
}

void set_tun_switch_hook_for_testing(void (*hook)())
{
    tun_switch_hook.store(hook);
}

void engine_run()
{
    engine_shared& g = engine_globals();
    g.running_flag.store(true);
    if (!net_startup()) {
        log_line(log_level::error, localized_text(message_id::networking_not_initialized));
        send_state(engine_state::failed);
        g.running_flag.store(false);
        return;
    }
    // A DNS policy left by a run that ended abnormally goes, whichever mode this run uses.
    tun_recover();
    set_tun_routed_names([](std::string_view host) { return is_proxied_host(host); });
    set_tun_lost_sink(on_tun_lost);
    run_cycles();
    end_session();
    tun_stop();
    net_cleanup();
    g.running_flag.store(false);
    send_state(engine_state::ended);
}

void engine_refresh(const preferences& prefs)
{
    engine_shared& g = engine_globals();
    {
        const std::lock_guard lock(g.engine_mutex);
        g.prefs = prefs;
        g.tun_enabled = prefs.tun_enabled;
        if (!prefs.option_flag) {
            std::u16string ignored;
            tun_set_leak_protection(false, ignored);
        }
    }
    set_requested_index(-1);
    if (g.running_flag.load()) {
        g.reload_flag.store(true);
        stop_session_now();
        wake_engine();
    }
}

void engine_select_node(std::int32_t index)
{
    engine_shared& g = engine_globals();
    // The running session is stopped before the new index is visible: the other order lets the
    // engine start the picked node's session in between, which this call would then stop again.
    bool active = false;
    {
        const std::lock_guard lock(g.engine_mutex);
        active = g.session_active;
    }
    if (active) {
        stop_session_now();
    }
    set_requested_index(index);
    wake_engine();
}

void engine_disconnect()
{
    set_requested_index(-1);
    stop_session_now();
    wake_engine();
}

void engine_shutdown()
{
    engine_globals().quit_flag.store(true);
    stop_session_now();
    wake_engine();
}

bool tun_switch(bool on, std::u16string& out_message)
{
    engine_shared& g = engine_globals();
    const std::lock_guard lock(g.engine_mutex);
    if (g.quit_flag.load()) {
        out_message = localized_text(message_id::program_closing);
        return false;
    }
    if (on == g.tun_enabled) {
        return true;
    }
    if (on && !is_elevated()) {
        out_message = localized_text(message_id::tun_needs_administrator);
        return false;
    }
    const auto store = [&g, on] {
        g.tun_enabled = on;
        g.prefs.tun_enabled = on;
    };
    if (!g.session_active) {
        if (!on) {
            tun_stop();
        }
        store();
        return true;
    }
    if (on) {
        set_tun_log_sink([](std::u16string_view line) { log_line(log_level::information, line); });
        if (!tun_set_leak_protection(g.prefs.option_flag, out_message)) {
            return false;
        }
        const node_record node = g.current_node.snapshot();
        dial_fn dial = make_tun_dial_fn([](std::string_view host) { return is_proxied_host(host); },
                                        [] { return engine_globals().current_node.snapshot(); });
        if (!tun_start(std::move(dial), node.server, out_message)) {
            return false;
        }
        run_tun_switch_hook();
        if (restore_system_proxy()) {
            store();
            return true;
        }
        tun_stop();
        out_message = localized_text(message_id::system_proxy_not_changed);
        return false;
    }
    const std::int32_t port = local_proxy_port();
    run_tun_switch_hook();
    if (port != 0 && set_system_proxy(port)) {
        tun_stop();
        store();
        return true;
    }
    out_message = localized_text(message_id::system_proxy_not_changed);
    return false;
}

}  // namespace pelto
