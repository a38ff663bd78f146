#pragma once
// The application's own widget classes: the window background, pages, the page stack with its
// cross-fade, and the application's text and icon buttons.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "components/components.h"
#include "d2dui/widget.h"

namespace pelto::ui {

// Fills its parent's bounds with the window colour, every frame.
class background_widget : public d2dui::widget {
protected:
    void on_update(float) override;
    void on_paint(d2dui::render_context& rc) override;
};

// A widget painted by an optional callable; its children are painted after it.
class page : public d2dui::widget {
public:
    std::function<void(d2dui::render_context&)> painter;

protected:
    void on_paint(d2dui::render_context& rc) override
    {
        if (painter) {
            painter(rc);
        }
    }
};

// Pages by child index. `show` cross-fades from the current page to another; during the fade
// both pages are visible and neither is enabled, so neither takes input.
class page_stack : public d2dui::widget {
public:
    page_stack();

    int current() const { return current_; }
    int previous() const { return previous_; }
    bool transitioning() const { return previous_ >= 0; }
    float transition() const { return transition_.value; }
    // Ignored during a transition, for the current page and for an index out of range.
    void show(int index);

protected:
    void on_mount() override;
    void on_update(float dt) override;
    void paint_children(d2dui::render_context& rc) override;

private:
    void apply_flags();

    int current_ = 0;
    int previous_ = -1;
    zelno::components::number_animator transition_;
    d2dui::layer_cache layer_;
    d2dui::layer_cache previous_layer_;
};

// The application's text button: primary (green) or secondary (card); its size is the owner's.
class button : public zelno::components::reveal_text_button {
public:
    button(std::u16string label, bool primary);

    void set_label(std::u16string text) { label = std::move(text); }

protected:
    void on_paint(d2dui::render_context& rc) override;
    void paint_button(d2dui::render_context& rc);
    float focus_ring_radius() const override { return 11; }

    d2dui::layer_cache disabled_layer_;
};

// A button showing a 14-DIP SVG icon, optionally spinning. Where the backend has no SVG support
// the icon's PNG twin (`png_twin_id`, 0 for none) is drawn instead; only a resource that an SVG
// capable backend rejects is an error.
class svg_button : public button {
public:
    svg_button(std::int32_t resource_id, bool card, std::int32_t png_twin_id = 0);

    bool spinning = false;
    float angle = 0;  // degrees

    void set_colors(d2dui::color background, d2dui::color text, d2dui::color ripple);
    bool has_icon() const { return document_ != nullptr || twin_ != nullptr; }

protected:
    void on_mount() override;
    void on_unmount() override;
    void on_update(float dt) override;
    void on_paint(d2dui::render_context& rc) override;

private:
    std::int32_t resource_id_;
    std::int32_t png_twin_id_;
    std::shared_ptr<d2dui::svg_document> document_;
    std::shared_ptr<d2dui::bitmap> twin_;
    d2dui::layer_cache icon_layer_;
};

}  // namespace pelto::ui
