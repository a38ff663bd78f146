#pragma once
// The engine's process-wide shared state, the reports it sends to the GUI, and its log.
//
// One `engine_shared` instance exists per process (`engine_globals()`). Its four flags are read
// without locks by every thread; the engine mutex guards the preference copy and the session-active
// flag; the request mutex guards the requested node index and is the one mutex the engine's
// condition variable is waited on with. Every change of a flag or of the requested index made
// through `set_engine_flag` / `set_requested_index` wakes all waiters, so a waiter that checks its
// predicate under the request mutex cannot miss it. The request mutex is never held together
// with another lock. `current_node` has a mutex of its own and is only ever read as a full copy.
//
// The GUI registers three plain function pointers before the engine thread starts. Sending a
// state, a node list or a log line without a registered callback does nothing. The message
// callback runs on whichever thread logs; the GUI must only queue what it receives.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "system/preferences.h"
#include "proxy/node_record.h"

namespace pelto {

// Values sent through the state callback.
enum class engine_state : std::int32_t {
    loading = 0,   // a loading cycle starts, and again before each endpoint is tried
    probing = 1,   // a node list was parsed and sorted; latency probing starts
    ready = 2,     // nodes are available and no session runs
    starting = 3,  // a node was picked; the session is starting
    running = 4,   // the session runs (listener up, proxy or TUN mode active)
    stopping = 5,  // the session has ended; clean-up runs
    failed = 6,    // no nodes, the session failed to start, or network start-up failed
    ended = 7,     // engine_run has ended
};

inline constexpr std::int32_t latency_not_measured = -1;
inline constexpr std::int32_t latency_failed = -2;

// One row of the node list as the GUI receives it.
struct node_entry {
    std::u16string name;
    std::u16string subtitle;                     // the protocol label
    std::int32_t latency_ms = latency_not_measured;  // >= 0 milliseconds, or one of the above
};

// `final_list` is 0 for an interim or empty list and 1 for the final list sorted after probing.
using node_list_callback = void (*)(const std::vector<node_entry>& nodes, std::int32_t final_list);
using state_callback = void (*)(std::int32_t state);
using message_callback = void (*)(const std::u16string& line);

// The node in use. Readers take a full copy under the mutex, so a copy taken while the engine
// replaces the node is either the old or the new record, never a mixture.
class guarded_node {
public:
    node_record snapshot() const;
    void replace(const node_record& node);

private:
    mutable std::mutex mutex_;
    node_record node_;
};

struct engine_shared {
    std::atomic<bool> running_flag{false};       // engine_run executes
    std::atomic<bool> reload_flag{false};        // a new node-list cycle is wanted
    std::atomic<bool> session_stop_flag{false};  // the current session (and every relay) ends
    std::atomic<bool> quit_flag{false};          // the engine ends

    // Guards `prefs`, `tun_enabled` and `session_active`.
    std::mutex engine_mutex;
    preferences prefs;          // as last handed over by the GUI (prefs.tun_enabled mirrors it)
    bool tun_enabled = false;   // the copy the mode logic reads and the live switch changes
    bool session_active = false;  // from a successful listener start until the session ends

    // Guards `requested_index`; the condition variable is always waited on with it.
    std::mutex request_mutex;
    std::condition_variable request_cv;
    std::int32_t requested_index = -1;  // -1: no node requested

    guarded_node current_node;
};

engine_shared& engine_globals();

// Stores `value` in one of the engine's flags and wakes every waiter on the condition variable.
// Returns the flag's previous value. Takes the request mutex, so the caller must hold no lock.
bool set_engine_flag(std::atomic<bool>& flag, bool value);
// Wakes every waiter on the engine's condition variable. The caller must hold no lock.
void wake_engine();
// Sets the requested node index under the request mutex and wakes every waiter.
void set_requested_index(std::int32_t index);

void set_node_list_callback(node_list_callback f);
void set_state_callback(state_callback f);
void set_message_callback(message_callback f);

void send_state(engine_state state);
void send_node_list(const std::vector<node_entry>& nodes, std::int32_t final_list);

enum class log_level { error, warning, information };

// Delivers one line - a fixed prefix with the level marker and the local time (hours, minutes,
// seconds), then `text` - to the message callback; does nothing when none is registered.
void log_line(log_level level, std::u16string_view text);

// The line `log_line` delivers for the given level, local time of day and text.
std::u16string format_log_line(log_level level, int hour, int minute, int second, std::u16string_view text);
// The text of a log line without its prefix, by the rule every front end applies: everything
// after the first space at or after the fifth character (the whole line when there is none).
// The prefix has exactly one space, its last character, so the text itself is never cut.
std::u16string_view strip_log_prefix(std::u16string_view line);
// True when `line` is a line formatted for the error level (the GUI shows only those).
bool is_error_line(std::u16string_view line);

}  // namespace pelto
