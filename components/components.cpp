#include "components/components.h"

#include <algorithm>
#include <cmath>

#include "components/shapes.h"
#include "d2dui/platform_services.h"

namespace zelno::components {

namespace {

using d2dui::color;
using d2dui::point;
using d2dui::rect;

constexpr float label_size = 14;
constexpr std::int32_t label_weight = 600;

void standard_curve(animator_timing& a, float seconds)
{
    a.set_curve(0.4f, 0.14f, 0.3f, 1, seconds);
}

bool is_focused(const d2dui::widget* w)
{
    return d2dui::input().focused_widget == w;
}

bool activation_key(const d2dui::input_event& e)
{
    return e.is_keyboard && e.kind == d2dui::input_kind::key_down && (e.virtual_key == vk_return || e.virtual_key == vk_space);
}

}  // namespace

void image::on_mount()
{
    bitmap_ = context()->load_png(resource_id_);
}

void image::on_paint(d2dui::render_context& rc)
{
    if (bitmap_) {
        rc.draw_bitmap(*bitmap_, area(), 1.0f);
    }
}

void icon_button::on_mount()
{
    bitmap_ = context()->load_png(resource_id_);
    cursor = d2dui::cursor_hand;
    background_.jump(normal_color);
    on_hover = [this](bool entered) {
        background_.duration = entered ? 0.15f : 0.2f;
        background_.animate_to(entered ? hover_color : normal_color);
    };
    standard_curve(background_, 0.15f);
}

void icon_button::on_paint(d2dui::render_context& rc)
{
    const rect& r = area();
    rc.fill_rounded_rect(r, r.width / 2, pressed() ? pressed_color : background_.value);
    if (bitmap_) {
        const rect icon{r.x + (r.width - icon_size) / 2, r.y + (r.height - icon_size) / 2, icon_size, icon_size};
        rc.draw_bitmap(*bitmap_, icon, hovered() ? 0.8f : 0.5f);
    }
}

reveal_text_button::reveal_text_button(std::u16string text, color background, color text_colour, color ripple)
    : label(std::move(text)), background_color(background), text_color(text_colour), ripple_color(ripple)
{
    background_.jump(background);
    text_.jump(text_colour);
}

void reveal_text_button::on_mount()
{
    cursor = d2dui::cursor_hand;
    standard_curve(background_, 0.2f);
    standard_curve(text_, 0.2f);
    background_.jump(background_color);
    text_.jump(text_color);
    on_hover = [this](bool) { follow_colors(); };
}

void reveal_text_button::on_unmount()
{
    ripples_.clear();
}

void reveal_text_button::follow_colors()
{
    // Hover raises the background's alpha by 0.1; an owner recolouring the button (a language
    // chosen, a state change) is followed with the same easing.
    color c = background_color;
    if (hovered()) {
        c.a = std::min(1.0f, c.a + 0.1f);
    }
    if (!(c == background_.target)) {
        background_.animate_to(c);
    }
    if (!(text_color == text_.target)) {
        text_.animate_to(text_color);
    }
}

void reveal_text_button::click_from(point centre)
{
    spawn_ripple(centre);
    if (on_click) {
        // Copy: the handler may replace this button's functions.
        const std::function<void()> run = on_click;
        run();
    }
}

bool reveal_text_button::on_event(const d2dui::input_event& e)
{
    if (activation_key(e) && is_focused(this) && enabled()) {
        // From the keyboard there is no pointer on the button: the ripple starts at its centre.
        const rect& r = area();
        click_from({r.x + r.width / 2, r.y + r.height / 2});
        return true;
    }
    if (!e.is_keyboard && e.kind == d2dui::input_kind::pointer_up && e.button == d2dui::button_left && pressed() && hovered()) {
        // This release clicks: the ripple starts where the pointer is, then the click runs.
        spawn_ripple({e.x, e.y});
    }
    return clickable_widget::on_event(e);
}

void reveal_text_button::spawn_ripple(point centre)
{
    const rect& r = area();
    ripple rp;
    rp.x = centre.x - r.x;
    rp.y = centre.y - r.y;
    for (const point corner : {point{0, 0}, point{r.width, 0}, point{0, r.height}, point{r.width, r.height}}) {
        rp.max_radius = std::max(rp.max_radius, std::hypot(corner.x - rp.x, corner.y - rp.y));
    }
    rp.radius.set_curve(0, 0, 0.2f, 1, 0.5f);
    rp.opacity.set_curve(0.22f, 1, 0.36f, 1, 0.5f);
    rp.radius.jump(0);
    rp.opacity.jump(1);
    rp.radius.animate_to(1);
    rp.opacity.animate_to(0);
    ripples_.push_back(rp);
}

void reveal_text_button::on_update(float dt)
{
    if (fit_to_label && context() != nullptr) {
        const d2dui::size s = context()->measure_text(label, label_size, {}, label_weight, 0, 0);
        set_size(s.width + 24, s.height + 16);
    }
    follow_colors();
    background_.step(dt);
    text_.step(dt);
    for (ripple& rp : ripples_) {
        rp.radius.step(dt);
        rp.opacity.step(dt);
        if (rp.radius.value >= 1 && rp.opacity.value <= 0.001f) {
            rp.alive = false;
        }
    }
    std::erase_if(ripples_, [](const ripple& rp) { return !rp.alive; });
}

void reveal_text_button::paint_ripples(d2dui::render_context& rc, float corner_radius, float smoothing)
{
    if (ripples_.empty()) {
        return;
    }
    const rect& r = area();
    if (smoothing <= 0) {
        rc.push_layer(r, corner_radius);  // a plain rounded rectangle: the geometry's own arcs
    } else {
        push_smooth_layer(rc, r, corner_radius, smoothing);
    }
    for (const ripple& rp : ripples_) {
        if (rp.opacity.value > 0.001f) {
            color c = ripple_color;
            c.a *= rp.opacity.value;
            rc.fill_circle({r.x + rp.x, r.y + rp.y}, rp.max_radius * rp.radius.value, c);
        }
    }
    rc.pop_clip();
}

void reveal_text_button::paint_label(d2dui::render_context& rc)
{
    const rect& r = area();
    d2dui::text_style s = d2dui::text_in_box(label, r, label_size, text_.value);
    s.weight = label_weight;
    s.h_align = d2dui::text_alignment::centre;
    s.fit = d2dui::text_fit::one_line;
    rc.draw_text(s);
}

void reveal_text_button::on_paint(d2dui::render_context& rc)
{
    const rect& r = area();
    const float radius = std::min(r.width, r.height) / 2;
    fill_smooth_rect(rc, r, radius, component_smoothing, background_.value);
    paint_ripples(rc, radius, component_smoothing);
    paint_label(rc);
}

toggle_switch::toggle_switch(bool initial) : value_(initial)
{
    set_size(44, 24);
    position_.jump(initial ? 1.0f : 0.0f);
}

void toggle_switch::on_mount()
{
    cursor = d2dui::cursor_hand;
    standard_curve(position_, 0.2f);
    on_click = [this] { set_value(!value_, true); };
}

bool toggle_switch::on_event(const d2dui::input_event& e)
{
    if (activation_key(e) && is_focused(this) && enabled()) {
        set_value(!value_, true);
        return true;
    }
    return clickable_widget::on_event(e);
}

void toggle_switch::set_value(bool value, bool notify)
{
    if (value == value_) {
        return;
    }
    value_ = value;
    position_.animate_to(value ? 1.0f : 0.0f);
    if (notify && on_change) {
        on_change(value);
    }
}

void toggle_switch::on_paint(d2dui::render_context& rc)
{
    const rect& r = area();
    const float p = position_.value;
    rc.fill_rounded_rect(r, r.height / 2, lerp_color_oklab(color::rgb8(26, 28, 30), color::rgb8(0, 92, 75), p));
    const float left = r.x + 11, right = r.right() - 11;
    rc.fill_circle({left + (right - left) * p, r.y + r.height / 2}, 8, {1, 1, 1, 1});
}

}  // namespace zelno::components
