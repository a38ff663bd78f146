#include "components/animator.h"

#include <algorithm>
#include <cmath>

#include "d2dui/frame_schedule.h"

namespace zelno::components {

namespace {

float bezier(float p1, float p2, float s)
{
    const float u = 1 - s;
    return 3 * u * u * s * p1 + 3 * u * s * s * p2 + s * s * s;
}

float bezier_slope(float p1, float p2, float s)
{
    const float u = 1 - s;
    return 3 * u * u * p1 + 6 * u * s * (p2 - p1) + 3 * s * s * (1 - p2);
}

}  // namespace

void animator_timing::set_curve(float cx1, float cy1, float cx2, float cy2, float seconds)
{
    x1 = cx1;
    y1 = cy1;
    x2 = cx2;
    y2 = cy2;
    duration = seconds;
}

float animator_timing::ease(float t) const
{
    if (t <= 0) {
        return 0;
    }
    if (t >= 1) {
        return 1;
    }
    if (x1 == y1 && x2 == y2) {
        return t;
    }
    float s = t;
    for (int i = 0; i < 4; ++i) {
        const float error = bezier(x1, x2, s) - t;
        if (std::fabs(error) <= 0.00001f) {
            break;
        }
        const float slope = bezier_slope(x1, x2, s);
        if (std::fabs(slope) <= 0.000001f) {
            break;
        }
        s -= error / slope;
    }
    return bezier(y1, y2, std::clamp(s, 0.0f, 1.0f));
}

bool animator_timing::advance(float dt, float& out_t)
{
    if (!active) {
        return false;
    }
    if (delay_elapsed < delay) {
        delay_elapsed += dt;
        if (delay_elapsed < delay) {
            out_t = -1;
            return true;
        }
        dt = delay_elapsed - delay;
    }
    elapsed += dt;
    out_t = duration > 0 ? std::min(elapsed / duration, 1.0f) : 1.0f;
    progress = ease(out_t);
    return true;
}

void number_animator::animate_to(float new_target)
{
    if (new_target == target) {
        if (active) {
            return;
        }
        start = value;
        elapsed = 0;
        progress = 0;
    } else if (active && duration > 0) {
        elapsed = std::min(duration, elapsed) / 2;
        const float p = ease(elapsed / duration);
        progress = p;
        start = value;
        if (p < 0.999f) {
            // Chosen so that start + (new target - start) * p is the current value.
            start = (value - p * new_target) / (1 - p);
        }
    } else {
        start = value;
        elapsed = 0;
        progress = 0;
    }
    delay_elapsed = 0;
    target = new_target;
    if ((duration > 0 || delay > 0) && start != target) {
        active = true;
        d2dui::frames().request_frame();
    } else {
        value = target;
        active = false;
        progress = 1;
    }
}

bool number_animator::step(float dt)
{
    float t = 0;
    if (!advance(dt, t)) {
        return false;
    }
    if (t < 0) {
        d2dui::frames().request_frame();  // still delayed: the window draws the next frame
        return true;
    }
    value = start + (target - start) * progress;
    if (t >= 1) {
        value = target;
        progress = 1;
        active = false;
        return false;
    }
    d2dui::frames().request_frame();  // still moving: the window draws the next frame
    return true;
}

void number_animator::jump(float v)
{
    value = target = start = v;
    active = false;
    progress = 1;
    elapsed = 0;
}

void color_animator::animate_to(const d2dui::color& new_target)
{
    if (new_target == target && active) {
        return;
    }
    start = value;
    target = new_target;
    elapsed = active ? std::min(elapsed, duration * 0.1f) : 0.0f;
    delay_elapsed = 0;
    if (duration > 0 || delay > 0) {
        active = true;
        d2dui::frames().request_frame();
        progress = delay > 0 || duration <= 0 ? ease(0) : ease(elapsed / duration);
    } else {
        value = target;
        active = false;
        progress = 1;
    }
}

bool color_animator::step(float dt)
{
    float t = 0;
    if (!advance(dt, t)) {
        return false;
    }
    if (t < 0) {
        d2dui::frames().request_frame();  // still delayed: the window draws the next frame
        return true;
    }
    value = lerp_color_oklab(start, target, progress);
    if (t >= 1) {
        value = target;
        progress = 1;
        active = false;
        return false;
    }
    d2dui::frames().request_frame();  // still moving: the window draws the next frame
    return true;
}

void color_animator::jump(const d2dui::color& v)
{
    value = target = start = v;
    active = false;
    progress = 1;
    elapsed = 0;
}

float srgb_to_linear(float c)
{
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

float linear_to_srgb(float c)
{
    return c <= 0.0031308f ? 12.92f * c : 1.055f * std::pow(c, 1.0f / 2.4f) - 0.055f;
}

oklab linear_srgb_to_oklab(float r, float g, float b)
{
    const float l = std::cbrt(0.4122214708f * r + 0.5363325363f * g + 0.0514459929f * b);
    const float m = std::cbrt(0.2119034982f * r + 0.6806995451f * g + 0.1073969566f * b);
    const float s = std::cbrt(0.0883024619f * r + 0.2817188376f * g + 0.6299787005f * b);
    return {0.2104542553f * l + 0.7936177850f * m - 0.0040720468f * s,
            1.9779984951f * l - 2.4285922050f * m + 0.4505937099f * s,
            0.0259040371f * l + 0.7827717662f * m - 0.8086757660f * s};
}

void oklab_to_linear_srgb(const oklab& lab, float& out_r, float& out_g, float& out_b)
{
    const float l_ = lab.l + 0.3963377774f * lab.a + 0.2158037573f * lab.b;
    const float m_ = lab.l - 0.1055613458f * lab.a - 0.0638541728f * lab.b;
    const float s_ = lab.l - 0.0894841775f * lab.a - 1.2914855480f * lab.b;
    const float l = l_ * l_ * l_, m = m_ * m_ * m_, s = s_ * s_ * s_;
    out_r = 4.0767416621f * l - 3.3077115913f * m + 0.2309699292f * s;
    out_g = -1.2684380046f * l + 2.6097574011f * m - 0.3413193965f * s;
    out_b = -0.0041960863f * l - 0.7034186147f * m + 1.7076147010f * s;
}

d2dui::color lerp_color_oklab(const d2dui::color& from, const d2dui::color& to, float t)
{
    const oklab a = linear_srgb_to_oklab(srgb_to_linear(from.r), srgb_to_linear(from.g), srgb_to_linear(from.b));
    const oklab b = linear_srgb_to_oklab(srgb_to_linear(to.r), srgb_to_linear(to.g), srgb_to_linear(to.b));
    const oklab mix{a.l + (b.l - a.l) * t, a.a + (b.a - a.a) * t, a.b + (b.b - a.b) * t};
    float r = 0, g = 0, bl = 0;
    oklab_to_linear_srgb(mix, r, g, bl);
    return {std::clamp(linear_to_srgb(r), 0.0f, 1.0f), std::clamp(linear_to_srgb(g), 0.0f, 1.0f),
            std::clamp(linear_to_srgb(bl), 0.0f, 1.0f), from.a + (to.a - from.a) * t};
}

}  // namespace zelno::components
