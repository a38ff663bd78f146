#include <gtest/gtest.h>

#include <cmath>

#include "components/animator.h"
#include "components/components.h"
#include "components/shapes.h"
#include "d2dui/frame_schedule.h"
#include "tests/support/recording_context.h"

namespace zelno::components {
namespace {

using d2dui::color;
using pelto::testing::recording_context;

// Independent check of the curve: bisection on x(s) = t in double precision.
double reference_ease(double x1, double y1, double x2, double y2, double t)
{
    auto bez = [](double p1, double p2, double s) {
        const double u = 1 - s;
        return 3 * u * u * s * p1 + 3 * u * s * s * p2 + s * s * s;
    };
    double lo = 0, hi = 1;
    for (int i = 0; i < 60; ++i) {
        const double mid = (lo + hi) / 2;
        (bez(x1, x2, mid) < t ? lo : hi) = mid;
    }
    return bez(y1, y2, (lo + hi) / 2);
}

TEST(animator, easing_matches_an_independent_solution_of_the_curve)
{
    const float curves[][4] = {{0, 0, 0.58f, 1}, {0.4f, 0.14f, 0.3f, 1}, {0, 0, 0.2f, 1}, {0.22f, 1, 0.36f, 1}};
    for (const auto& c : curves) {
        animator_timing a;
        a.set_curve(c[0], c[1], c[2], c[3], 0.2f);
        for (double t = 0.05; t < 1; t += 0.05) {
            // At most four Newton steps from s = t: steep starts (t near 0 on 0,0,0.2,1) keep about
            // 1 % error, everywhere else it is far below.
            const double tolerance = t < 0.1 ? 1e-2 : 2e-3;
            EXPECT_NEAR(a.ease(static_cast<float>(t)), reference_ease(c[0], c[1], c[2], c[3], t), tolerance)
                << "curve " << c[0] << "," << c[1] << "," << c[2] << "," << c[3] << " t " << t;
        }
        EXPECT_EQ(a.ease(-0.5f), 0);
        EXPECT_EQ(a.ease(1.5f), 1);
    }
    animator_timing linear;
    linear.set_curve(0.3f, 0.3f, 0.7f, 0.7f, 1);
    EXPECT_FLOAT_EQ(linear.ease(0.37f), 0.37f);
}

TEST(animator, number_runs_to_its_target_and_a_retarget_continues_from_the_current_value)
{
    number_animator a;
    a.set_curve(0.4f, 0.14f, 0.3f, 1, 0.2f);
    a.animate_to(1);
    EXPECT_TRUE(a.active);
    EXPECT_TRUE(a.step(0.1f));
    const float mid = a.value;
    EXPECT_GT(mid, 0);
    EXPECT_LT(mid, 1);
    // Retarget back to 0: the value must not jump.
    a.animate_to(0);
    EXPECT_TRUE(a.active);
    a.step(0);
    EXPECT_NEAR(a.value, mid, 1e-4);
    for (int i = 0; i < 20 && a.step(1.0f / 60); ++i) {
    }
    EXPECT_FALSE(a.active);
    EXPECT_EQ(a.value, 0);
    EXPECT_EQ(a.progress, 1);

    // Same target at rest with the value already there: nothing to run.
    a.animate_to(0);
    EXPECT_FALSE(a.active);
    // Zero duration: jumps.
    a.duration = 0;
    a.animate_to(5);
    EXPECT_FALSE(a.active);
    EXPECT_EQ(a.value, 5);
}

TEST(animator, delay_holds_the_value_then_carries_the_overshoot)
{
    number_animator a;
    a.set_curve(0, 0, 1, 1, 1.0f);  // linear
    a.delay = 0.5f;
    a.animate_to(10);
    EXPECT_TRUE(a.step(0.3f));
    EXPECT_EQ(a.value, 0);
    EXPECT_TRUE(a.step(0.4f));  // 0.2 s past the delay
    EXPECT_NEAR(a.value, 2, 1e-4);
}

TEST(animator, colour_retarget_restarts_from_the_current_colour_and_reaches_the_target)
{
    color_animator a;
    a.set_curve(0.4f, 0.14f, 0.3f, 1, 0.15f);
    const color normal{1, 1, 1, 0}, hover{1, 1, 1, 0.1f};
    a.jump(normal);
    a.animate_to(hover);
    a.step(0.05f);
    const color partway = a.value;
    EXPECT_GT(partway.a, 0);
    a.duration = 0.2f;
    a.animate_to(normal);
    EXPECT_EQ(a.start, partway);
    float spent = 0;
    while (a.step(1.0f / 120)) {
        spent += 1.0f / 120;
    }
    EXPECT_LE(spent, 0.2f);
    EXPECT_EQ(a.value, normal);
}

TEST(animator, asks_the_window_for_frames_while_it_moves_and_stops_asking_at_rest)
{
    constexpr std::int64_t ms = 1'000'000;
    d2dui::frame_schedule& s = d2dui::frames();
    s.reset();
    number_animator a;
    a.set_curve(0, 0, 1, 1, 0.1f);
    a.jump(0);
    EXPECT_FALSE(s.frame_due(0));
    a.animate_to(1);
    EXPECT_TRUE(s.frame_due(0));
    int drawn = 0;
    std::int64_t t = 0;
    while (s.frame_due(t) && drawn < 100) {
        const float dt = s.begin_frame(t);
        a.step(drawn == 0 ? 0.0f : dt);
        s.end_frame();
        ++drawn;
        t += 16 * ms;
    }
    EXPECT_EQ(a.value, 1.0f);
    EXPECT_FALSE(a.active);
    EXPECT_GE(drawn, 6);   // 0.1 s at 16 ms a frame
    EXPECT_LE(drawn, 9);   // and then it rests
    EXPECT_EQ(s.next_deadline(), d2dui::frame_schedule::never);
    s.reset();
}

TEST(oklab, round_trips_and_endpoints)
{
    for (float r : {0.0f, 0.2f, 0.5f, 1.0f}) {
        for (float g : {0.0f, 0.35f, 1.0f}) {
            for (float b : {0.0f, 0.7f, 1.0f}) {
                float r2 = 0, g2 = 0, b2 = 0;
                oklab_to_linear_srgb(linear_srgb_to_oklab(r, g, b), r2, g2, b2);
                EXPECT_NEAR(r2, r, 1e-4);
                EXPECT_NEAR(g2, g, 1e-4);
                EXPECT_NEAR(b2, b, 1e-4);
            }
        }
    }
    // Published reference: linear sRGB red is L 0.62796, a 0.22486, b 0.12585.
    const oklab red = linear_srgb_to_oklab(1, 0, 0);
    EXPECT_NEAR(red.l, 0.62796, 1e-4);
    EXPECT_NEAR(red.a, 0.22486, 1e-4);
    EXPECT_NEAR(red.b, 0.12585, 1e-4);

    const color from = color::rgb8(26, 28, 30), to = color::rgb8(0, 92, 75, 0.5f);
    const color start = lerp_color_oklab(from, to, 0), end = lerp_color_oklab(from, to, 1);
    EXPECT_NEAR(start.r, from.r, 1e-4);
    EXPECT_NEAR(start.g, from.g, 1e-4);
    EXPECT_NEAR(end.g, to.g, 1e-4);
    EXPECT_NEAR(end.b, to.b, 1e-4);
    EXPECT_NEAR(lerp_color_oklab(from, to, 0.5f).a, 0.75f, 1e-6);
    // Out-of-gamut intermediate values are clamped.
    const color mix = lerp_color_oklab({0, 0, 1, 1}, {1, 1, 0, 1}, 0.5f);
    for (float c : {mix.r, mix.g, mix.b}) {
        EXPECT_GE(c, 0);
        EXPECT_LE(c, 1);
    }
}

TEST(smooth_rounded_rect, corners_clamp_and_control_points_sit_on_the_edges)
{
    EXPECT_TRUE(smooth_rounded_rect({0, 0, 0, 10}, 4, 0.75f).empty());
    const d2dui::path sharp = smooth_rounded_rect({0, 0, 40, 20}, 0.1f, 0.75f);
    ASSERT_EQ(sharp.segments.size(), 3u);
    for (const auto& s : sharp.segments) {
        EXPECT_FALSE(s.cubic);
    }
    // Radius above half the height: a pill with r = 10.
    const d2dui::path pill = smooth_rounded_rect({0, 0, 40, 20}, 50, 0.75f);
    EXPECT_FLOAT_EQ(pill.start.x, 10);
    ASSERT_EQ(pill.segments.size(), 8u);
    const auto& top_right = pill.segments[1];
    ASSERT_TRUE(top_right.cubic);
    EXPECT_FLOAT_EQ(top_right.c1.x, 40 - 2.5f);  // r (1 - 0.75) from the corner
    EXPECT_FLOAT_EQ(top_right.c1.y, 0);
    EXPECT_FLOAT_EQ(top_right.c2.x, 40);
    EXPECT_FLOAT_EQ(top_right.c2.y, 2.5f);
    EXPECT_FLOAT_EQ(top_right.to.y, 10);
}

class components_fixture : public ::testing::Test {
protected:
    void SetUp() override { d2dui::input() = {}; }
    void TearDown() override
    {
        root.reset();
        d2dui::input() = {};
    }
    recording_context rc;
    std::unique_ptr<d2dui::widget> root = std::make_unique<d2dui::widget>();
};

TEST_F(components_fixture, toggle_switch_notifies_only_on_change_and_when_asked)
{
    auto* sw = root->emplace_child<toggle_switch>(false);
    root->set_bounds(0, 0, 200, 100);
    sw->set_bounds(10, 10, 44, 24);
    root->mount(rc);
    std::vector<bool> seen;
    sw->on_change = [&](bool v) { seen.push_back(v); };
    sw->set_value(false, true);
    EXPECT_TRUE(seen.empty());
    sw->set_value(true, false);
    EXPECT_TRUE(seen.empty());
    root->update(0.1f);
    EXPECT_GT(sw->position(), 0);  // animates without notifying
    root->update(0.2f);
    EXPECT_EQ(sw->position(), 1);
    // A click flips and notifies.
    root->route_event(d2dui::input_event::pointer(d2dui::input_kind::pointer_move, 20, 20));
    root->route_event(d2dui::input_event::pointer(d2dui::input_kind::pointer_down, 20, 20));
    root->route_event(d2dui::input_event::pointer(d2dui::input_kind::pointer_up, 20, 20));
    ASSERT_EQ(seen, std::vector<bool>{false});
    EXPECT_FALSE(sw->value());
}

TEST_F(components_fixture, ripple_from_a_corner_reaches_the_far_corner_and_keyboard_ripples_start_in_the_middle)
{
    auto* b = root->emplace_child<reveal_text_button>(u"Go", color{0, 0, 0, 1}, color{1, 1, 1, 1}, color{1, 1, 1, 0.1f});
    root->set_bounds(0, 0, 400, 300);
    b->focusable = true;
    int clicks = 0;
    b->on_click = [&] { ++clicks; };
    root->mount(rc);
    root->update(0);  // sizes to the label: 2 * 7 + 24 by 17.5 + 16
    b->set_bounds(100, 100, 60, 30);
    b->spawn_ripple({100, 100});
    ASSERT_EQ(b->ripples().size(), 1u);
    EXPECT_FLOAT_EQ(b->ripples()[0].max_radius, std::hypot(60.0f, 30.0f));

    // The pointer was last seen far away; Enter on the focused button must not start the ripple there.
    d2dui::input().last_pointer = {390, 290};
    d2dui::widget::set_focus(b);
    root->route_event(d2dui::input_event::keyboard(d2dui::input_kind::key_down, vk_return));
    EXPECT_EQ(clicks, 1);
    ASSERT_EQ(b->ripples().size(), 2u);
    EXPECT_FLOAT_EQ(b->ripples()[1].x, 30);
    EXPECT_FLOAT_EQ(b->ripples()[1].y, 15);

    // Both ripples die after their half second.
    for (int i = 0; i < 40; ++i) {
        b->set_bounds(100, 100, 60, 30);
        root->update(1.0f / 60);
    }
    EXPECT_TRUE(b->ripples().empty());

    // A pointer click ripples from the pointer and runs the click function, even one installed
    // after mounting.
    int late = 0;
    b->on_click = [&] { ++late; };
    root->route_event(d2dui::input_event::pointer(d2dui::input_kind::pointer_move, 110, 120));
    root->route_event(d2dui::input_event::pointer(d2dui::input_kind::pointer_down, 110, 120));
    root->route_event(d2dui::input_event::pointer(d2dui::input_kind::pointer_up, 110, 120));
    EXPECT_EQ(late, 1);
    ASSERT_EQ(b->ripples().size(), 1u);
    EXPECT_FLOAT_EQ(b->ripples()[0].x, 10);
    EXPECT_FLOAT_EQ(b->ripples()[0].y, 20);
}

TEST_F(components_fixture, icon_button_returns_to_its_normal_colour_within_the_leave_duration)
{
    rc.png_sizes[120] = {28, 28};
    auto* b = root->emplace_child<icon_button>(120);
    root->set_bounds(0, 0, 200, 100);
    b->set_bounds(10, 10, 28, 28);
    root->mount(rc);
    root->route_event(d2dui::input_event::pointer(d2dui::input_kind::pointer_move, 20, 20));
    root->update(0.05f);
    EXPECT_GT(b->background().value.a, 0);
    root->route_event(d2dui::input_event::pointer(d2dui::input_kind::pointer_move, 150, 80));
    float spent = 0;
    while (b->background().active && spent < 1) {
        root->update(1.0f / 60);
        spent += 1.0f / 60;
    }
    EXPECT_LE(spent, 0.2f + 1e-3f);
    EXPECT_EQ(b->background().value, b->normal_color);
    rc.clear();
    root->paint(rc);
    const auto bitmaps = rc.named("draw_bitmap");
    ASSERT_EQ(bitmaps.size(), 1u);
    EXPECT_FLOAT_EQ(bitmaps[0].value, 0.5f);  // not hovered
    EXPECT_FLOAT_EQ(bitmaps[0].area.width, 14);
}

}  // namespace
}  // namespace zelno::components
