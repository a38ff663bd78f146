#pragma once
// Which country flag a node's name asks for.
//
// Flags are SVG resources numbered `flag_code(c1, c2)` for the two-letter country code c1 c2
// (1000..1675). `flag_resource_for` looks, in order, for a pair of regional-indicator symbols
// (an emoji flag), then for keywords (country and city names in English and Chinese, and a few
// short abbreviations as whole words), then for a stand-alone two-letter word that names an
// existing flag resource. 0 means no flag (the list draws a globe instead).

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pelto::ui {

inline constexpr std::int32_t flag_first_id = 1000;
inline constexpr std::int32_t flag_last_id = 1675;
inline constexpr std::int32_t flag_licence_id = 1680;

// PNG twins of every flag for backends that cannot draw SVG, rendered at build time with the
// flag's aspect kept (4:3) at the pixel heights of a 19-DIP flag at 100 %, 150 %, 200 % and
// 300 %. The twin of flag `id` at scale k is resource id + 1000 * (k + 1) (2000..5675).
inline constexpr std::array<float, 4> flag_twin_scales{1.0f, 1.5f, 2.0f, 3.0f};
inline constexpr std::array<int, 4> flag_twin_heights{19, 29, 38, 57};
std::int32_t flag_twin_id(std::int32_t flag_id, std::size_t scale_index);
// The scale index of the smallest twin at least `pixel_height` pixels high (the largest twin when
// none is), so a flag is never drawn enlarged where a bigger twin exists.
std::size_t flag_twin_for_height(float pixel_height);

// `name` as the list shows it: when `flag_resource_for` took the flag from a regional-indicator
// pair, that pair (the emoji flag) and one space right after it are removed, since the list draws
// the flag itself; any other name is returned unchanged.
std::u16string name_without_flag_emoji(std::u16string_view name);

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
