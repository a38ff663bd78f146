#pragma once
// The retained widget tree and its input rules.
//
// Widgets are placed by absolute rectangles in DIPs (window coordinates); a parent owns its
// children and paints them after itself, first to last (the last is topmost). The window routes
// every input event into the root; the root tracks the hovered and the focused widget (one window
// per process, so that state is process-wide) and offers each event to the visible, enabled
// widgets from the topmost down until one handles it.
//
// Threads: every operation runs on the UI thread, except `queue_add` / `queue_remove`, which any
// thread may call; the queues are applied at the widget's next `update`.
//
// Held input state is released on cancel: a keyboard cancel event (focus or capture loss, close),
// hiding or disabling a subtree, and unmounting all call `cancel_input` on the widgets concerned,
// so nothing stays pressed where no release can reach it.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "d2dui/geometry.h"
#include "d2dui/input.h"
#include "d2dui/render_context.h"

namespace d2dui {

class widget;

// Process-wide input state.
struct input_state {
    widget* hovered_widget = nullptr;
    widget* focused_widget = nullptr;
    // The focus was last moved by the keyboard (Tab): the focused widget shows its focus ring. A
    // left click clears it, so focus that follows a click shows none.
    bool focus_by_keyboard = false;
    point last_pointer{9999999.0f, 9999999.0f};
};
input_state& input();

// The colour of every focus ring (the application sets its accent).
inline color focus_ring_color{1, 1, 1, 0.7f};

class widget {
public:
    widget() = default;
    virtual ~widget();
    widget(const widget&) = delete;
    widget& operator=(const widget&) = delete;

    bool reserved = false;
    bool drag_region = false;   // in the title strip, a hit here moves the window
    bool overflow_hit = false;  // hit-test children even outside this widget's rectangle
    bool focusable = false;
    int cursor = 0;             // cursor kind shown while hovered

    virtual void paint(render_context& rc);
    virtual void send_event(const input_event& e);
    virtual bool route_event(const input_event& e);
    virtual void update(float dt);
    virtual widget* hit_test(point p);
    virtual bool contains(point p) const;
    virtual void set_size(float width, float height);
    virtual void on_focus() {}
    virtual void on_blur() {}
    virtual std::u16string type_name() const { return {}; }

    void set_bounds(float x, float y, float width, float height);
    void set_bounds(const rect& r) { set_bounds(r.x, r.y, r.width, r.height); }
    const rect& bounds() const { return bounds_; }
    const rect& area() const { return rect_; }

    bool visible() const { return visible_; }
    bool enabled() const { return enabled_; }
    // Hiding or disabling cancels the held input state of the whole subtree.
    void set_visible(bool value);
    void set_enabled(bool value);

    widget* parent() const { return parent_; }
    const std::vector<std::unique_ptr<widget>>& children() const { return children_; }
    render_context* context() const { return context_; }
    bool mounted() const { return mounted_; }

    // Attaches at once (UI thread): sets the parent, mounts the child when this widget is mounted,
    // appends it and calls `on_child_added`. Returns the child.
    widget* add_child(std::unique_ptr<widget> child);
    template <typename W, typename... Args>
    W* emplace_child(Args&&... args)
    {
        return static_cast<W*>(add_child(std::make_unique<W>(std::forward<Args>(args)...)));
    }
    // Queue an addition or a removal for the next `update` (any thread). A queued removal of a
    // widget that is not a child by then is ignored.
    void queue_add(std::unique_ptr<widget> child);
    void queue_remove(widget* child);

    void mount(render_context& rc);
    void unmount();

    // Releases held input state (pressed buttons, drags) of this widget and its whole subtree,
    // visible or not.
    void cancel_subtree();

    static void set_focus(widget* w);
    // Tab order: moves the focus to the next (or previous) visible, enabled, focusable widget in
    // tree order. Hidden or disabled widgets hide their whole subtree.
    static void focus_next(widget* root, widget* current, bool backwards);
    // Cursor kind of the hovered widget, 0 (arrow) when nothing is hovered.
    static int hovered_cursor();

protected:
    virtual void on_paint(render_context&) {}
    virtual void paint_children(render_context& rc);
    virtual bool on_event(const input_event&) { return false; }
    virtual void on_update(float) {}
    virtual void update_children(float dt);
    virtual void on_mount() {}
    virtual void on_unmount() {}
    virtual bool route_to_children(const input_event& e);
    virtual widget* hit_test_children(point p);
    virtual void on_child_added(widget*) {}
    virtual void on_paint_after(render_context&) {}
    // The focus ring, drawn after the children while this widget has the focus by keyboard: a
    // 2-DIP outline 3 DIPs outside `area()`, its corners `focus_ring_radius()` + 3.
    virtual void paint_focus_ring(render_context& rc);
    virtual float focus_ring_radius() const { return 4; }
    // Drops held input state of this widget only; `cancel_subtree` calls it everywhere.
    virtual void cancel_input() {}

private:
    void route_pointer_at_root(const input_event& e);
    void apply_queues();

    bool visible_ = true;
    bool enabled_ = true;
    widget* parent_ = nullptr;
    std::vector<std::unique_ptr<widget>> children_;
    std::mutex queue_mutex_;
    std::vector<std::unique_ptr<widget>> to_add_;
    std::vector<widget*> to_remove_;
    rect bounds_;
    rect rect_;
    render_context* context_ = nullptr;
    bool mounted_ = false;
};

// Moves the hover to the widget under `p` in `root`'s tree, sending leave to the old and enter to
// the new one when they differ.
void update_hover(widget& root, point p);

// A widget with hover, press and click handling for the left button and a right click.
class clickable_widget : public widget {
public:
    std::function<void()> on_click;
    std::function<void()> on_right_click;
    std::function<void(bool)> on_hover;

    bool hovered() const { return hovered_; }
    bool pressed() const { return pressed_; }

protected:
    bool on_event(const input_event& e) override;
    void cancel_input() override { pressed_ = false; }

private:
    bool hovered_ = false;
    bool pressed_ = false;
};

}  // namespace d2dui
