#pragma once
// What the engine reported through its three callbacks, in arrival order, for tests that drive the
// whole engine: states, node lists, log lines, and the events "state N" and "list N" / "list N
// final" interleaved as they came. One recorder per process (`rec`); `record_engine` registers
// its callbacks, `clear_record` forgets what came so far. Every wait is bounded.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine_state.h"

namespace pelto::testing {

struct recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::int32_t> states;
    std::vector<std::pair<std::vector<node_entry>, std::int32_t>> lists;
    std::vector<std::u16string> lines;
    std::vector<std::string> events;  // "state N" and "list N/final" in arrival order
};
inline recorder rec;

inline void on_state(std::int32_t s)
{
    std::lock_guard l(rec.lock);
    rec.states.push_back(s);
    rec.events.push_back("state " + std::to_string(s));
    rec.changed.notify_all();
}
inline void on_list(const std::vector<node_entry>& nodes, std::int32_t final_list)
{
    std::lock_guard l(rec.lock);
    rec.lists.emplace_back(nodes, final_list);
    rec.events.push_back("list " + std::to_string(nodes.size()) + (final_list ? " final" : ""));
    rec.changed.notify_all();
}
inline void on_line(const std::u16string& line)
{
    std::lock_guard l(rec.lock);
    rec.lines.push_back(line);
    rec.changed.notify_all();
}

inline void clear_record()
{
    std::lock_guard l(rec.lock);
    rec.states.clear();
    rec.lists.clear();
    rec.lines.clear();
    rec.events.clear();
}

inline void record_engine()
{
    set_state_callback(on_state);
    set_node_list_callback(on_list);
    set_message_callback(on_line);
}

// Waits until `count` states equal to `state` have been reported (bounded).
inline bool wait_state(std::int32_t state, int count = 1,
                       std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    std::unique_lock l(rec.lock);
    return rec.changed.wait_for(l, limit, [&] {
        return std::count(rec.states.begin(), rec.states.end(), state) >= count;
    });
}

// Waits until `event` has arrived at or after position `from` (bounded).
inline bool wait_event(std::size_t from, const std::string& event,
                       std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    std::unique_lock l(rec.lock);
    return rec.changed.wait_for(l, limit, [&] {
        return from <= rec.events.size() &&
               std::find(rec.events.begin() + static_cast<std::ptrdiff_t>(from), rec.events.end(), event) !=
                   rec.events.end();
    });
}

// What `all` holds from its `from`th entry on (the caller holds the lock).
template <class T>
std::vector<T> tail_of(const std::vector<T>& all, std::size_t from)
{
    return std::vector<T>(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end());
}

inline std::vector<std::string> events_since(std::size_t from)
{
    std::lock_guard l(rec.lock);
    return tail_of(rec.events, from);
}

inline std::size_t event_count()
{
    std::lock_guard l(rec.lock);
    return rec.events.size();
}

inline std::vector<std::u16string> lines_since(std::size_t from)
{
    std::lock_guard l(rec.lock);
    return tail_of(rec.lines, from);
}

inline std::size_t line_count()
{
    std::lock_guard l(rec.lock);
    return rec.lines.size();
}

}  // namespace pelto::testing
