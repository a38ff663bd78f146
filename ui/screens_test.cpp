#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "tests/support/recording_context.h"
#include "ui/flags.h"
#include "base/localized_text.h"
#include "ui/palette.h"
#include "ui/node_list.h"
#include "ui/screens.h"
#include "ui/widgets.h"

namespace pelto::ui {
namespace {

using d2dui::input_event;
using pelto::testing::recording_context;

constexpr std::uint32_t vk_return = 0x0D, vk_prior = 0x21, vk_next = 0x22, vk_end = 0x23, vk_home = 0x24, vk_up = 0x26, vk_down = 0x28;

std::vector<node_entry> nodes(int count, int measured_from = 0)
{
    std::vector<node_entry> out;
    for (int i = 0; i < count; ++i) {
        out.push_back({u"node " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) + u"-" +
                           std::u16string(1, static_cast<char16_t>(u'0' + i / 26)),
                       u"VLESS", i >= measured_from ? 40 + i : latency_not_measured});
    }
    return out;
}

class list_fixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        d2dui::input() = {};
        root = std::make_unique<d2dui::widget>();
        root->set_bounds(0, 0, 440, 600);
        list = root->emplace_child<node_list>();
        list->flag_exists = [](std::int32_t) { return false; };
        list->set_bounds(20, 96, 400, 386);  // 6 rows and a bit
        root->mount(rc);
    }
    void TearDown() override
    {
        root.reset();
        d2dui::input() = {};
    }
    void pointer(d2dui::input_kind kind, float x, float y, float wheel = 0)
    {
        input_event e = input_event::pointer(kind, x, y);
        e.wheel = wheel;
        root->route_event(e);
    }
    void key(std::uint32_t vk) { root->route_event(input_event::keyboard(d2dui::input_kind::key_down, vk)); }
    void settle()
    {
        for (int i = 0; i < 60; ++i) {
            root->update(1.0f / 60);
        }
    }

    recording_context rc;
    std::unique_ptr<d2dui::widget> root;
    node_list* list = nullptr;
};

TEST_F(list_fixture, selection_follows_name_and_subtitle_across_updates)
{
    // Interim list: nothing measured yet, the first row is selected.
    list->set_nodes(nodes(5, 99), false);
    EXPECT_EQ(list->selected(), 0);
    pointer(d2dui::input_kind::pointer_down, 100, 96 + 64 * 2 + 10);  // row 2
    EXPECT_EQ(list->selected(), 2);

    // The settled list reorders: the node the user picked is found again and stays picked,
    // although another one was measured first.
    auto settled = nodes(5, 3);
    std::swap(settled[0], settled[2]);
    list->set_nodes(settled, true);
    EXPECT_EQ(list->selected(), 0);
    EXPECT_EQ(list->entries()[0].name, nodes(5)[2].name);
    // Without a pick, settling selects the first measured node.
    list->set_nodes(nodes(5, 99), false);
    list->set_nodes({}, false);
    list->set_nodes(nodes(5, 99), false);
    EXPECT_EQ(list->selected(), 0);
    list->set_nodes(settled, true);
    EXPECT_EQ(list->selected(), 3);

    // Later updates keep the node by name and subtitle wherever it moves.
    pointer(d2dui::input_kind::pointer_down, 100, 96 + 64 * 4 + 10);
    ASSERT_EQ(list->selected(), 4);
    const node_entry chosen = list->entries()[4];
    auto moved = settled;
    std::swap(moved[4], moved[1]);
    list->set_nodes(moved, true);
    EXPECT_EQ(list->selected(), 1);
    EXPECT_EQ(list->entries()[1].name, chosen.name);

    // Same name, other protocol: not the same node. Gone: first measured node.
    moved[1].subtitle = u"Trojan";
    list->set_nodes(moved, true);
    EXPECT_EQ(list->selected(), 1);  // the first measured node (index 1 after the swaps)
    list->set_nodes({}, true);
    EXPECT_EQ(list->selected(), -1);

    EXPECT_TRUE(list->select_by_key(moved[1].name, u"Trojan") == false);
    list->set_nodes(moved, true);
    EXPECT_TRUE(list->select_by_key(moved[1].name, u"Trojan"));
    EXPECT_EQ(list->selected(), 1);
}

TEST_F(list_fixture, wheel_and_thumb_stay_within_limits)
{
    list->set_nodes(nodes(30), true);
    const float max = 30 * 64 - 386;
    EXPECT_FLOAT_EQ(list->max_scroll(), max);
    pointer(d2dui::input_kind::pointer_wheel, 100, 200, -100);  // far past the end
    settle();
    EXPECT_FLOAT_EQ(list->scroll_target(), max);
    EXPECT_FLOAT_EQ(list->scroll_offset(), max);
    pointer(d2dui::input_kind::pointer_wheel, 100, 200, 1);
    EXPECT_FLOAT_EQ(list->scroll_target(), max - 96);
    // Thumb: height 386² / 1920, at the bottom when scrolled to the end.
    list->scroll_to(max, false);
    const d2dui::rect t = list->thumb();
    EXPECT_FLOAT_EQ(t.height, 386.0f * 386 / 1920);
    EXPECT_FLOAT_EQ(t.bottom(), 96 + 386);
    // Press on the track above the thumb: the thumb centre jumps under the pointer, then a drag
    // of the whole free travel covers the whole range.
    pointer(d2dui::input_kind::pointer_down, 418, 96 + t.height / 2);
    EXPECT_TRUE(list->dragging());
    EXPECT_NEAR(list->scroll_offset(), 0, 1e-3);
    pointer(d2dui::input_kind::pointer_move, 418, 96 + t.height / 2 + (386 - t.height));
    EXPECT_NEAR(list->scroll_offset(), max, 1e-2);
    pointer(d2dui::input_kind::pointer_move, 418, 2000);
    EXPECT_FLOAT_EQ(list->scroll_offset(), max);
    pointer(d2dui::input_kind::pointer_up, 418, 2000);
    EXPECT_FALSE(list->dragging());
}

TEST_F(list_fixture, a_thumb_that_fills_the_track_cannot_divide_by_zero)
{
    // 32-DIP list, one 64-DIP row: scrollable by 32, the 32-DIP minimum thumb fills the track.
    list->set_bounds(20, 96, 400, 32);
    list->set_nodes(nodes(1), true);
    ASSERT_TRUE(list->scrollable());
    ASSERT_FLOAT_EQ(list->thumb().height, 32);
    pointer(d2dui::input_kind::pointer_down, 418, 110);
    pointer(d2dui::input_kind::pointer_move, 418, 110);  // 0 / 0 without the guard
    EXPECT_TRUE(std::isfinite(list->scroll_offset()));
    pointer(d2dui::input_kind::pointer_move, 418, 120);
    EXPECT_TRUE(std::isfinite(list->scroll_offset()));
    EXPECT_GE(list->scroll_offset(), 0);
    EXPECT_LE(list->scroll_offset(), list->max_scroll());
    pointer(d2dui::input_kind::pointer_up, 418, 130);
}

TEST_F(list_fixture, keys_move_the_selection_and_scroll_it_into_view)
{
    list->set_nodes(nodes(30), true);
    int selects = 0, activates = 0;
    list->on_select = [&] { ++selects; };
    list->on_activate = [&] { ++activates; };
    key(vk_down);  // not focused: ignored
    EXPECT_EQ(list->selected(), 0);
    d2dui::widget::set_focus(list);
    key(vk_down);
    EXPECT_EQ(list->selected(), 1);
    key(vk_end);
    EXPECT_EQ(list->selected(), 29);
    EXPECT_FLOAT_EQ(list->scroll_target(), 30 * 64 - 386);
    key(vk_down);  // past the last row: nothing changes
    EXPECT_EQ(list->selected(), 29);
    EXPECT_EQ(selects, 2);
    key(vk_home);
    EXPECT_FLOAT_EQ(list->scroll_target(), 0);
    key(vk_up);
    EXPECT_EQ(list->selected(), 0);
    key(vk_return);
    EXPECT_EQ(activates, 1);
}

TEST_F(list_fixture, page_keys_move_by_the_rows_the_box_shows_and_stop_at_the_ends)
{
    list->set_nodes(nodes(20), true);
    d2dui::widget::set_focus(list);
    key(vk_next);  // 386 DIPs show 6 whole rows
    EXPECT_EQ(list->selected(), 6);
    key(vk_next);
    key(vk_next);
    EXPECT_EQ(list->selected(), 18);
    EXPECT_FLOAT_EQ(list->scroll_target(), 19 * 64 - 386);
    key(vk_next);
    EXPECT_EQ(list->selected(), 19);
    key(vk_prior);
    EXPECT_EQ(list->selected(), 13);
    key(vk_prior);
    key(vk_prior);
    key(vk_prior);
    EXPECT_EQ(list->selected(), 0);
    EXPECT_FLOAT_EQ(list->scroll_target(), 0);
}

TEST_F(list_fixture, paints_only_visible_rows_with_full_width_when_short_and_globes_without_flags)
{
    list->set_nodes(nodes(3), true);
    rc.clear();
    root->paint(rc);
    auto cards = rc.named("fill_rounded_rect");
    ASSERT_EQ(cards.size(), 3u);  // no thumb
    EXPECT_FLOAT_EQ(cards[0].area.width, 400);
    EXPECT_EQ(rc.named("draw_ellipse").size(), 6u);  // two per globe

    list->set_nodes(nodes(1000), true);
    list->scroll_to(64 * 500 + 32, false);
    rc.clear();
    root->paint(rc);
    cards = rc.named("fill_rounded_rect");
    ASSERT_EQ(cards.size(), 8u);  // 7 partly visible rows and the thumb
    EXPECT_FLOAT_EQ(cards[0].area.width, 388);
    EXPECT_FLOAT_EQ(cards[0].area.y, 96 - 32 + 2);

    // Latency texts: measured, unmeasured (message 13) and failed (message 20).
    std::vector<node_entry> mixed{{u"a", u"x", 120}, {u"b", u"x", latency_not_measured}, {u"c", u"x", latency_failed}};
    list->set_nodes(mixed, true);
    rc.clear();
    root->paint(rc);
    const auto texts = rc.named("draw_text");
    ASSERT_EQ(texts.size(), 9u);
    EXPECT_EQ(texts[2].text, u"120 ms");
    EXPECT_EQ(texts[5].text, std::u16string(localized_text(message_id::testing)));
    EXPECT_EQ(texts[8].text, std::u16string(localized_text(message_id::unavailable)));
    EXPECT_EQ(texts[6].color, palette::muted_text);  // failed node's name
}

TEST_F(list_fixture, flags_draw_as_svg_when_supported_and_fall_back_to_the_globe)
{
    rc.svg_present[1000 + 26 * ('j' - 'a') + ('p' - 'a')] = true;
    list->set_nodes({{u"Tokyo 1", u"VLESS", 50}, {u"\U0001F1F9\U0001F1FC relay", u"VLESS", 60}, {u"zz", u"VLESS", 70}},
                    true);
    rc.clear();
    root->paint(rc);
    EXPECT_EQ(rc.named("draw_svg").size(), 1u);
    EXPECT_EQ(list->flag_for(0), 1000 + 26 * 9 + 15);
    EXPECT_EQ(list->flag_for(1), 0);  // c, n resource absent here: globe
    EXPECT_EQ(rc.named("draw_ellipse").size(), 4u);

    // A backend without SVG: every flag is a globe.
    rc.svg_enabled = false;
    recording_context other;
    other.svg_enabled = false;
    root->paint(other);
    EXPECT_TRUE(other.named("draw_svg").empty());
    EXPECT_EQ(other.named("draw_ellipse").size(), 6u);

    // With SVG, a flag whose document does not load is drawn from its PNG twin when there is one.
    recording_context twins;
    twins.svg_present[flag_code(u'j', u'p')] = true;
    twins.png_sizes[flag_twin_id(flag_code(u'c', u'n'), 0)] = {26, 19};
    root->paint(twins);
    EXPECT_EQ(twins.named("draw_svg").size(), 1u);
    EXPECT_EQ(twins.named("draw_bitmap").size(), 1u);
    EXPECT_EQ(list->flag_for(1), flag_code(u'c', u'n'));
    EXPECT_EQ(twins.named("draw_ellipse").size(), 2u);  // only zz's globe
}

TEST_F(list_fixture, flags_without_svg_draw_the_png_twin_for_the_scale_in_force_and_names_lose_their_emoji_flag)
{
    const std::int32_t jp = flag_code(u'j', u'p');
    list->set_nodes({{u"\U0001F1EF\U0001F1F5 Tokyo 1", u"VLESS", 50}, {u"\U0001F1F9\U0001F1FC relay", u"VLESS", 60},
                     {u"Osaka \U0001F680", u"VLESS", 70}},
                    true);
    // 150 %: the 29-pixel twin (39 by 29), placed at its own aspect, full height, centred.
    recording_context at150;
    at150.svg_enabled = false;
    for (std::size_t k = 0; k < flag_twin_heights.size(); ++k) {
        const float h = static_cast<float>(flag_twin_heights[k]);
        at150.png_sizes[flag_twin_id(jp, k)] = {std::round(h * 4 / 3), h};
    }
    recording_context at300 = at150;
    at150.push_scale(1.5f, 1.5f);
    root->paint(at150);
    ASSERT_FALSE(at150.png_loads.empty());
    EXPECT_EQ(at150.png_loads.front(), flag_twin_id(jp, 1));
    EXPECT_EQ(flag_twin_id(jp, 1), jp + 2000);
    const auto bitmaps = at150.named("draw_bitmap");
    ASSERT_EQ(bitmaps.size(), 2u);  // Tokyo and Osaka; c, n has no twin here: a globe
    const float width = 19.0f * 39 / 29;
    EXPECT_FLOAT_EQ(bitmaps[0].area.width, width);
    EXPECT_FLOAT_EQ(bitmaps[0].area.height, 19);
    EXPECT_FLOAT_EQ(bitmaps[0].area.x, 20 + 14 + (28 - width) / 2);
    EXPECT_EQ(at150.named("draw_ellipse").size(), 2u);
    EXPECT_EQ(list->flag_for(0), jp);
    EXPECT_EQ(list->flag_for(1), 0);
    // The emoji pair and its space are not drawn; other emoji and keyword names stay as they are.
    const auto texts = at150.named("draw_text");
    ASSERT_EQ(texts.size(), 9u);
    EXPECT_EQ(texts[0].text, u"Tokyo 1");
    EXPECT_EQ(texts[3].text, u"relay");
    EXPECT_EQ(texts[6].text, u"Osaka \U0001F680");
    EXPECT_EQ(list->entries()[0].name, u"\U0001F1EF\U0001F1F5 Tokyo 1");  // the key is untouched

    // 300 % takes the largest twin; each twin is loaded once per context, misses included.
    at300.push_scale(3, 3);
    root->paint(at300);
    root->paint(at300);
    EXPECT_EQ(at300.png_loads.front(), flag_twin_id(jp, 3));
    EXPECT_EQ(at300.png_loads.size(), 2u);  // j, p and c, n at 300 %
}

class stack_fixture : public ::testing::Test {
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

TEST_F(stack_fixture, page_stack_cross_fades_and_no_page_takes_input_meanwhile)
{
    root->set_bounds(0, 0, 440, 600);
    auto* stack = root->emplace_child<page_stack>();
    auto* first = stack->emplace_child<page>();
    auto* second = stack->emplace_child<page>();
    auto* b = second->emplace_child<button>(u"Back", false);
    b->set_bounds(20, 20, 100, 40);
    int clicks = 0;
    b->on_click = [&] { ++clicks; };
    root->mount(rc);
    root->update(0);
    EXPECT_TRUE(first->visible());
    EXPECT_FALSE(second->visible());

    stack->show(1);
    root->update(0.1f);
    EXPECT_TRUE(first->visible());
    EXPECT_TRUE(second->visible());
    EXPECT_FALSE(first->enabled());
    EXPECT_FALSE(second->enabled());
    root->route_event(input_event::pointer(d2dui::input_kind::pointer_move, 50, 40));
    root->route_event(input_event::pointer(d2dui::input_kind::pointer_down, 50, 40));
    root->route_event(input_event::pointer(d2dui::input_kind::pointer_up, 50, 40));
    EXPECT_EQ(clicks, 0);
    stack->show(0);  // ignored while animating
    EXPECT_EQ(stack->current(), 1);
    rc.clear();
    root->paint(rc);
    // The old page fades out as the new one fades in: opacities 1 - v and v, v between 0 and 1.
    const float v = stack->transition();
    EXPECT_GT(v, 0.0f);
    EXPECT_LT(v, 1.0f);
    const auto layers = rc.named("push_opacity");
    ASSERT_GE(layers.size(), 2u);
    EXPECT_FLOAT_EQ(layers[0].value, 1 - v);
    EXPECT_FLOAT_EQ(layers[1].value, v);

    root->update(0.2f);
    EXPECT_FALSE(first->visible());
    EXPECT_TRUE(second->enabled());
    EXPECT_EQ(stack->previous(), -1);
    root->route_event(input_event::pointer(d2dui::input_kind::pointer_move, 51, 40));
    root->route_event(input_event::pointer(d2dui::input_kind::pointer_down, 51, 40));
    root->route_event(input_event::pointer(d2dui::input_kind::pointer_up, 51, 40));
    EXPECT_EQ(clicks, 1);
    stack->show(7);  // out of range
    EXPECT_EQ(stack->current(), 1);
}

// A disabled button draws at 0.4 opacity; a click's ripple is masked by the button's own rounded
// rectangle (radius 11), not by a polygon.
TEST_F(stack_fixture, disabled_buttons_are_dimmed_and_ripples_keep_to_the_rounded_corners)
{
    root->set_bounds(0, 0, 440, 600);
    auto* b = root->emplace_child<button>(u"Connect", true);
    b->set_bounds(20, 20, 200, 44);
    root->mount(rc);
    root->update(0);
    rc.clear();
    root->paint(rc);
    EXPECT_TRUE(rc.named("push_opacity").empty());
    b->set_enabled(false);
    rc.clear();
    root->paint(rc);
    const auto dimmed = rc.named("push_opacity");
    ASSERT_EQ(dimmed.size(), 1u);
    EXPECT_FLOAT_EQ(dimmed[0].value, 0.4f);

    b->set_enabled(true);
    root->route_event(input_event::pointer(d2dui::input_kind::pointer_move, 30, 30));
    root->route_event(input_event::pointer(d2dui::input_kind::pointer_down, 30, 30));
    root->route_event(input_event::pointer(d2dui::input_kind::pointer_up, 30, 30));
    root->update(0.05f);
    ASSERT_FALSE(b->ripples().empty());
    rc.clear();
    root->paint(rc);
    EXPECT_TRUE(rc.named("push_path_layer").empty());
    const auto masks = rc.named("push_layer");
    ASSERT_EQ(masks.size(), 1u);
    EXPECT_EQ(masks[0].area, b->area());
    EXPECT_FLOAT_EQ(masks[0].value, 11);
    EXPECT_FALSE(rc.named("fill_circle").empty());
}

TEST_F(stack_fixture, svg_button_without_svg_support_draws_its_png_twin_and_rejected_svg_is_an_error)
{
    root->set_bounds(0, 0, 440, 600);
    rc.svg_enabled = false;
    rc.png_sizes[504] = {28, 28};
    auto* refresh = root->emplace_child<svg_button>(502, true, 504);
    refresh->set_bounds(376, 494, 44, 44);
    root->mount(rc);  // no throw where SVG is unsupported
    EXPECT_TRUE(refresh->has_icon());
    refresh->spinning = true;
    root->update(0.5f);
    EXPECT_FLOAT_EQ(refresh->angle, 120);
    rc.clear();
    root->paint(rc);
    const auto bitmaps = rc.named("draw_bitmap");
    ASSERT_EQ(bitmaps.size(), 1u);
    // Drawn at (0, 0, 14, 14) inside a translation to the centred 14-DIP box.
    EXPECT_NEAR(bitmaps[0].transform.apply({7, 7}).x, 376 + 22, 1e-3);
    EXPECT_NEAR(bitmaps[0].transform.apply({7, 7}).y, 494 + 22, 1e-3);

    // Where SVG is supported, a resource the backend cannot load is a set-up error.
    recording_context capable;
    auto other = std::make_unique<d2dui::widget>();
    other->emplace_child<svg_button>(501, false, 503);
    EXPECT_THROW(other->mount(capable), std::runtime_error);
}

TEST_F(stack_fixture, screens_build_and_lay_out_for_the_window)
{
    rc.svg_present[501] = rc.svg_present[502] = true;
    for (int id : {110, 111, 112, 120}) {
        rc.png_sizes[id] = {28, 28};
    }
    root->set_bounds(0, 0, 440, 600);
    screens s;
    int closes = 0;
    screen_actions actions;
    actions.request_close = [&] { ++closes; };
    build_screens(*root, s, actions, true);
    root->mount(rc);
    layout_controls(s, 440, 600);
    root->update(0);
    EXPECT_EQ(s.nodes->area(), (d2dui::rect{20, 96, 400, 386}));
    EXPECT_EQ(s.languages[2]->area(), (d2dui::rect{40 + 2 * (344.0f / 3 + 8), 260, 344.0f / 3, 40}));
    EXPECT_EQ(s.back->area(), (d2dui::rect{226, 496, 194, 44}));
    EXPECT_TRUE(s.tun->value());
    EXPECT_FALSE(s.settings_page->visible());

    // The title strip is filled across the window's width, whatever it is.
    layout_controls(s, 700, 600);
    rc.clear();
    root->paint(rc);
    bool strip = false;
    for (const auto& op : rc.named("fill_rect")) {
        strip = strip || (op.area == d2dui::rect{0, 0, 700, 44});
    }
    EXPECT_TRUE(strip);

    // A short work area (1280 x 720 at 125 %, 672 pixels above the taskbar: 537.6 DIPs) and the
    // least height the window takes: the list gives up rows, the bottom row stays in the window
    // and no settings row meets the bottom buttons.
    for (const float h : {672 / 1.25f, min_window_height}) {
        SCOPED_TRACE(h);
        layout_controls(s, 440, h);
        const d2dui::rect& list = s.nodes->area();
        EXPECT_EQ(list.y, 96);
        EXPECT_LE(list.y + list.height + 12, s.primary->area().y);
        EXPECT_GE(list.height, 4 * node_list::row_pitch);  // still several rows
        EXPECT_LE(s.tun->area().y + s.tun->area().height, h);
        EXPECT_LE(s.primary->area().y + s.primary->area().height, h);
        EXPECT_LE(s.option->area().y + s.option->area().height, s.save->area().y);
        EXPECT_LE(s.languages[0]->area().y + s.languages[0]->area().height, s.option->area().y);
    }
    layout_controls(s, 700, 600);

    root->route_event(input_event::pointer(d2dui::input_kind::pointer_move, 700 - 440 + 410, 20));
    root->route_event(input_event::pointer(d2dui::input_kind::pointer_move, 410, 20));
    root->route_event(input_event::pointer(d2dui::input_kind::pointer_down, 410, 20));
    root->route_event(input_event::pointer(d2dui::input_kind::pointer_up, 410, 20));
    EXPECT_EQ(closes, 1);
}

// Names, subtitles and button labels stay on one line and end with an ellipsis when cut; the
// status and error lines may take two lines of their box.
TEST_F(stack_fixture, long_texts_ask_for_one_line_or_two_with_an_ellipsis)
{
    rc.svg_present[501] = rc.svg_present[502] = true;
    for (int id : {110, 111, 112, 120}) {
        rc.png_sizes[id] = {28, 28};
    }
    root->set_bounds(0, 0, 440, 600);
    screens s;
    build_screens(*root, s, {}, false);
    root->mount(rc);
    s.nodes->flag_exists = [](std::int32_t) { return false; };
    const std::u16string long_name(90, u'N');
    s.nodes->set_nodes({{long_name, std::u16string(70, u'S'), 40}}, true);
    s.texts.status = std::u16string(80, u'e');
    s.texts.error_line = std::u16string(120, u'x');
    layout_controls(s, 440, 600);
    root->update(0);
    const auto fit_of = [&](const std::u16string& text) {
        for (const auto& op : rc.named("draw_text")) {
            if (op.text == text) {
                return static_cast<int>(op.fit);
            }
        }
        ADD_FAILURE() << "not drawn";
        return -1;
    };
    const int one = static_cast<int>(d2dui::text_fit::one_line);
    const int two = static_cast<int>(d2dui::text_fit::two_lines);
    rc.clear();
    root->paint(rc);
    EXPECT_EQ(fit_of(long_name), one);
    EXPECT_EQ(fit_of(std::u16string(70, u'S')), one);
    EXPECT_EQ(fit_of(localized_text(message_id::connect)), one);
    EXPECT_EQ(fit_of(s.texts.status), two);
    // The status box is centred where the one-line status stood (61 + 24 / 2).
    for (const auto& op : rc.named("draw_text")) {
        if (op.text == s.texts.status) {
            EXPECT_FLOAT_EQ(op.area.y + op.area.height / 2, 73);
            EXPECT_GE(op.area.height, 2 * 11 * 1.25f);
        }
    }

    s.settings_page->set_visible(true);
    rc.clear();
    s.settings_page->paint(rc);
    EXPECT_EQ(fit_of(s.texts.error_line), two);
    EXPECT_EQ(fit_of(localized_text(message_id::save)), one);
    EXPECT_EQ(fit_of(localized_text(message_id::back)), one);
}

}  // namespace
}  // namespace pelto::ui
