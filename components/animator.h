#pragma once
// Eased tweens of a number or a colour, stepped by a widget's `on_update`.
//
// The timing curve is a cubic Bézier from (0, 0) to (1, 1) with control points (x1, y1) and
// (x2, y2), as CSS timing functions. `animate_to` retargets from the current value; `step`
// advances by the frame time and returns whether the animator is still running. A number
// retargeted mid-flight continues its curve from where it is; a colour restarts near the start of
// its curve from the current colour.
//
// A running animator asks the window for the next frame (d2dui::frames()) when it starts and
// each time a step leaves it running, so the window draws while it moves and rests after.

#include "d2dui/geometry.h"

namespace zelno::components {

class animator_timing {
public:
    float x1 = 0, y1 = 0, x2 = 0.58f, y2 = 1;
    float duration = 0.2f;  // seconds
    float delay = 0;        // seconds before the tween starts
    float delay_elapsed = 0;
    float elapsed = 0;
    float progress = 1;  // eased fraction, 1 at rest
    bool active = false;

    void set_curve(float cx1, float cy1, float cx2, float cy2, float seconds);
    // The eased fraction for the time fraction t (Newton's method on the curve's x).
    float ease(float t) const;

protected:
    // Delay and time bookkeeping of `step`: false when inactive; otherwise advances and writes the
    // new time fraction (0..1) to `out_t`, or -1 while still delayed.
    bool advance(float dt, float& out_t);
};

class number_animator : public animator_timing {
public:
    float value = 0, target = 0, start = 0;

    void animate_to(float new_target);
    bool step(float dt);
    // Ends at `v` at once, at rest.
    void jump(float v);
};

class color_animator : public animator_timing {
public:
    d2dui::color value, target, start;

    void animate_to(const d2dui::color& new_target);
    bool step(float dt);
    void jump(const d2dui::color& v);
};

// Interpolates two straight-alpha sRGB colours through the Oklab space (perceptually even);
// alpha is interpolated linearly. t = 0 gives `from`, t = 1 gives `to` (within rounding).
d2dui::color lerp_color_oklab(const d2dui::color& from, const d2dui::color& to, float t);

// The conversions it uses, exposed for checks: linear-light RGB <-> Oklab (L, a, b).
struct oklab {
    float l = 0, a = 0, b = 0;
};
oklab linear_srgb_to_oklab(float r, float g, float b);
void oklab_to_linear_srgb(const oklab& lab, float& out_r, float& out_g, float& out_b);
float srgb_to_linear(float c);
float linear_to_srgb(float c);

}  // namespace zelno::components
