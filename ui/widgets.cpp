#include "ui/widgets.h"

#include <cmath>
#include <stdexcept>

#include "base/obfuscated.h"
#include "components/shapes.h"
#include "d2dui/frame_schedule.h"
#include "ui/palette.h"

namespace pelto::ui {

using d2dui::color;
using d2dui::rect;

void background_widget::on_update(float)
{
    if (parent() != nullptr) {
        set_bounds(parent()->bounds());
    }
}

void background_widget::on_paint(d2dui::render_context& rc)
{
    rc.fill_rect(area(), palette::window);
}

page_stack::page_stack()
{
    transition_.jump(1);
}

void page_stack::on_mount()
{
    transition_.set_curve(0.4f, 0.14f, 0.3f, 1, 0.24f);
}

void page_stack::show(int index)
{
    if (transitioning() || index == current_ || index < 0 || index >= static_cast<int>(children().size())) {
        return;
    }
    previous_ = current_;
    current_ = index;
    for (const auto& child : children()) {
        child->set_visible(false);
    }
    transition_.jump(0);
    transition_.animate_to(1);
    if (!transition_.active) {
        previous_ = -1;  // no duration: the change is immediate
    }
    apply_flags();
}

void page_stack::apply_flags()
{
    const bool running = transition_.active;
    for (std::size_t i = 0; i < children().size(); ++i) {
        const int index = static_cast<int>(i);
        d2dui::widget* p = children()[i].get();
        p->set_bounds(bounds());
        p->set_visible(index == current_ || index == previous_);
        p->set_enabled(index == current_ && !running);
    }
}

void page_stack::on_update(float dt)
{
    if (parent() != nullptr) {
        set_bounds(parent()->bounds());
    }
    transition_.step(dt);
    if (!transition_.active) {
        previous_ = -1;
    }
    apply_flags();
}

void page_stack::paint_children(d2dui::render_context& rc)
{
    const float value = transition_.value;
    if (previous_ >= 0 && previous_ < static_cast<int>(children().size()) && 1 - value > 0) {
        rc.push_opacity(previous_layer_, 1 - value);
        children()[static_cast<std::size_t>(previous_)]->paint(rc);
        rc.pop_clip();
    }
    if (current_ >= 0 && current_ < static_cast<int>(children().size())) {
        rc.push_opacity(layer_, previous_ >= 0 ? value : 1.0f);
        children()[static_cast<std::size_t>(current_)]->paint(rc);
        rc.pop_clip();
    }
}

button::button(std::u16string text, bool primary)
    : reveal_text_button(std::move(text), primary ? palette::primary_button : palette::card,
                         primary ? palette::primary_text : palette::muted_text, color{1, 1, 1, 0.08f})
{
    focusable = true;
    fit_to_label = false;
}

void button::paint_button(d2dui::render_context& rc)
{
    const rect& r = area();
    rc.fill_rounded_rect(r, 11, background().value);
    paint_ripples(rc, 11, 0);
}

void button::on_paint(d2dui::render_context& rc)
{
    if (!enabled()) {
        rc.push_opacity(disabled_layer_, 0.4f);
    }
    paint_button(rc);
    paint_label(rc);
    if (!enabled()) {
        rc.pop_clip();
    }
}

svg_button::svg_button(std::int32_t resource_id, bool card, std::int32_t png_twin_id)
    : button(PELTO_TEXT(u" ").str(), true), resource_id_(resource_id), png_twin_id_(png_twin_id)
{
    background_color = card ? palette::card : color{0, 0, 0, 0};
    text_color = palette::muted_text;
    ripple_color = card ? color{1, 1, 1, 0.08f} : color{1, 1, 1, 0.06f};
}

void svg_button::set_colors(color background, color text, color ripple)
{
    background_color = background;
    text_color = text;
    ripple_color = ripple;
}

void svg_button::on_mount()
{
    button::on_mount();
    d2dui::render_context& rc = *context();
    document_ = rc.load_svg(resource_id_, {14, 14});
    if (document_ == nullptr && rc.svg_supported()) {
        throw std::runtime_error(PELTO_TEXT("ERROR").str());
    }
    if (document_ == nullptr && png_twin_id_ != 0) {
        twin_ = rc.load_png(png_twin_id_);
    }
}

void svg_button::on_unmount()
{
    button::on_unmount();
    document_.reset();
    twin_.reset();
}

void svg_button::on_update(float dt)
{
    button::on_update(dt);
    if (spinning) {
        angle = std::fmod(angle + 240 * dt, 360.0f);
        d2dui::frames().request_frame();
    }
}

void svg_button::on_paint(d2dui::render_context& rc)
{
    const bool disabled = !enabled();
    if (disabled) {
        rc.push_opacity(disabled_layer_, 0.4f);
    }
    paint_button(rc);
    if (disabled) {
        rc.pop_clip();
    }
    if (!has_icon()) {
        return;
    }
    const float opacity = hovered() ? 1.0f : (!disabled || spinning) ? 0.65f : 0.3f;
    rc.push_opacity(icon_layer_, opacity);
    const rect& r = area();
    rc.push_translate(r.x + (r.width - 14) / 2, r.y + (r.height - 14) / 2);
    const float radians = angle * 3.14159265f / 180;
    const float c = std::cos(radians), s = std::sin(radians);
    // Rotation about (7, 7): move the centre to the origin, rotate, move back.
    const d2dui::matrix rotate = d2dui::matrix::translation(-7, -7) * d2dui::matrix{c, s, -s, c, 0, 0} *
                                 d2dui::matrix::translation(7, 7);
    rc.push_transform(rotate);
    if (document_) {
        rc.draw_svg(*document_);
    } else {
        rc.draw_bitmap(*twin_, {0, 0, 14, 14}, 1.0f);
    }
    rc.pop_transform();
    rc.pop_transform();
    rc.pop_clip();
}

}  // namespace pelto::ui
