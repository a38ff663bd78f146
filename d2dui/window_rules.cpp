#include "d2dui/window_rules.h"

#include <algorithm>
#include <cmath>

#include "d2dui/widget.h"

namespace d2dui {

int round_half_away(float value)
{
    return static_cast<int>(std::lround(value));  // lround rounds halves away from zero
}

window_plan plan_window(std::span<const monitor_desc> monitors, float width_dips, float height_dips,
                        float min_height_dips)
{
    monitor_desc target;
    if (!monitors.empty()) {
        const auto it = std::find_if(monitors.begin(), monitors.end(), [](const monitor_desc& m) { return m.primary; });
        target = it != monitors.end() ? *it : monitors.front();
    }
    const int dpi = target.dpi > 0 ? target.dpi : 96;
    const float scale = static_cast<float>(dpi) / 96.0f;
    window_plan plan;
    plan.dpi = dpi;
    plan.width = round_half_away(width_dips * scale);
    plan.height = round_half_away(height_dips * scale);
    const int work_width = target.right - target.left;
    const int work_height = target.bottom - target.top;
    if (work_height > 0 && plan.height > work_height) {
        // A short work area (a small screen at a high scale, a tall taskbar): the window takes
        // its whole height, down to the smallest height its content allows.
        plan.height = std::min(plan.height, std::max(work_height, round_half_away(min_height_dips * scale)));
    }
    if (work_width > 0 && plan.width > work_width) {
        plan.width = work_width;
    }
    plan.x = target.left + (work_width - plan.width) / 2;
    plan.y = target.top + std::max(0, (work_height - plan.height) / 2);
    if (plan.width <= work_width) {
        plan.x = std::max(plan.x, target.left);
    }
    return plan;
}

point to_dips(float x_px, float y_px, float zoom, float dpi_scale)
{
    float scale = zoom * dpi_scale;
    if (!(scale > 0)) {
        scale = 1;
    }
    return {x_px / scale, y_px / scale};
}

int title_strip_hit(widget* root, point p, float title_strip_height)
{
    if (root == nullptr || p.y < 0 || p.y >= title_strip_height) {
        return hit_client;
    }
    widget* hit = root->hit_test(p);
    if (hit == root || (hit != nullptr && hit->drag_region)) {
        return hit_caption;
    }
    return hit_client;
}

float frame_step_seconds(std::int64_t elapsed_ns)
{
    if (elapsed_ns <= 0) {
        return 0;
    }
    return std::min(static_cast<float>(static_cast<double>(elapsed_ns) / 1e9), 0.05f);
}

std::uint64_t uniform_below(std::mt19937_64& engine, std::uint64_t bound)
{
    // Lemire's method: the high word of a 128-bit product, rejecting the few low words that
    // would over-represent some results.
    const std::uint64_t threshold = (0 - bound) % bound;
    for (;;) {
        const unsigned __int128 product = static_cast<unsigned __int128>(engine()) * bound;
        if (static_cast<std::uint64_t>(product) >= threshold) {
            return static_cast<std::uint64_t>(product >> 64);
        }
    }
}

std::u16string random_class_name(std::mt19937_64& engine, std::u16string_view alphabet, std::size_t length)
{
    std::u16string name;
    if (alphabet.empty()) {
        return name;
    }
    name.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        name.push_back(alphabet[uniform_below(engine, alphabet.size())]);
    }
    return name;
}

}  // namespace d2dui
