// The toolkit's own share of a frame: the gallery's widget tree (title strip, five text lines,
// three buttons, a clipped list of twelve rows) updated and painted into a context that only
// counts the operations, so the figure is the tree walk and the widgets' paint code without a
// rasteriser behind them.

#include <benchmark/benchmark.h>

#include <string>

#include "bench/counting_context.h"
#include "d2dui/render_context.h"
#include "d2dui/widget.h"

namespace {

using namespace d2dui;

text_style text_at(std::u16string text, rect r, float size)
{
    return text_in_box(std::move(text), r, size, color{0, 0, 0, 1});
}

class label : public widget {
public:
    std::u16string text;
    float size = 13;

protected:
    void on_paint(render_context& rc) override { rc.draw_text(text_at(text, area(), size)); }
};

class button : public clickable_widget {
public:
    std::u16string text;

protected:
    void on_paint(render_context& rc) override
    {
        rc.fill_rounded_rect(area(), 8, pressed() ? color{0, 0.27f, 0.22f} : hovered() ? color{0, 0.44f, 0.36f} : color{0, 0.36f, 0.29f});
        rc.draw_text(text_at(text, area(), 13));
    }
};

class rows : public widget {
protected:
    void on_paint(render_context& rc) override
    {
        const rect r = area();
        rc.fill_rounded_rect(r, 11, {});
        clip_saver clip(rc, r);
        translate_saver shift(rc, 0, -30);
        for (int i = 0; i < 12; ++i) {
            const rect row{r.x + 8, r.y + 8 + i * 36.0f, r.width - 28, 32};
            rc.fill_rounded_rect(row, 6, {});
            rc.draw_text(text_at(u"Row", row, 13));
            rc.draw_text(text_at(u"42 ms", row, 13));
        }
    }
};

void d2dui_gallery_tree_frame(benchmark::State& state)
{
    counting_context rc;
    widget root;
    root.set_bounds(0, 0, 440, 600);
    auto* strip = root.emplace_child<widget>();
    strip->set_bounds(0, 0, 440, 44);
    strip->drag_region = true;
    for (int i = 0; i < 3; ++i) {
        strip->emplace_child<button>()->set_bounds(334 + 34.0f * i, 8, 28, 28);
    }
    for (int i = 0; i < 5; ++i) {
        auto* l = root.emplace_child<label>();
        l->text = u"Inter 13 Semi Bold: Connect, Settings";
        l->set_bounds(20, 56 + 24.0f * i, 400, 20);
    }
    for (int i = 0; i < 3; ++i) {
        auto* b = root.emplace_child<button>();
        b->text = u"Press me";
        b->set_bounds(20 + 135.0f * i, 196, 125, 36);
    }
    root.emplace_child<rows>()->set_bounds(20, 270, 400, 180);
    root.mount(rc);
    float x = 0;
    for (auto _ : state) {
        // A pointer move per frame, as while the user moves the mouse: routing and hover too.
        x = x > 430 ? 0 : x + 7;
        root.route_event(input_event::pointer(input_kind::pointer_move, x, 214));
        root.update(0.016f);
        rc.reset_transform();
        rc.push_scale(1.5f, 1.5f);
        root.paint(rc);
        rc.pop_transform();
        benchmark::DoNotOptimize(rc.ops);
    }
    root.unmount();
}
BENCHMARK(d2dui_gallery_tree_frame);

}  // namespace
