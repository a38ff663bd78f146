#pragma once
// The application controller: everything the window does that is not drawing. It owns the saved
// preferences and their edit copy, the engine's last reported state, the chosen and the connected
// node, the status line, the one background operation that may run, and the close sequence.
//
// Threads: the engine thread only calls `deliver_*` (they fill the process-wide mailbox under its
// mutex); the operation's worker only runs its work function; everything else runs on the UI
// thread, which takes the mailbox and the operation's result once per frame in `poll`.
//
// The controller is portable: the Windows application class feeds it the window's wake-ups, keys
// and close messages; tests feed it the same with a window-less widget tree. The window sleeps
// between wake-ups: every report, the end of an operation and the end of the engine thread call
// the wake function (`set_ui_wake`), and `poll` says whether it changed anything to draw.
//
// Closing is bounded: when the engine thread has not ended `close_limit` after the close was
// asked for (or an operation still runs), the controller gives up on it: it puts the system proxy
// back and stops TUN mode from the UI side (`engine_port::abandon`, itself bounded), leaves the
// engine thread and the worker to the end of the process, and lets the window close.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/gui/engine_port.h"
#include "system/preferences.h"
#include "engine/engine_state.h"
#include "ui/screens.h"

namespace pelto::gui {

// The engine's reports (any thread). A newer list replaces an unread one; every state is kept in
// order; of log lines only error lines count, without their prefix, the newest replacing an
// unread one.
void deliver_nodes(const std::vector<node_entry>& nodes, bool settled);
void deliver_state(std::int32_t state);
void deliver_line(const std::u16string& line);
// The function that wakes the UI thread's loop (any thread; null for none, the default).
void set_ui_wake(void (*wake)());

struct operation_result {
    bool success = true;
    std::u16string message;
};

// What the controller asks of the system besides the engine (replaced in tests).
struct system_calls {
    std::function<bool()> is_elevated;
    std::function<bool()> relaunch_elevated;
    std::function<bool(const preferences&)> store_preferences;
};
system_calls real_system_calls();

// How the process starts the controller: the preferences to run with (TUN as decided at start)
// and the TUN value the user stored, which saving keeps unless the user moves the switch.
struct start_record {
    preferences prefs;
    bool stored_tun_enabled = false;
    bool elevation_refused = false;  // TUN was wanted but the rights are missing: say so
};

class controller {
public:
    using state = pelto::engine_state;

    controller(const start_record& start, engine_port& engine, system_calls calls);
    ~controller();
    controller(const controller&) = delete;
    controller& operator=(const controller&) = delete;

    // Builds the widget tree under `root` (mounted by the caller) and wires its controls.
    void build(d2dui::widget& root);
    // Hands the preferences to the engine, connects its reports and starts its thread.
    void start();
    // The poll, once per wake-up of the window, for a root of `width` x `height`; true once the
    // window may close (the caller then sends itself a close message that `on_close_message`
    // lets through).
    bool poll(float width, float height);
    // Whether the last poll changed what the window shows (a frame is due).
    bool poll_changed() const { return poll_changed_; }
    // While closing and not yet confirmed: when the close bound runs out (the window wakes then).
    std::optional<std::chrono::steady_clock::time_point> close_deadline() const;
    // How long closing waits for the engine thread (10 s; tests shorten it).
    void set_close_limit(std::chrono::milliseconds limit) { close_limit_ = limit; }

    // Window messages. `on_close_message`: true when the close goes on. `on_key`: true when the
    // key was used (`repeat`: the key was already down).
    bool on_close_message();
    bool on_key(std::uint32_t vk, bool shift, bool repeat);
    // Log-off or shutdown: the process ends after this returns, so the engine's teardown (system
    // proxy restored, TUN mode stopped) runs now, bounded by `limit`.
    void end_session(std::chrono::milliseconds limit);

    // Actions (UI thread; all do nothing while closing).
    void connect_or_disconnect();
    void refresh_nodes();
    void toggle_tun(bool on);
    void save_preferences();
    void show_page(int page);
    void choose_language(int index);
    void request_close();
    void update_controls();
    std::u16string status_text() const;

    // Read-outs for the window and tests.
    ui::screens& screens() { return screens_; }
    state engine_state() const { return engine_state_; }
    std::int32_t connected_index() const { return connected_index_; }
    bool closing() const { return closing_; }
    bool busy() const;
    bool engine_ended() const { return engine_exited_->load(); }
    bool engine_abandoned() const { return abandoned_; }
    const preferences& saved() const { return saved_; }
    const std::u16string& error_line() const { return error_line_; }

private:
    struct reselect {
        std::u16string name;
        std::u16string subtitle;
        bool reconnect = false;
    };

    bool idle() const { return !closing_ && !busy(); }
    bool engine_alive() const { return !engine_exited_->load(); }
    // The close bound ran out: put the system right without the engine thread and let go of it.
    void abandon_engine();
    bool may_act() const;  // idle, engine alive, and ready, running or failed
    // The state the status line shows: an engine that has ended keeps the text of its last state.
    state shown_state() const { return engine_state_ == state::ended ? last_live_state_ : engine_state_; }
    void begin_operation(std::function<operation_result()> work, std::function<void()> completion);
    void set_tun_switch(bool on);

    engine_port& engine_;
    system_calls calls_;
    preferences saved_;
    preferences edit_;
    bool stored_tun_;  // what the store holds for TUN (the start decision is not stored)
    std::optional<reselect> pending_reselect_;
    ui::screens screens_;
    d2dui::widget* root_ = nullptr;
    state engine_state_ = state::loading;
    state last_live_state_ = state::loading;  // the newest state other than ended
    std::int32_t connected_index_ = -1;
    std::int32_t requested_index_ = -1;
    bool closing_ = false;
    bool close_confirmed_ = false;
    std::u16string error_line_;
    std::u16string engine_message_;
    std::thread engine_thread_;
    // Shared with the engine thread, which may outlive the controller once it was abandoned.
    std::shared_ptr<std::atomic<bool>> engine_exited_ = std::make_shared<std::atomic<bool>>(false);
    std::future<operation_result> operation_;
    std::thread operation_thread_;  // the worker; its result arrives through operation_
    std::function<void()> completion_;
    bool poll_changed_ = false;
    bool exit_seen_ = false;  // the poll has seen the engine thread's end
    std::chrono::milliseconds close_limit_{10000};
    std::chrono::steady_clock::time_point close_asked_;
    bool abandoned_ = false;
};

}  // namespace pelto::gui
