#pragma once
// Which country flag a node's name asks for.
//
// Flags are SVG resources numbered `flag_code(c1, c2)` for the two-letter country code c1 c2
// (1000..1675). `flag_resource_for` looks, in order, for a pair of regional-indicator symbols
// (an emoji flag), then for keywords (country and city names in English and Chinese, and a few
// short abbreviations as whole words), then for a stand-alone two-letter word that names an
// existing flag resource. 0 means no flag (the list draws a globe instead).

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace pelto::ui {

inline constexpr std::int32_t flag_first_id = 1000;
inline constexpr std::int32_t flag_last_id = 1675;
inline constexpr std::int32_t flag_licence_id = 1680;

// 1000 + 26 * (c1 - 'a') + (c2 - 'a') for lower-case letters; the pair t, w maps to c, n.
std::int32_t flag_code(char16_t c1, char16_t c2);

// `resource_exists` decides the two-letter-word pass (the other passes do not consult it).
std::int32_t flag_resource_for(std::u16string_view name, const std::function<bool(std::int32_t)>& resource_exists);
// The same against the program's embedded resources (none on Linux: the two-letter pass finds
// nothing there).
std::int32_t flag_resource_for(std::u16string_view name);

// Every id the keyword table can produce, in table order (for checks against the resources).
std::vector<std::int32_t> keyword_flag_ids();

// Whether the program carries an RCDATA resource with this id (platform backend).
bool embedded_resource_exists(std::int32_t id);

}  // namespace pelto::ui
