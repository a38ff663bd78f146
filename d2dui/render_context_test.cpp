#include "d2dui/render_context.h"

#include <gtest/gtest.h>

#include "tests/support/recording_context.h"

namespace d2dui {
namespace {

using pelto::testing::recording_context;

TEST(render_context, translations_inside_the_dpi_scale_move_by_dips)
{
    recording_context rc;
    rc.push_scale(1.5f, 1.5f);
    {
        translate_saver t(rc, 10, 20);
        const point p = rc.transform().apply({0, 0});
        EXPECT_FLOAT_EQ(p.x, 15);
        EXPECT_FLOAT_EQ(p.y, 30);
        rc.fill_rect({0, 0, 1, 1}, {});
    }
    EXPECT_EQ(rc.transform(), matrix::scale(1.5f, 1.5f));
    EXPECT_EQ(rc.transform_depth(), 1u);
    rc.pop_transform();
    rc.pop_transform();  // an extra pop is ignored
    EXPECT_EQ(rc.transform(), matrix{});
    EXPECT_FLOAT_EQ(rc.named("fill_rect")[0].transform.dx, 15);
}

TEST(render_context, pops_end_the_most_recent_clip_or_layer)
{
    recording_context rc;
    layer_cache cache;
    rc.push_clip({0, 0, 10, 10});
    rc.push_layer({0, 0, 10, 10}, 4);
    rc.push_opacity(cache, 0.5f);
    EXPECT_TRUE(cache.object);
    auto first = cache.object;
    rc.pop_clip();
    rc.push_opacity(cache, 0.25f);
    EXPECT_EQ(cache.object, first);  // the cached layer is reused
    rc.pop_clip();
    rc.pop_clip();
    rc.pop_clip();
    rc.pop_clip();  // empty: nothing
    std::vector<std::string> names;
    for (const auto& op : rc.ops) {
        names.push_back(op.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"push_clip", "push_layer", "push_opacity", "pop_layer", "push_opacity",
                                               "pop_layer", "pop_layer", "pop_clip"}));
    EXPECT_EQ(rc.clip_depth(), 0u);
}

TEST(render_context, vertical_text_offset_may_go_negative_in_a_short_box)
{
    EXPECT_FLOAT_EQ(vertical_text_offset(paragraph_alignment::top, 20, 30), 0);
    EXPECT_FLOAT_EQ(vertical_text_offset(paragraph_alignment::centre, 20, 30), -5);
    EXPECT_FLOAT_EQ(vertical_text_offset(paragraph_alignment::bottom, 20, 30), -10);
    EXPECT_FLOAT_EQ(vertical_text_offset(paragraph_alignment::centre, 40, 20), 10);
}

// The search a backend without its own hit test falls back on agrees with the recording
// context's direct answer (the nearer unit edge, the earlier on a tie) every quarter unit.
TEST(render_context, the_fallback_hit_test_finds_the_nearest_edge_in_few_measures)
{
    recording_context rc;
    const std::u16string text(1000, u'm');
    for (float x = -5; x <= 10 * 1000 + 20; x += 2.5f) {
        const std::size_t direct = rc.hit_test_text(text, 20, {}, 400, 0, x);
        rc.measure_calls = 0;
        EXPECT_EQ(rc.render_context::hit_test_text(text, 20, {}, 400, 0, x), direct) << x;
        EXPECT_LE(rc.measure_calls, 14);
    }
    EXPECT_EQ(rc.render_context::hit_test_text(u"", 20, {}, 400, 0, 30), 0u);
}

}  // namespace
}  // namespace d2dui
