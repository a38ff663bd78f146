#pragma once
// The program's numbered user-visible messages, each in two languages.
//
// Message ids run from 0 to `message_count - 1`. `localized_text` returns the message's characters
// (zero-terminated, valid for the life of the process); an id outside that range yields an empty
// text rather than reading past the table. The table is built once, on first use, from any thread.
//
// `language_choice` is the user's language preference: 0 follows the system's UI language,
// 1 selects the second language (Simplified Chinese), any other value the first (English).
// It may be read and written from any thread; a change shows at the next lookup.

#include <atomic>
#include <cstdint>

namespace pelto {

inline constexpr int message_count = 42;

extern std::atomic<std::int32_t> language_choice;

const char16_t* localized_text(int id, bool second);

// True when lookups should use the second language, as `language_choice` says.
bool use_second_language();

// Shorthand for `localized_text(id, use_second_language())`.
const char16_t* localized_text(int id);

// Platform backend: whether the user's UI language is any Chinese variant.
bool system_ui_language_is_chinese();

}  // namespace pelto
