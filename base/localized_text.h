#pragma once
// The program's numbered user-visible messages, each in two languages.
//
// `message_id` names the messages; its values are the table's numbers, 0 to `message_count - 1`.
// `localized_text` returns the message's characters (zero-terminated, valid for the life of the
// process); a value outside that range yields an empty text rather than reading past the table.
// The table is built once, on first use, from any thread.
//
// `language_choice` is the user's language preference: 0 follows the system's UI language,
// 1 selects the second language (Simplified Chinese), any other value the first (English).
// It may be read and written from any thread; a change shows at the next lookup.

#include <atomic>
#include <cstdint>

namespace pelto {

enum class message_id : int {
    // page titles, descriptions and switch labels
    nodes_title = 0,
    settings_title = 1,
    settings_description = 2,
    leak_protection = 3,
    leak_protection_description = 4,
    tun_mode = 5,
    // buttons
    connect = 6,
    disconnect = 7,
    switch_node = 8,
    save = 9,
    back = 10,
    refresh_list = 11,
    // status lines and node-list texts
    loading_nodes = 12,
    testing = 13,
    connecting = 14,
    disconnecting = 15,
    connected = 16,
    not_connected = 17,
    unexpected_error = 18,
    no_nodes_available = 19,
    unavailable = 20,
    closing = 21,
    // settings and elevation errors
    invalid_subscription_url = 22,
    settings_not_saved = 23,
    tun_needs_administrator = 24,
    // downloads; server_returned_error is followed by the status code
    server_returned_error = 25,
    data_unreadable = 26,
    server_returned_no_data = 27,
    response_too_large = 28,
    // engine and TUN mode
    no_usable_nodes = 29,
    networking_not_initialized = 30,
    system_proxy_not_changed = 31,
    tun_not_started = 32,
    program_closing = 33,
    leak_protection_not_enabled = 34,
    // settings page
    language = 35,
    system_default = 36,
    subscription_url = 37,
    clear = 38,
    subscription_url_hint = 39,
    // node-list sources
    no_subscription_endpoints = 40,
    no_node_responded = 41,
};

inline constexpr int message_count = 42;

extern std::atomic<std::int32_t> language_choice;

const char16_t* localized_text(message_id id, bool second);

// True when lookups should use the second language, as `language_choice` says.
bool use_second_language();

// Shorthand for `localized_text(id, use_second_language())`.
const char16_t* localized_text(message_id id);

// Platform backend: whether the user's UI language is any Chinese variant.
bool system_ui_language_is_chinese();

}  // namespace pelto
