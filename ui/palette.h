#pragma once
// The application's colours.

#include "d2dui/geometry.h"

namespace pelto::ui::palette {

using d2dui::color;

inline constexpr color window = color::rgb8(0, 0, 0);
inline constexpr color card = color::rgb8(15, 19, 18);
inline constexpr color selected_card = color::rgb8(7, 38, 30);
inline constexpr color primary_button = color::rgb8(0, 92, 75);
inline constexpr color accent_text = color::rgb8(80, 190, 157);
inline constexpr color primary_text = color::rgb8(218, 225, 221);
inline constexpr color muted_text = color::rgb8(112, 124, 118);
inline constexpr color error_text = color::rgb8(207, 126, 126);
inline constexpr color switch_off = color::rgb8(26, 28, 30);
inline constexpr color scroll_thumb = color::rgb8(66, 77, 71);
inline constexpr color flag_placeholder = color::rgb8(118, 139, 134);

}  // namespace pelto::ui::palette
