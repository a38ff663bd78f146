#include "d2dui/window_rules.h"

#include <gtest/gtest.h>

#include <array>
#include <set>

#include "d2dui/widget.h"

namespace d2dui {
namespace {

TEST(window_plan, sizes_with_the_dpi_of_the_monitor_it_is_centred_on)
{
    // Mixed DPI: a 100 % secondary left of a 150 % primary. The pointer's monitor plays no part.
    const std::array<monitor_desc, 2> monitors{{
        {-1920, 0, 0, 1040, 96, false},
        {0, 0, 2560, 1400, 144, true},
    }};
    const window_plan plan = plan_window(monitors, 440, 600);
    EXPECT_EQ(plan.dpi, 144);
    EXPECT_EQ(plan.width, 660);
    EXPECT_EQ(plan.height, 900);
    EXPECT_EQ(plan.x, (2560 - 660) / 2);
    EXPECT_EQ(plan.y, (1400 - 900) / 2);

    // 125 %: 440 * 1.25 = 550, 601 * 1.25 = 751.25 -> 751; halves round away from zero.
    const std::array<monitor_desc, 1> one{{{0, 0, 1920, 1080, 120, true}}};
    EXPECT_EQ(plan_window(one, 440, 601).height, 751);
    EXPECT_EQ(plan_window(one, 0.4f, 2.0f).width, 1);  // 0.5 -> 1
    EXPECT_EQ(round_half_away(-2.5f), -3);

    // No primary flag: the first monitor; no monitors at all: 96 DPI.
    const std::array<monitor_desc, 1> plain{{{100, 50, 1100, 850, 192, false}}};
    EXPECT_EQ(plan_window(plain, 100, 100).width, 200);
    EXPECT_EQ(plan_window(plain, 100, 100).x, 100 + (1000 - 200) / 2);
    EXPECT_EQ(plan_window({}, 440, 600).width, 440);
}

TEST(window_plan, a_work_area_shorter_than_the_window_gets_a_shorter_window)
{
    // 1280 x 720 at 125 %: 440 x 600 DIPs would be 550 x 750 pixels; the work area above a
    // 48-pixel taskbar is 672 pixels tall.
    const std::array<monitor_desc, 1> small{{{0, 0, 1280, 672, 120, true}}};
    const window_plan plan = plan_window(small, 440, 600, 504);
    EXPECT_EQ(plan.width, 550);
    EXPECT_EQ(plan.height, 672);
    EXPECT_EQ(plan.x, (1280 - 550) / 2);
    EXPECT_EQ(plan.y, 0);
    EXPECT_LE(plan.y + plan.height, 672);  // the bottom edge stays above the taskbar

    // A work area that does not start at 0 (taskbar at the top), on a secondary primary.
    const std::array<monitor_desc, 1> top_bar{{{1920, 60, 3200, 720, 120, true}}};
    const window_plan below = plan_window(top_bar, 440, 600, 504);
    EXPECT_EQ(below.height, 660);
    EXPECT_EQ(below.y, 60);
    EXPECT_EQ(below.x, 1920 + (1280 - 550) / 2);

    // Never below the content's minimum (504 DIPs = 630 pixels): then it keeps that and starts at
    // the work area's top.
    const std::array<monitor_desc, 1> tiny{{{0, 0, 1024, 560, 120, true}}};
    const window_plan least = plan_window(tiny, 440, 600, 504);
    EXPECT_EQ(least.height, 630);
    EXPECT_EQ(least.y, 0);
    // A tall work area keeps the asked-for size, centred.
    const std::array<monitor_desc, 1> tall{{{0, 0, 1280, 1000, 120, true}}};
    EXPECT_EQ(plan_window(tall, 440, 600, 504).height, 750);
    EXPECT_EQ(plan_window(tall, 440, 600, 504).y, (1000 - 750) / 2);
}

TEST(window_plan, pixels_become_dips_through_zoom_and_dpi)
{
    const point p = to_dips(660, 900, 1.0f, 1.5f);
    EXPECT_FLOAT_EQ(p.x, 440);
    EXPECT_FLOAT_EQ(p.y, 600);
    const point z = to_dips(300, 150, 2.0f, 1.5f);
    EXPECT_FLOAT_EQ(z.x, 100);
    EXPECT_FLOAT_EQ(z.y, 50);
    EXPECT_FLOAT_EQ(to_dips(10, 10, 0, 0).x, 10);  // before the window exists: no division by 0
}

TEST(window_plan, title_strip_answers_caption_only_on_empty_space_and_drag_regions)
{
    input() = {};
    widget root;
    root.set_bounds(0, 0, 440, 600);
    auto* close_button = root.emplace_child<widget>();
    close_button->set_bounds(400, 0, 40, 44);
    auto* title = root.emplace_child<widget>();
    title->set_bounds(10, 10, 100, 20);
    title->drag_region = true;

    EXPECT_EQ(title_strip_hit(&root, {200, 20}, 44), hit_caption);  // empty strip
    EXPECT_EQ(title_strip_hit(&root, {50, 20}, 44), hit_caption);   // drag region
    EXPECT_EQ(title_strip_hit(&root, {420, 20}, 44), hit_client);   // a button in the strip
    EXPECT_EQ(title_strip_hit(&root, {200, 44}, 44), hit_client);   // below the strip
    EXPECT_EQ(title_strip_hit(&root, {200, 20}, 0), hit_client);
    EXPECT_EQ(title_strip_hit(nullptr, {200, 20}, 44), hit_client);  // before the tree exists
}

TEST(window_plan, a_frame_after_a_pause_animates_at_most_50_ms)
{
    EXPECT_FLOAT_EQ(frame_step_seconds(16'000'000), 0.016f);
    EXPECT_FLOAT_EQ(frame_step_seconds(5'000'000'000), 0.05f);
    EXPECT_FLOAT_EQ(frame_step_seconds(-5), 0);
}

TEST(window_plan, class_names_are_uniform_over_the_alphabet)
{
    std::mt19937_64 engine(42);
    const std::u16string alphabet = u"abcdefghijklmnopqrstuvwxyz0123456789";
    const std::u16string name = random_class_name(engine, alphabet);
    EXPECT_EQ(name.size(), 12u);
    for (char16_t c : name) {
        EXPECT_NE(alphabet.find(c), std::u16string::npos);
    }
    EXPECT_NE(random_class_name(engine, alphabet), name);

    // A bound just above 2^63 is where modulo reduction would be most biased: about two thirds
    // of the draws would land in the lower half. Rejection keeps it near one half.
    const std::uint64_t bound = (std::uint64_t{1} << 63) + (std::uint64_t{1} << 62);
    int lower = 0;
    for (int i = 0; i < 4000; ++i) {
        const std::uint64_t v = uniform_below(engine, bound);
        ASSERT_LT(v, bound);
        lower += v < bound / 2;
    }
    EXPECT_GT(lower, 1800);
    EXPECT_LT(lower, 2200);
    std::set<std::uint64_t> small;
    for (int i = 0; i < 200; ++i) {
        small.insert(uniform_below(engine, 3));
    }
    EXPECT_EQ(small, (std::set<std::uint64_t>{0, 1, 2}));
}

}  // namespace
}  // namespace d2dui
