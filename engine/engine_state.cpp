#include "engine/engine_state.h"

#include <algorithm>
#include <cstdio>

#include "base/obfuscated.h"
#include "base/text.h"
#include "engine/local_time.h"

namespace pelto {
namespace {

// Registered once before the engine thread starts, read by every thread that reports; atomic so
// a late registration is still seen whole.
std::atomic<node_list_callback> g_node_list_callback{nullptr};
std::atomic<state_callback> g_state_callback{nullptr};
std::atomic<message_callback> g_message_callback{nullptr};

std::string level_marker(log_level level)
{
    switch (level) {
    case log_level::error:
        return PELTO_TEXT("ERROR").str();
    case log_level::warning:
        return PELTO_TEXT("WARN").str();
    case log_level::information:
        break;
    }
    return PELTO_TEXT("INFO").str();
}

}  // namespace

node_record guarded_node::snapshot() const
{
    std::lock_guard lock(mutex_);
    return node_;
}

void guarded_node::replace(const node_record& node)
{
    node_record copy = node;  // copied outside the lock; only the swap happens under it
    std::lock_guard lock(mutex_);
    std::swap(node_, copy);
}

engine_shared& engine_globals()
{
    static engine_shared shared;
    return shared;
}

void wake_engine()
{
    engine_shared& e = engine_globals();
    {
        // Taking the mutex orders this wake after any waiter's predicate check, so a change made
        // just before cannot be missed between that check and the wait.
        std::lock_guard lock(e.request_mutex);
    }
    e.request_cv.notify_all();
}

bool set_engine_flag(std::atomic<bool>& flag, bool value)
{
    const bool previous = flag.exchange(value);
    wake_engine();
    return previous;
}

void set_requested_index(std::int32_t index)
{
    engine_shared& e = engine_globals();
    {
        std::lock_guard lock(e.request_mutex);
        e.requested_index = index;
    }
    e.request_cv.notify_all();
}

void set_node_list_callback(node_list_callback f)
{
    g_node_list_callback.store(f);
}

void set_state_callback(state_callback f)
{
    g_state_callback.store(f);
}

void set_message_callback(message_callback f)
{
    g_message_callback.store(f);
}

void send_state(engine_state state)
{
    if (const state_callback f = g_state_callback.load()) {
        f(static_cast<std::int32_t>(state));
    }
}

void send_node_list(const std::vector<node_entry>& nodes, std::int32_t final_list)
{
    if (const node_list_callback f = g_node_list_callback.load()) {
        f(nodes, final_list);
    }
}

std::u16string format_log_line(log_level level, int hour, int minute, int second, std::u16string_view text)
{
    char prefix[48];
    const auto format = PELTO_TEXT("[%s|%02d:%02d:%02d] ");
    const int n = std::snprintf(prefix, sizeof prefix, format.c_str(), level_marker(level).c_str(), hour, minute,
                                second);
    const std::size_t length = n <= 0 ? 0 : std::min(static_cast<std::size_t>(n), sizeof prefix - 1);
    std::u16string line = ascii_to_utf16(std::string_view(prefix, length));
    line.append(text);
    return line;
}

bool is_error_line(std::u16string_view line)
{
    const std::u16string marker = u'[' + ascii_to_utf16(level_marker(log_level::error)) + u'|';
    return line.starts_with(marker);
}

std::u16string_view strip_log_prefix(std::u16string_view line)
{
    // The shown text starts after the first space at or after the fifth character; the prefix's
    // only space is its last character, so that rule drops exactly the prefix.
    const std::size_t space = line.size() > 4 ? line.find(u' ', 4) : std::u16string_view::npos;
    return space == std::u16string_view::npos ? line : line.substr(space + 1);
}

void log_line(log_level level, std::u16string_view text)
{
    const message_callback f = g_message_callback.load();
    if (f == nullptr) {
        return;
    }
    const time_of_day now = local_time_now();
    f(format_log_line(level, now.hour, now.minute, now.second, text));
}

}  // namespace pelto
