#pragma once
// The smooth rounded rectangle shared by the components' pill shapes.
//
// Each corner is one cubic Bézier from r before the corner to r past it, its control points on
// the two edges at r * (1 - smoothing) from the corner: smoothing 0 is a sharp corner, 0.55 close
// to a circular arc, 0.75 (the components' value) a tighter, smoother corner.

#include "d2dui/geometry.h"
#include "d2dui/render_context.h"

namespace zelno::components {

inline constexpr float component_smoothing = 0.75f;

// Empty when the rectangle has no area; a plain rectangle when the clamped radius is 0.1 or less.
d2dui::path smooth_rounded_rect(const d2dui::rect& r, float radius, float smoothing);
void fill_smooth_rect(d2dui::render_context& rc, const d2dui::rect& r, float radius, float smoothing,
                      const d2dui::color& c);
// A layer masked by the shape; end it with `pop_clip`.
void push_smooth_layer(d2dui::render_context& rc, const d2dui::rect& r, float radius, float smoothing);

}  // namespace zelno::components
