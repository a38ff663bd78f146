#include "d2dui/widget.h"

#include <algorithm>

namespace d2dui {

input_state& input()
{
    static input_state state;
    return state;
}

namespace {

bool live(const widget* w)
{
    return w->visible() && w->enabled();
}

void collect_focusable(widget* w, std::vector<widget*>& out)
{
    if (!live(w)) {
        return;  // a hidden page hides its children too
    }
    if (w->focusable) {
        out.push_back(w);
    }
    for (const auto& child : w->children()) {
        collect_focusable(child.get(), out);
    }
}

}  // namespace

widget::~widget()
{
    if (mounted_) {
        unmount();
    }
    input_state& in = input();
    if (in.hovered_widget == this) {
        in.hovered_widget = nullptr;
    }
    if (in.focused_widget == this) {
        in.focused_widget = nullptr;
    }
    // Children go before the queues are torn down; both are owned, nothing else to release.
}

void widget::paint(render_context& rc)
{
    if (!visible_) {
        return;
    }
    on_paint(rc);
    on_paint_after(rc);
    paint_children(rc);
    const input_state& in = input();
    if (in.focused_widget == this && in.focus_by_keyboard) {
        paint_focus_ring(rc);
    }
}

void widget::paint_focus_ring(render_context& rc)
{
    constexpr float gap = 3;
    const rect& r = area();
    rc.draw_rounded_rect({r.x - gap, r.y - gap, r.width + 2 * gap, r.height + 2 * gap}, focus_ring_radius() + gap,
                         focus_ring_color, 2);
}

void widget::paint_children(render_context& rc)
{
    for (const auto& child : children_) {
        child->paint(rc);
    }
}

void widget::send_event(const input_event& e)
{
    input_event copy = e;
    copy.is_keyboard = false;
    on_event(copy);
}

bool widget::route_event(const input_event& e)
{
    if (!live(this)) {
        return false;
    }
    if (parent_ == nullptr) {
        if (e.is_keyboard && e.kind == input_kind::key_cancel) {
            cancel_subtree();
        } else if (!e.is_keyboard) {
            route_pointer_at_root(e);
        }
    }
    if (route_to_children(e)) {
        return true;
    }
    return on_event(e);
}

void widget::route_pointer_at_root(const input_event& e)
{
    if (e.kind == input_kind::pointer_move) {
        input().last_pointer = {e.x, e.y};
        update_hover(*this, {e.x, e.y});
    } else if (e.kind == input_kind::pointer_down && e.button == button_left) {
        widget* target = hit_test({e.x, e.y});
        while (target != nullptr && !target->focusable) {
            target = target->parent_;
        }
        input().focus_by_keyboard = false;
        set_focus(target);
    }
}

bool widget::route_to_children(const input_event& e)
{
    // Index-based: a handler may add children (appended) while we walk.
    for (std::size_t i = children_.size(); i-- > 0;) {
        if (i >= children_.size()) {
            continue;
        }
        widget* child = children_[i].get();
        if (live(child) && child->route_event(e)) {
            return true;
        }
    }
    return false;
}

void update_hover(widget& root, point p)
{
    widget* now = root.hit_test(p);
    input_state& in = input();
    widget* before = in.hovered_widget;
    if (now == before) {
        return;
    }
    in.hovered_widget = now;
    if (before != nullptr) {
        before->send_event(input_event::pointer(input_kind::pointer_leave, p.x, p.y));
    }
    if (now != nullptr) {
        now->send_event(input_event::pointer(input_kind::pointer_enter, p.x, p.y));
    }
}

void widget::update(float dt)
{
    const bool changed = [&] {
        std::lock_guard lock(queue_mutex_);
        return !to_add_.empty() || !to_remove_.empty();
    }();
    if (changed) {
        apply_queues();
        if (parent_ == nullptr && mounted_) {
            update_hover(*this, input().last_pointer);
        }
    }
    on_update(dt);
    update_children(dt);
}

void widget::apply_queues()
{
    std::vector<std::unique_ptr<widget>> adding;
    std::vector<widget*> removing;
    {
        std::lock_guard lock(queue_mutex_);
        adding.swap(to_add_);
        removing.swap(to_remove_);
    }
    for (auto& child : adding) {
        add_child(std::move(child));
    }
    for (widget* doomed : removing) {
        auto it = std::find_if(children_.begin(), children_.end(),
                               [&](const std::unique_ptr<widget>& c) { return c.get() == doomed; });
        if (it == children_.end()) {
            continue;
        }
        std::unique_ptr<widget> owned = std::move(*it);
        children_.erase(it);
        if (owned->mounted_) {
            owned->unmount();  // sends leave when hovered
        }
        owned->parent_ = nullptr;
    }
}

void widget::update_children(float dt)
{
    for (std::size_t i = 0; i < children_.size(); ++i) {
        if (children_[i]->visible_) {
            children_[i]->update(dt);
        }
    }
}

widget* widget::hit_test(point p)
{
    if (!overflow_hit && !rect_.contains(p)) {
        return nullptr;
    }
    if (widget* hit = hit_test_children(p)) {
        return hit;
    }
    return contains(p) ? this : nullptr;
}

widget* widget::hit_test_children(point p)
{
    for (std::size_t i = children_.size(); i-- > 0;) {
        widget* child = children_[i].get();
        if (!live(child)) {
            continue;
        }
        if (widget* hit = child->hit_test(p)) {
            return hit;
        }
    }
    return nullptr;
}

bool widget::contains(point p) const
{
    return rect_.contains(p);
}

void widget::set_size(float width, float height)
{
    if (bounds_.width != width || bounds_.height != height) {
        bounds_.width = rect_.width = width;
        bounds_.height = rect_.height = height;
    }
}

void widget::set_bounds(float x, float y, float width, float height)
{
    const rect r{x, y, width, height};
    if (!(r == bounds_)) {
        bounds_ = r;
        rect_ = r;
    }
}

void widget::set_visible(bool value)
{
    if (visible_ == value) {
        return;
    }
    visible_ = value;
    if (!value) {
        cancel_subtree();
    }
}

void widget::set_enabled(bool value)
{
    if (enabled_ == value) {
        return;
    }
    enabled_ = value;
    if (!value) {
        cancel_subtree();
    }
}

widget* widget::add_child(std::unique_ptr<widget> child)
{
    widget* raw = child.get();
    raw->parent_ = this;
    if (mounted_ && context_ != nullptr) {
        raw->mount(*context_);
    }
    children_.push_back(std::move(child));
    on_child_added(raw);
    return raw;
}

void widget::queue_add(std::unique_ptr<widget> child)
{
    std::lock_guard lock(queue_mutex_);
    to_add_.push_back(std::move(child));
}

void widget::queue_remove(widget* child)
{
    std::lock_guard lock(queue_mutex_);
    to_remove_.push_back(child);
}

void widget::mount(render_context& rc)
{
    if (mounted_) {
        return;
    }
    mounted_ = true;
    context_ = &rc;
    on_mount();
    for (const auto& child : children_) {
        child->mount(rc);
    }
}

void widget::unmount()
{
    if (!mounted_) {
        return;
    }
    input_state& in = input();
    if (in.hovered_widget == this) {
        send_event(input_event::pointer(input_kind::pointer_leave, in.last_pointer.x, in.last_pointer.y));
        in.hovered_widget = nullptr;
    }
    if (in.focused_widget == this) {
        in.focused_widget = nullptr;
    }
    cancel_input();
    mounted_ = false;
    for (const auto& child : children_) {
        child->unmount();
    }
    on_unmount();
    // The parent link stays while the parent still owns this widget (a remount needs it); a
    // removal clears it.
    context_ = nullptr;
}

void widget::cancel_subtree()
{
    cancel_input();
    for (const auto& child : children_) {
        child->cancel_subtree();
    }
}

void widget::set_focus(widget* w)
{
    input_state& in = input();
    if (w == in.focused_widget) {
        return;
    }
    widget* old = in.focused_widget;
    in.focused_widget = w;
    if (old != nullptr) {
        old->on_blur();
    }
    if (w != nullptr) {
        w->on_focus();
    }
}

void widget::focus_next(widget* root, widget* current, bool backwards)
{
    if (root == nullptr) {
        return;
    }
    for (const widget* w = root; w != nullptr; w = w->parent_) {
        if (!live(w)) {
            return;
        }
    }
    std::vector<widget*> order;
    collect_focusable(root, order);
    if (order.empty()) {
        return;
    }
    const auto it = std::find(order.begin(), order.end(), current);
    widget* next = nullptr;
    if (current == nullptr || it == order.end()) {
        next = order.front();
    } else {
        const std::size_t n = order.size();
        const std::size_t index = static_cast<std::size_t>(it - order.begin());
        next = order[backwards ? (index + n - 1) % n : (index + 1) % n];
    }
    set_focus(next);
    input().focus_by_keyboard = true;
}

int widget::hovered_cursor()
{
    const widget* w = input().hovered_widget;
    return w != nullptr ? w->cursor : 0;
}

bool clickable_widget::on_event(const input_event& e)
{
    if (e.is_keyboard) {
        return false;
    }
    switch (e.kind) {
    case input_kind::pointer_move:
        return hovered_;
    case input_kind::pointer_down:
        if (e.button == button_left) {
            if (hovered_) {
                pressed_ = true;
                return true;
            }
            return false;
        }
        return e.button == button_right && hovered_;
    case input_kind::pointer_up:
        if (e.button == button_left) {
            if (!pressed_) {
                return false;
            }
            pressed_ = false;
            if (hovered_ && on_click) {
                on_click();
            }
            return true;
        }
        if (e.button == button_right && hovered_) {
            if (on_right_click) {
                on_right_click();
            }
            return true;
        }
        return false;
    case input_kind::pointer_enter:
        hovered_ = true;
        if (on_hover) {
            on_hover(true);
        }
        return false;
    case input_kind::pointer_leave:
        hovered_ = false;
        pressed_ = false;
        if (on_hover) {
            on_hover(false);
        }
        return false;
    default:
        return false;
    }
}

}  // namespace d2dui
