#include "d2dui/widget.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/recording_context.h"

namespace d2dui {
namespace {

using pelto::testing::recording_context;

// Records what reaches it; optionally handles events.
class probe : public widget {
public:
    std::vector<std::string>* log = nullptr;
    std::string name;
    bool handles = false;
    int enters = 0, leaves = 0, focuses = 0, blurs = 0;

protected:
    bool on_event(const input_event& e) override
    {
        if (e.kind == input_kind::pointer_enter && !e.is_keyboard) {
            ++enters;
        } else if (e.kind == input_kind::pointer_leave && !e.is_keyboard) {
            ++leaves;
        } else if (log != nullptr) {
            log->push_back(name);
        }
        return handles;
    }
    void on_focus() override { ++focuses; }
    void on_blur() override { ++blurs; }
    void on_paint(render_context& rc) override { rc.fill_rect(area(), {}); }
};

class button : public clickable_widget {
public:
    int clicks = 0, right_clicks = 0;
    button()
    {
        on_click = [this] { ++clicks; };
        on_right_click = [this] { ++right_clicks; };
    }
};

class widget_tree : public ::testing::Test {
protected:
    void SetUp() override { input() = {}; }
    void TearDown() override
    {
        root.reset();
        input() = {};
    }

    // Root 400x300 at the origin, mounted.
    void make_root()
    {
        root = std::make_unique<widget>();
        root->set_bounds(0, 0, 400, 300);
        root->mount(rc);
    }
    template <typename W>
    W* add(widget* parent, rect r)
    {
        auto* w = parent->emplace_child<W>();
        w->set_bounds(r);
        return w;
    }
    void move(float x, float y) { root->route_event(input_event::pointer(input_kind::pointer_move, x, y)); }
    bool down(float x, float y, int b = button_left) { return root->route_event(input_event::pointer(input_kind::pointer_down, x, y, b)); }
    bool up(float x, float y, int b = button_left) { return root->route_event(input_event::pointer(input_kind::pointer_up, x, y, b)); }
    void click(float x, float y)
    {
        move(x, y);
        down(x, y);
        up(x, y);
    }

    recording_context rc;
    std::unique_ptr<widget> root;
};

TEST_F(widget_tree, hit_test_takes_the_topmost_live_widget_with_inclusive_edges)
{
    make_root();
    auto* below = add<probe>(root.get(), {10, 10, 100, 100});
    auto* above = add<probe>(root.get(), {50, 50, 100, 100});
    auto* inner = add<probe>(below, {20, 20, 10, 10});

    EXPECT_EQ(root->hit_test({110, 110}), above);  // overlap: the last child wins
    EXPECT_EQ(root->hit_test({150, 150}), above);                               // bottom-right corner, inclusive
    EXPECT_EQ(root->hit_test({151, 150}), root.get());
    EXPECT_EQ(root->hit_test({25, 25}), inner);
    EXPECT_EQ(root->hit_test({401, 10}), nullptr);

    above->set_enabled(false);
    EXPECT_EQ(root->hit_test({110, 110}), below);  // disabled: the one below
    below->set_visible(false);
    EXPECT_EQ(root->hit_test({110, 110}), root.get());

    // A child sticking out of its parent is reached only with overflow_hit.
    auto* host = add<probe>(root.get(), {300, 0, 50, 50});
    auto* outside = add<probe>(host, {300, 100, 20, 20});
    EXPECT_EQ(root->hit_test({310, 110}), root.get());
    host->overflow_hit = true;
    EXPECT_EQ(root->hit_test({310, 110}), outside);
}

TEST_F(widget_tree, routing_offers_events_topmost_first_until_handled)
{
    make_root();
    std::vector<std::string> log;
    auto* a = add<probe>(root.get(), {0, 0, 50, 50});
    auto* b = add<probe>(root.get(), {0, 0, 50, 50});
    auto* b_child = add<probe>(b, {0, 0, 10, 10});
    for (auto [w, n] : {std::pair{a, "a"}, {b, "b"}, {b_child, "b_child"}}) {
        w->log = &log;
        w->name = n;
    }
    EXPECT_FALSE(root->route_event(input_event::keyboard(input_kind::key_down, 'A')));
    EXPECT_EQ(log, (std::vector<std::string>{"b_child", "b", "a"}));

    log.clear();
    b->handles = true;
    EXPECT_TRUE(root->route_event(input_event::keyboard(input_kind::key_down, 'A')));
    EXPECT_EQ(log, (std::vector<std::string>{"b_child", "b"}));

    log.clear();
    b->set_enabled(false);
    root->route_event(input_event::keyboard(input_kind::key_down, 'A'));
    EXPECT_EQ(log, (std::vector<std::string>{"a"}));
}

TEST_F(widget_tree, hover_moves_with_enter_and_leave_and_leaves_on_the_far_point)
{
    make_root();
    auto* a = add<probe>(root.get(), {0, 0, 50, 50});
    auto* b = add<probe>(root.get(), {100, 0, 50, 50});
    move(10, 10);
    EXPECT_EQ(input().hovered_widget, a);
    move(20, 20);  // same widget: no repeat
    EXPECT_EQ(a->enters, 1);
    move(110, 10);
    EXPECT_EQ(a->leaves, 1);
    EXPECT_EQ(b->enters, 1);
    EXPECT_EQ(input().hovered_widget, b);
    move(9999999, 9999999);  // the pointer left the window
    EXPECT_EQ(b->leaves, 1);
    EXPECT_EQ(input().hovered_widget, nullptr);
    EXPECT_EQ(widget::hovered_cursor(), 0);
    b->cursor = 1;
    move(110, 10);
    EXPECT_EQ(widget::hovered_cursor(), 1);
}

TEST_F(widget_tree, click_needs_press_and_release_while_hovered)
{
    make_root();
    auto* btn = add<button>(root.get(), {10, 10, 80, 30});
    std::vector<bool> hovers;
    btn->on_hover = [&](bool h) { hovers.push_back(h); };

    click(20, 20);
    EXPECT_EQ(btn->clicks, 1);
    EXPECT_EQ(hovers, (std::vector<bool>{true}));

    // Release outside: press ends, no click, the release is still reported handled.
    down(20, 20);
    EXPECT_TRUE(btn->pressed());
    move(200, 200);
    EXPECT_FALSE(btn->pressed());  // leaving clears the press
    EXPECT_FALSE(down(200, 200));
    move(20, 20);
    EXPECT_FALSE(up(20, 20));  // not pressed any more: no click, not handled
    EXPECT_EQ(btn->clicks, 1);

    // Press, then release while the press is held but the pointer is elsewhere in the button.
    down(20, 20);
    EXPECT_TRUE(up(30, 25));
    EXPECT_EQ(btn->clicks, 2);

    // A press that began outside does not click on release over the button.
    move(200, 200);
    down(200, 200);
    move(20, 20);
    EXPECT_FALSE(up(20, 20));
    EXPECT_EQ(btn->clicks, 2);

    // Right click.
    EXPECT_TRUE(down(20, 20, button_right));
    EXPECT_TRUE(up(20, 20, button_right));
    EXPECT_EQ(btn->right_clicks, 1);
    btn->on_hover = nullptr;  // `hovers` ends before the tree does
}

TEST_F(widget_tree, a_cancel_disable_hide_or_unmount_ends_the_press)
{
    make_root();
    auto* page = add<widget>(root.get(), {0, 0, 400, 300});
    auto* btn = add<button>(page, {10, 10, 80, 30});

    // Focus or capture loss: the window sends a keyboard cancel.
    move(20, 20);
    down(20, 20);
    root->route_event(input_event::keyboard(input_kind::key_cancel));
    EXPECT_FALSE(btn->pressed());
    up(20, 20);
    EXPECT_EQ(btn->clicks, 0);

    // Disabled while pressed, enabled again: the later release must not click.
    down(20, 20);
    btn->set_enabled(false);
    btn->set_enabled(true);
    EXPECT_FALSE(btn->pressed());
    up(20, 20);
    EXPECT_EQ(btn->clicks, 0);

    // The page hidden while the button is pressed; a cancel on the window reaches hidden
    // subtrees as well.
    down(20, 20);
    page->set_visible(false);
    page->set_visible(true);
    up(20, 20);
    EXPECT_EQ(btn->clicks, 0);

    // Unmounted while pressed.
    down(20, 20);
    btn->unmount();
    EXPECT_FALSE(btn->pressed());

    // Sanity: an ordinary click still works after all that.
    btn->mount(rc);
    move(200, 200);
    click(20, 20);
    EXPECT_EQ(btn->clicks, 1);
}

TEST_F(widget_tree, the_focus_ring_shows_after_tab_and_not_after_a_click)
{
    make_root();
    auto* a = add<probe>(root.get(), {10, 10, 100, 40});
    auto* b = add<probe>(root.get(), {10, 60, 100, 40});
    a->focusable = b->focusable = true;
    auto rings = [&] {
        rc.clear();
        root->paint(rc);
        return rc.named("draw_rounded_rect");
    };
    EXPECT_TRUE(rings().empty());  // no focus

    widget::focus_next(root.get(), input().focused_widget, false);  // Tab
    ASSERT_EQ(input().focused_widget, a);
    auto drawn = rings();
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_EQ(drawn[0].area, (rect{7, 7, 106, 46}));  // 3 DIPs outside the widget
    EXPECT_FLOAT_EQ(drawn[0].value, 4 + 3);
    EXPECT_EQ(drawn[0].color, focus_ring_color);
    // Drawn over the widget's own painting.
    std::size_t own = rc.ops.size(), ring = rc.ops.size();
    for (std::size_t i = 0; i < rc.ops.size(); ++i) {
        if (rc.ops[i].area == a->area() && own == rc.ops.size()) {
            own = i;
        }
        if (rc.ops[i].name == "draw_rounded_rect") {
            ring = i;
        }
    }
    EXPECT_LT(own, ring);

    // A click moves the focus without a ring, also a click on the focused widget itself.
    root->route_event(input_event::pointer(input_kind::pointer_down, 50, 80));
    root->route_event(input_event::pointer(input_kind::pointer_up, 50, 80));
    EXPECT_EQ(input().focused_widget, b);
    EXPECT_TRUE(rings().empty());
    widget::focus_next(root.get(), input().focused_widget, true);  // Shift+Tab
    EXPECT_EQ(input().focused_widget, a);
    ASSERT_EQ(rings().size(), 1u);
    root->route_event(input_event::pointer(input_kind::pointer_down, 50, 30));
    EXPECT_EQ(input().focused_widget, a);
    EXPECT_TRUE(rings().empty());

    // Hidden: neither the widget nor its ring.
    widget::focus_next(root.get(), b, false);
    ASSERT_EQ(input().focused_widget, a);
    a->set_visible(false);
    EXPECT_TRUE(rings().empty());
}

TEST_F(widget_tree, tab_order_skips_hidden_pages_and_disabled_subtrees)
{
    make_root();
    auto* page_a = add<widget>(root.get(), {0, 0, 400, 300});
    auto* page_b = add<widget>(root.get(), {0, 0, 400, 300});
    auto* a1 = add<probe>(page_a, {0, 0, 10, 10});
    auto* a2 = add<probe>(page_a, {20, 0, 10, 10});
    auto* b1 = add<probe>(page_b, {0, 0, 10, 10});
    auto* group = add<widget>(page_b, {0, 0, 100, 100});
    auto* g1 = add<probe>(group, {0, 0, 10, 10});
    for (probe* p : {a1, a2, b1, g1}) {
        p->focusable = true;
    }
    page_b->set_visible(false);  // the page is hidden, its children are not

    widget::focus_next(root.get(), nullptr, false);
    EXPECT_EQ(input().focused_widget, a1);
    widget::focus_next(root.get(), a1, false);
    EXPECT_EQ(input().focused_widget, a2);
    widget::focus_next(root.get(), a2, false);
    EXPECT_EQ(input().focused_widget, a1);  // wraps without visiting page b
    widget::focus_next(root.get(), a1, true);
    EXPECT_EQ(input().focused_widget, a2);  // Shift+Tab from the first: the last
    EXPECT_EQ(a1->blurs, 2);

    page_a->set_visible(false);
    page_b->set_visible(true);
    group->set_enabled(false);
    widget::focus_next(root.get(), input().focused_widget, false);  // current not in the list
    EXPECT_EQ(input().focused_widget, b1);
    widget::focus_next(root.get(), b1, false);
    EXPECT_EQ(input().focused_widget, b1);  // g1's subtree is disabled

    // Nothing happens when the traversal root itself is hidden.
    page_b->set_visible(false);
    widget::focus_next(page_b, b1, false);
    EXPECT_EQ(input().focused_widget, b1);
}

TEST_F(widget_tree, left_press_focuses_the_nearest_focusable_ancestor)
{
    make_root();
    auto* box = add<probe>(root.get(), {0, 0, 100, 100});
    box->focusable = true;
    auto* label = add<probe>(box, {10, 10, 20, 20});
    down(15, 15);
    EXPECT_EQ(input().focused_widget, box);
    EXPECT_EQ(box->focuses, 1);
    down(15, 15, button_right);  // other buttons do not move focus
    down(300, 200);
    EXPECT_EQ(input().focused_widget, nullptr);
    EXPECT_EQ(box->blurs, 1);
    (void)label;
}

TEST_F(widget_tree, queues_apply_at_update_and_removal_leaves_hover_first)
{
    make_root();
    auto* keep = add<probe>(root.get(), {0, 0, 400, 300});
    auto fresh = std::make_unique<probe>();
    fresh->set_bounds(10, 10, 50, 50);
    probe* added = fresh.get();
    move(20, 20);
    EXPECT_EQ(input().hovered_widget, keep);

    root->queue_add(std::move(fresh));
    EXPECT_EQ(root->children().size(), 1u);  // not before the update
    root->update(0.016f);
    ASSERT_EQ(root->children().size(), 2u);
    EXPECT_TRUE(added->mounted());
    EXPECT_EQ(added->parent(), root.get());
    EXPECT_EQ(input().hovered_widget, added);  // re-hit-tested at the last pointer
    EXPECT_EQ(keep->leaves, 1);

    // Removal of the hovered widget: leave first, then destroyed; hover falls back below.
    int leaves_seen = 0;
    struct watcher : probe {
        int* seen = nullptr;
        ~watcher() override { *seen = leaves; }
    };
    auto w = std::make_unique<watcher>();
    w->seen = &leaves_seen;
    w->set_bounds(10, 10, 50, 50);
    watcher* hovered = w.get();
    root->queue_add(std::move(w));
    root->update(0);
    EXPECT_EQ(input().hovered_widget, hovered);
    root->queue_remove(hovered);
    root->queue_remove(nullptr);  // not a child: ignored
    root->update(0);
    EXPECT_EQ(leaves_seen, 1);
    EXPECT_EQ(root->children().size(), 2u);
    EXPECT_EQ(input().hovered_widget, added);

    // Unmounting a focused widget clears focus without a blur.
    widget::set_focus(added);
    added->unmount();
    EXPECT_EQ(input().focused_widget, nullptr);
    EXPECT_EQ(added->blurs, 0);
}

TEST_F(widget_tree, paint_goes_parent_then_children_and_skips_hidden)
{
    make_root();
    auto* a = add<probe>(root.get(), {1, 0, 10, 10});
    auto* a_child = add<probe>(a, {2, 0, 10, 10});
    auto* b = add<probe>(root.get(), {3, 0, 10, 10});
    root->paint(rc);
    auto fills = rc.named("fill_rect");
    ASSERT_EQ(fills.size(), 3u);
    EXPECT_EQ(fills[0].area.x, 1);
    EXPECT_EQ(fills[1].area.x, 2);
    EXPECT_EQ(fills[2].area.x, 3);

    rc.clear();
    a->set_visible(false);
    root->paint(rc);
    ASSERT_EQ(rc.named("fill_rect").size(), 1u);
    EXPECT_EQ(rc.named("fill_rect")[0].area.x, 3);
    (void)a_child;
    (void)b;
}

TEST_F(widget_tree, mount_reaches_children_added_later_and_set_bounds_sets_both_rects)
{
    auto parent = std::make_unique<widget>();
    auto* early = parent->emplace_child<widget>();
    EXPECT_FALSE(early->mounted());
    parent->mount(rc);
    EXPECT_TRUE(early->mounted());
    EXPECT_EQ(early->context(), &rc);
    auto* late = parent->emplace_child<widget>();
    EXPECT_TRUE(late->mounted());
    late->set_bounds(1, 2, 3, 4);
    EXPECT_EQ(late->bounds(), (rect{1, 2, 3, 4}));
    EXPECT_EQ(late->area(), (rect{1, 2, 3, 4}));
    late->set_size(30, 40);
    EXPECT_EQ(late->area(), (rect{1, 2, 30, 40}));
    parent->unmount();
    EXPECT_FALSE(late->mounted());
    EXPECT_EQ(late->parent(), parent.get());  // still owned: remount works through the same links
    parent->mount(rc);
    EXPECT_TRUE(late->mounted());
}

}  // namespace
}  // namespace d2dui
