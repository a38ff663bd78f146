// The node list's own share of a frame with 1,000 nodes while it scrolls: the list updated
// (scroll animation stepped) and painted into a context that only counts the operations, so the
// figure is the list's layout and paint code without a rasteriser behind it. Only the visible rows
// are laid out: the cost must not grow with the number of nodes.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "d2dui/render_context.h"
#include "ui/node_list.h"

namespace {

using namespace d2dui;

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

void screens_node_list_scrolling_frame(benchmark::State& state)
{
    const auto count = static_cast<std::size_t>(state.range(0));
    counting_context rc;
    widget root;
    root.set_bounds(0, 0, 440, 600);
    auto* list = root.emplace_child<pelto::ui::node_list>();
    list->flag_exists = [](std::int32_t) { return false; };
    list->set_bounds(20, 96, 400, 386);
    root.mount(rc);
    std::vector<pelto::node_entry> nodes;
    for (std::size_t i = 0; i < count; ++i) {
        nodes.push_back({u"香港 IPLC node " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)), u"VLESS · REALITY",
                         static_cast<std::int32_t>(i % 300)});
    }
    list->set_nodes(nodes, true);
    int frame = 0;
    for (auto _ : state) {
        if (frame % 6 == 0) {
            // A wheel notch every few frames, turning at the ends: the offset is always moving.
            const bool down = (frame / 600) % 2 == 0;
            list->scroll_to(list->scroll_target() + (down ? 96.0f : -96.0f), true);
        }
        root.update(1.0f / 60);
        root.paint(rc);
        ++frame;
    }
    benchmark::DoNotOptimize(rc.ops);
}
BENCHMARK(screens_node_list_scrolling_frame)->Arg(30)->Arg(1000)->Arg(100000);

}  // namespace
