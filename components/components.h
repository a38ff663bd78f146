#pragma once
// The shared widgets: `image` (a PNG picture), `icon_button` (a round button with a PNG icon),
// `reveal_text_button` (a pill-shaped text button with hover colour and click ripples) and
// `toggle_switch` (an animated on/off switch).
//
// Bitmaps are loaded and animator constants set when a component is mounted; one painted before
// mounting draws no bitmap. Animations advance only in `update`. Everything runs on the UI thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/animator.h"
#include "d2dui/widget.h"

namespace zelno::components {

// Virtual-key codes the components react to.
inline constexpr std::uint32_t vk_return = 0x0D;
inline constexpr std::uint32_t vk_space = 0x20;

class image : public d2dui::widget {
public:
    explicit image(std::int32_t resource_id) : resource_id_(resource_id) {}

protected:
    void on_mount() override;
    void on_unmount() override { bitmap_.reset(); }
    void on_paint(d2dui::render_context& rc) override;

private:
    std::int32_t resource_id_;
    std::shared_ptr<d2dui::bitmap> bitmap_;
};

class icon_button : public d2dui::clickable_widget {
public:
    explicit icon_button(std::int32_t resource_id) : resource_id_(resource_id) {}

    d2dui::color normal_color{1, 1, 1, 0};
    d2dui::color hover_color{1, 1, 1, 0.1f};
    d2dui::color pressed_color{200 / 255.0f, 200 / 255.0f, 200 / 255.0f, 0.1f};
    float icon_size = 14;

    const color_animator& background() const { return background_; }

protected:
    void on_mount() override;
    void on_unmount() override { bitmap_.reset(); }
    void on_update(float dt) override { background_.step(dt); }
    void on_paint(d2dui::render_context& rc) override;

private:
    std::int32_t resource_id_;
    std::shared_ptr<d2dui::bitmap> bitmap_;
    color_animator background_;
};

struct ripple {
    float x = 0, y = 0;  // centre relative to the button's top-left
    float max_radius = 0;
    number_animator radius;   // fraction 0 -> 1
    number_animator opacity;  // 1 -> 0
    bool alive = true;
};

class reveal_text_button : public d2dui::clickable_widget {
public:
    reveal_text_button(std::u16string label, d2dui::color background, d2dui::color text_color,
                       d2dui::color ripple_color);

    std::u16string label;
    d2dui::color background_color;
    d2dui::color text_color;
    d2dui::color ripple_color;

    const std::vector<ripple>& ripples() const { return ripples_; }
    const color_animator& background() const { return background_; }
    const color_animator& text() const { return text_; }

    // Spawns a ripple centred at `centre` (window DIPs).
    void spawn_ripple(d2dui::point centre);

protected:
    void on_mount() override;
    void on_unmount() override;
    bool on_event(const d2dui::input_event& e) override;
    void on_update(float dt) override;
    void on_paint(d2dui::render_context& rc) override;
    // Paint pieces for derived buttons.
    // Ripples clipped to the button: a rounded rectangle of `corner_radius` when `smoothing` is 0
    // or less, else the smoothed shape of shapes.h.
    void paint_ripples(d2dui::render_context& rc, float corner_radius, float smoothing);
    void paint_label(d2dui::render_context& rc);

    bool fit_to_label = true;  // update sizes the button to its label

private:
    void click_from(d2dui::point centre);
    void follow_colors();

    color_animator background_;
    color_animator text_;
    std::vector<ripple> ripples_;
};

class toggle_switch : public d2dui::clickable_widget {
public:
    explicit toggle_switch(bool initial);

    std::function<void(bool)> on_change;

    bool value() const { return value_; }
    float position() const { return position_.value; }
    // Stores a different value and animates towards it; `on_change` only with `notify`.
    void set_value(bool value, bool notify);

protected:
    void on_mount() override;
    bool on_event(const d2dui::input_event& e) override;
    void on_update(float dt) override { position_.step(dt); }
    void on_paint(d2dui::render_context& rc) override;
    float focus_ring_radius() const override { return area().height / 2; }

private:
    bool value_;
    number_animator position_;
};

}  // namespace zelno::components
