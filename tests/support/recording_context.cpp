#include "tests/support/recording_context.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace pelto::testing {

namespace {

class recorded_bitmap : public d2dui::bitmap {
public:
    explicit recorded_bitmap(d2dui::size s) : size_(s) {}
    d2dui::size pixel_size() const override { return size_; }

private:
    d2dui::size size_;
};

class recorded_svg : public d2dui::svg_document {};

}  // namespace

std::vector<recorded_op> recording_context::named(const std::string& name) const
{
    std::vector<recorded_op> out;
    std::copy_if(ops.begin(), ops.end(), std::back_inserter(out), [&](const recorded_op& op) { return op.name == name; });
    return out;
}

void recording_context::record(std::string name, const d2dui::rect& r, const d2dui::color& c, float value,
                               std::u16string text)
{
    ops.push_back({std::move(name), r, c, std::move(text), transform(), clip_depth(), value});
}

void recording_context::fill_rect(const d2dui::rect& r, const d2dui::color& c)
{
    record("fill_rect", r, c);
}

void recording_context::fill_rounded_rect(const d2dui::rect& r, float radius, const d2dui::color& c)
{
    record("fill_rounded_rect", r, c, radius);
}

void recording_context::draw_rounded_rect(const d2dui::rect& r, float radius, const d2dui::color& c, float)
{
    record("draw_rounded_rect", r, c, radius);
}

void recording_context::fill_circle(d2dui::point centre, float radius, const d2dui::color& c)
{
    record("fill_circle", {centre.x - radius, centre.y - radius, 2 * radius, 2 * radius}, c, radius);
}

void recording_context::draw_line(d2dui::point from, d2dui::point to, const d2dui::color& c, float width)
{
    record("draw_line", {from.x, from.y, to.x - from.x, to.y - from.y}, c, width);
}

void recording_context::draw_ellipse(d2dui::point centre, float rx, float ry, const d2dui::color& c, float width)
{
    record("draw_ellipse", {centre.x - rx, centre.y - ry, 2 * rx, 2 * ry}, c, width);
}

namespace {

d2dui::rect path_bounds(const d2dui::path& p)
{
    float left = p.start.x, top = p.start.y, right = p.start.x, bottom = p.start.y;
    for (const auto& s : p.segments) {
        left = std::min(left, s.to.x);
        right = std::max(right, s.to.x);
        top = std::min(top, s.to.y);
        bottom = std::max(bottom, s.to.y);
    }
    return {left, top, right - left, bottom - top};
}

}  // namespace

void recording_context::fill_path(const d2dui::path& p, const d2dui::color& c)
{
    paths.push_back(p);
    record("fill_path", path_bounds(p), c);
}

void recording_context::do_push_path_layer(const d2dui::path& p)
{
    paths.push_back(p);
    record("push_path_layer", path_bounds(p), {});
}

void recording_context::draw_bitmap(const d2dui::bitmap&, const d2dui::rect& r, float opacity)
{
    record("draw_bitmap", r, {}, opacity);
}

void recording_context::draw_svg(const d2dui::svg_document&)
{
    record("draw_svg", {}, {});
}

void recording_context::draw_text(const d2dui::text_style& s)
{
    if (!s.text.empty()) {
        record("draw_text", {s.x, s.y, s.width, s.height}, s.color, s.size, s.text);
        ops.back().fit = s.fit;
    }
}

void recording_context::draw_text_box(const d2dui::text_style& s)
{
    if (!s.text.empty()) {
        record("draw_text_box", {s.x, s.y, s.width, s.height}, s.color, s.size, s.text);
        ops.back().fit = s.fit;
    }
}

d2dui::size recording_context::measure_text(const std::u16string& text, float font_size, const std::u16string&,
                                            std::int32_t, std::int32_t, float max_width)
{
    ++measure_calls;
    const float limit = max_width > 0 ? max_width : 65536.0f;
    const float advance = font_size / 2;
    const float full = advance * static_cast<float>(text.size());
    const float line_height = font_size * 1.25f;
    if (full <= limit || advance <= 0) {
        return {full, line_height};
    }
    const auto per_line = std::max(1.0f, static_cast<float>(static_cast<int>(limit / advance)));
    const auto lines = static_cast<float>(static_cast<int>((static_cast<float>(text.size()) + per_line - 1) / per_line));
    return {per_line * advance, lines * line_height};
}

std::size_t recording_context::hit_test_text(const std::u16string& text, float font_size, const std::u16string&,
                                             std::int32_t, std::int32_t, float x)
{
    ++hit_test_calls;
    const float advance = font_size / 2;
    if (advance <= 0 || x <= 0) {
        return 0;
    }
    const float units = std::ceil(x / advance - 0.5f);
    return std::min(text.size(), static_cast<std::size_t>(units));
}

std::shared_ptr<d2dui::bitmap> recording_context::load_png(int resource_id)
{
    png_loads.push_back(resource_id);
    const auto it = png_sizes.find(resource_id);
    if (it == png_sizes.end()) {
        throw std::runtime_error("resource not found");
    }
    return std::make_shared<recorded_bitmap>(it->second);
}

std::shared_ptr<d2dui::bitmap> recording_context::try_load_png(int resource_id)
{
    if (png_sizes.count(resource_id) == 0) {
        png_loads.push_back(resource_id);
        return nullptr;
    }
    return load_png(resource_id);
}

std::shared_ptr<d2dui::svg_document> recording_context::load_svg(int resource_id, d2dui::size)
{
    return svg_enabled && svg_present.count(resource_id) ? std::make_shared<recorded_svg>() : nullptr;
}

void recording_context::do_push_clip(const d2dui::rect& r)
{
    record("push_clip", r, {});
}

void recording_context::do_push_layer(const d2dui::rect& r, float radius)
{
    record("push_layer", r, {}, radius);
}

void recording_context::do_push_opacity(d2dui::layer_cache& cache, float opacity)
{
    if (!cache.object) {
        cache.object = std::make_shared<int>(0);
    }
    record("push_opacity", {}, {}, opacity);
}

void recording_context::do_pop(clip_kind kind)
{
    record(kind == clip_kind::layer ? "pop_layer" : "pop_clip", {}, {});
}

}  // namespace pelto::testing
