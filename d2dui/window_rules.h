#pragma once
// The window's arithmetic and decisions that need no window system: placement and size at a
// monitor's DPI, message coordinates to DIPs, the title strip's hit test, the frame step and the
// window class name. The Windows window procedure calls these; tests call them directly.

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>

#include "d2dui/geometry.h"

namespace d2dui {

class widget;

struct monitor_desc {
    int left = 0, top = 0, right = 0, bottom = 0;  // work area in pixels, virtual-screen coordinates
    int dpi = 96;
    bool primary = false;
};

struct window_plan {
    int x = 0, y = 0;           // pixels
    int width = 0, height = 0;  // pixels
    int dpi = 96;
};

int round_half_away(float value);

// Size and position of a `width` x `height` DIP window centred on the work area of the primary
// monitor (the first one when none says primary; 96 DPI at the origin of a 0-sized screen when the
// list is empty). The window is sized with the DPI of that monitor, the one it appears on,
// whatever monitor the pointer is over. A window taller than the work area is made as tall as the
// work area, but not below `min_height_dips`, and placed at its top; one wider is made as wide.
window_plan plan_window(std::span<const monitor_desc> monitors, float width_dips, float height_dips,
                        float min_height_dips = 0);

// Window pixel coordinates to DIPs.
point to_dips(float x_px, float y_px, float zoom, float dpi_scale);

// Non-client hit test answer: 2 (caption: the window moves) for points in the top
// `title_strip_height` DIPs that hit the root or a drag region, else 1 (client).
inline constexpr int hit_client = 1;
inline constexpr int hit_caption = 2;
int title_strip_hit(widget* root, point p_dips, float title_strip_height);

// Seconds to animate for a frame `elapsed_ns` after the previous one, at most 0.05.
float frame_step_seconds(std::int64_t elapsed_ns);

// A uniform draw in [0, bound) by multiply-and-reject (no modulo bias). `bound` must be > 0.
std::uint64_t uniform_below(std::mt19937_64& engine, std::uint64_t bound);

// `length` characters drawn uniformly from `alphabet` (which must not be empty).
std::u16string random_class_name(std::mt19937_64& engine, std::u16string_view alphabet, std::size_t length = 12);

}  // namespace d2dui
