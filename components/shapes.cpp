#include "components/shapes.h"

#include <algorithm>

namespace zelno::components {

d2dui::path smooth_rounded_rect(const d2dui::rect& r, float radius, float smoothing)
{
    d2dui::path p;
    if (r.width <= 0 || r.height <= 0) {
        return p;
    }
    const float rad = std::clamp(radius, 0.0f, std::min(r.width, r.height) / 2);
    const float left = r.x, top = r.y, right = r.right(), bottom = r.bottom();
    auto line = [&](float x, float y) { p.segments.push_back({false, {}, {}, {x, y}}); };
    if (rad <= 0.1f) {
        p.start = {left, top};
        line(right, top);
        line(right, bottom);
        line(left, bottom);
        return p;
    }
    const float k = std::clamp(smoothing, 0.0f, 1.0f);
    const float c = rad * (1 - k);  // control point distance from the corner
    auto corner = [&](d2dui::point c1, d2dui::point c2, d2dui::point to) { p.segments.push_back({true, c1, c2, to}); };
    p.start = {left + rad, top};
    line(right - rad, top);
    corner({right - c, top}, {right, top + c}, {right, top + rad});
    line(right, bottom - rad);
    corner({right, bottom - c}, {right - c, bottom}, {right - rad, bottom});
    line(left + rad, bottom);
    corner({left + c, bottom}, {left, bottom - c}, {left, bottom - rad});
    line(left, top + rad);
    corner({left, top + c}, {left + c, top}, {left + rad, top});
    return p;
}

void fill_smooth_rect(d2dui::render_context& rc, const d2dui::rect& r, float radius, float smoothing,
                      const d2dui::color& c)
{
    const d2dui::path p = smooth_rounded_rect(r, radius, smoothing);
    if (!p.empty()) {
        rc.fill_path(p, c);
    }
}

void push_smooth_layer(d2dui::render_context& rc, const d2dui::rect& r, float radius, float smoothing)
{
    rc.push_path_layer(smooth_rounded_rect(r, radius, smoothing));
}

}  // namespace zelno::components
