#pragma once
// A render_context that draws nothing and records every operation with the transform and clip
// depth in force, for tests of widget painting on any platform. Text metrics are a fixed model
// (each UTF-16 unit is half the font size wide, a line is 1.25 times the size high), so layout
// code can be checked against exact numbers.

#include <map>
#include <string>
#include <vector>

#include "d2dui/render_context.h"

namespace pelto::testing {

struct recorded_op {
    std::string name;  // "fill_rect", "draw_text", "push_clip", "pop", ...
    d2dui::rect area;
    d2dui::color color;
    std::u16string text;
    d2dui::matrix transform;  // in force when the operation was issued
    std::size_t clip_depth = 0;
    float value = 0;  // radius, opacity or line width
    d2dui::text_fit fit = d2dui::text_fit::wrap;  // text operations: what the style asked for
};

class recording_context : public d2dui::render_context {
public:
    std::vector<recorded_op> ops;
    std::map<int, d2dui::size> png_sizes;  // resources load_png may find
    std::vector<int> png_loads;            // ids asked of load_png and try_load_png, in order
    std::map<int, bool> svg_present;       // resources load_svg may find
    bool svg_enabled = true;               // false: load_svg never finds anything
    std::vector<d2dui::path> paths;        // every filled or layered path, in order
    int measure_calls = 0;                 // measure_text calls so far
    int hit_test_calls = 0;                // hit_test_text calls so far

    void clear() { ops.clear(); }
    std::vector<recorded_op> named(const std::string& name) const;

    void fill_rect(const d2dui::rect& r, const d2dui::color& c) override;
    void fill_rounded_rect(const d2dui::rect& r, float radius, const d2dui::color& c) override;
    // Recorded as "draw_rounded_rect" with the radius as `value` (the width is not kept).
    void draw_rounded_rect(const d2dui::rect& r, float radius, const d2dui::color& c, float width) override;
    void fill_circle(d2dui::point centre, float radius, const d2dui::color& c) override;
    void draw_line(d2dui::point from, d2dui::point to, const d2dui::color& c, float width) override;
    void draw_ellipse(d2dui::point centre, float rx, float ry, const d2dui::color& c, float width) override;
    void fill_path(const d2dui::path& p, const d2dui::color& c) override;
    bool svg_supported() const override { return svg_enabled; }
    void draw_bitmap(const d2dui::bitmap& image, const d2dui::rect& r, float opacity) override;
    void draw_svg(const d2dui::svg_document& document) override;
    void draw_text(const d2dui::text_style& s) override;
    void draw_text_box(const d2dui::text_style& s) override;
    d2dui::size measure_text(const std::u16string& text, float font_size, const std::u16string& family,
                             std::int32_t weight, std::int32_t style, float max_width) override;
    // By the same metrics: the unit edge nearest to x (the earlier one on a tie).
    std::size_t hit_test_text(const std::u16string& text, float font_size, const std::u16string& family,
                              std::int32_t weight, std::int32_t style, float x) override;
    std::shared_ptr<d2dui::bitmap> load_png(int resource_id) override;
    std::shared_ptr<d2dui::bitmap> try_load_png(int resource_id) override;
    std::shared_ptr<d2dui::svg_document> load_svg(int resource_id, d2dui::size viewport) override;

protected:
    void do_set_transform(const d2dui::matrix&) override {}
    void do_push_clip(const d2dui::rect& r) override;
    void do_push_layer(const d2dui::rect& r, float radius) override;
    void do_push_opacity(d2dui::layer_cache& cache, float opacity) override;
    void do_push_path_layer(const d2dui::path& p) override;
    void do_pop(clip_kind kind) override;

private:
    void record(std::string name, const d2dui::rect& r, const d2dui::color& c, float value = 0,
                std::u16string text = {});
};

}  // namespace pelto::testing
