#include "d2dui/render_context.h"

#include <algorithm>
#include <cmath>

namespace d2dui {

std::size_t render_context::hit_test_text(const std::u16string& text, float font_size, const std::u16string& family,
                                          std::int32_t weight, std::int32_t style, float x)
{
    const auto width_of = [&](std::size_t n) {
        return n == 0 ? 0.0f : measure_text(text.substr(0, n), font_size, family, weight, style, 0).width;
    };
    // The longest prefix not wider than x, then whichever edge of the next unit is nearer.
    std::size_t low = 0, high = text.size();
    while (low < high) {
        const std::size_t mid = low + (high - low + 1) / 2;
        if (width_of(mid) <= x) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    if (low < text.size() && width_of(low + 1) - x < x - width_of(low)) {
        ++low;
    }
    return low;
}

void render_context::push_clip(const rect& r)
{
    do_push_clip(r);
    clip_kinds_.push_back(clip_kind::axis_aligned);
}

void render_context::push_layer(const rect& r, float radius)
{
    do_push_layer(r, radius);
    clip_kinds_.push_back(clip_kind::layer);
}

void render_context::push_opacity(layer_cache& cache, float opacity)
{
    do_push_opacity(cache, opacity);
    clip_kinds_.push_back(clip_kind::layer);
}

void render_context::push_path_layer(const path& p)
{
    do_push_path_layer(p);
    clip_kinds_.push_back(clip_kind::layer);
}

void render_context::pop_clip()
{
    if (clip_kinds_.empty()) {
        return;
    }
    const clip_kind kind = clip_kinds_.back();
    clip_kinds_.pop_back();
    do_pop(kind);
}

void render_context::push_translate(float dx, float dy)
{
    push_transform(matrix::translation(dx, dy));
}

void render_context::push_scale(float sx, float sy)
{
    push_transform(matrix::scale(sx, sy));
}

void render_context::push_transform(const matrix& m)
{
    saved_transforms_.push_back(current_);
    current_ = m * current_;
    do_set_transform(current_);
}

void render_context::pop_transform()
{
    if (saved_transforms_.empty()) {
        return;
    }
    current_ = saved_transforms_.back();
    saved_transforms_.pop_back();
    do_set_transform(current_);
}

void render_context::reset_transform(const matrix& m)
{
    saved_transforms_.clear();
    current_ = m;
    do_set_transform(current_);
}

void render_context::draw_rounded_rect(const rect& r, float radius, const color& c, float width)
{
    const float rad = std::clamp(radius, 0.0f, std::min(r.width, r.height) / 2);
    const float left = r.x, top = r.y, right = r.x + r.width, bottom = r.y + r.height;
    draw_line({left + rad, top}, {right - rad, top}, c, width);
    draw_line({right, top + rad}, {right, bottom - rad}, c, width);
    draw_line({right - rad, bottom}, {left + rad, bottom}, c, width);
    draw_line({left, bottom - rad}, {left, top + rad}, c, width);
    if (rad <= 0) {
        return;
    }
    constexpr int chords = 6;
    const point centres[4] = {{right - rad, top + rad}, {right - rad, bottom - rad}, {left + rad, bottom - rad},
                              {left + rad, top + rad}};
    for (int corner = 0; corner < 4; ++corner) {
        const float start = -1.5707963f + 1.5707963f * static_cast<float>(corner);
        for (int i = 0; i < chords; ++i) {
            const float a0 = start + 1.5707963f * static_cast<float>(i) / chords;
            const float a1 = start + 1.5707963f * static_cast<float>(i + 1) / chords;
            draw_line({centres[corner].x + rad * std::cos(a0), centres[corner].y + rad * std::sin(a0)},
                      {centres[corner].x + rad * std::cos(a1), centres[corner].y + rad * std::sin(a1)}, c, width);
        }
    }
}

text_style text_in_box(std::u16string text, const rect& r, float size, color c)
{
    text_style s;
    s.text = std::move(text);
    s.x = r.x;
    s.y = r.y;
    s.width = r.width;
    s.height = r.height;
    s.size = size;
    s.color = c;
    s.v_align = paragraph_alignment::centre;
    return s;
}

float vertical_text_offset(paragraph_alignment v_align, float box_height, float text_height)
{
    switch (v_align) {
    case paragraph_alignment::centre:
        return (box_height - text_height) / 2;
    case paragraph_alignment::bottom:
        return box_height - text_height;
    case paragraph_alignment::top:
        break;
    }
    return 0;
}

}  // namespace d2dui
