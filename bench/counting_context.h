#pragma once
// A render context that draws nothing and only counts the operations asked of it, so that a
// benchmark measures the widgets' own layout and paint code without a rasteriser behind them.
// Text is measured as half the font size per character and 1.25 times it per line.

#include <memory>
#include <string>

#include "d2dui/render_context.h"

// In the toolkit's namespace so that it reads as the toolkit's own contexts do; only the
// benchmarks include it.
namespace d2dui {

class counting_context : public render_context {
public:
    std::size_t ops = 0;
    void fill_rect(const rect&, const color&) override { ++ops; }
    void fill_rounded_rect(const rect&, float, const color&) override { ++ops; }
    void fill_circle(point, float, const color&) override { ++ops; }
    void draw_line(point, point, const color&, float) override { ++ops; }
    void draw_ellipse(point, float, float, const color&, float) override { ++ops; }
    void fill_path(const path&, const color&) override { ++ops; }
    bool svg_supported() const override { return false; }
    void draw_bitmap(const bitmap&, const rect&, float) override { ++ops; }
    void draw_svg(const svg_document&) override { ++ops; }
    void draw_text(const text_style& s) override { ops += s.text.size() > 0; }
    void draw_text_box(const text_style& s) override { ops += s.text.size() > 0; }
    size measure_text(const std::u16string& t, float sz, const std::u16string&, std::int32_t, std::int32_t, float) override
    {
        return {sz * 0.5f * static_cast<float>(t.size()), sz * 1.25f};
    }
    std::shared_ptr<bitmap> load_png(int) override { return nullptr; }
    std::shared_ptr<bitmap> try_load_png(int) override { return nullptr; }
    std::shared_ptr<svg_document> load_svg(int, size) override { return nullptr; }

protected:
    void do_set_transform(const matrix&) override { ++ops; }
    void do_push_clip(const rect&) override { ++ops; }
    void do_push_layer(const rect&, float) override { ++ops; }
    void do_push_opacity(layer_cache&, float) override { ++ops; }
    void do_push_path_layer(const path&) override { ++ops; }
    void do_pop(clip_kind) override { ++ops; }
};

}  // namespace d2dui
