// The node list's own share of a frame with 1,000 nodes while it scrolls: the list updated
// (scroll animation stepped) and painted into a context that only counts the operations, so the
// figure is the list's layout and paint code without a rasteriser behind it. Only the visible rows
// are laid out: the cost must not grow with the number of nodes.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/counting_context.h"
#include "d2dui/render_context.h"
#include "ui/node_list.h"

namespace {

using namespace d2dui;

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
