#include "ui/screens.h"

#include "base/obfuscated.h"
#include "d2dui/platform_services.h"
#include "base/localized_text.h"
#include "ui/palette.h"

namespace pelto::ui {

namespace {

using d2dui::color;
using d2dui::rect;
using d2dui::render_context;

void text(render_context& rc, const std::u16string& value, rect r, float size, color c,
          d2dui::text_fit fit = d2dui::text_fit::wrap,
          d2dui::text_alignment align = d2dui::text_alignment::leading)
{
    d2dui::text_style s = d2dui::text_in_box(value, r, size, c);
    s.fit = fit;
    s.h_align = align;
    rc.draw_text(s);
}

void text(render_context& rc, message_id message, rect r, float size, color c)
{
    text(rc, localized_text(message), r, size, c);
}

template <typename F>
std::function<void()> call(const F& f)
{
    return [f] {
        if (f) {
            f();
        }
    };
}

}  // namespace

std::u16string language_label(int index)
{
    switch (index) {
    case 0:
        return localized_text(message_id::system_default);
    case 1:
        return PELTO_TEXT(u"简体中文").str();
    default:
        return PELTO_TEXT(u"English").str();
    }
}

void mark_language_button(button& b, bool chosen)
{
    b.background_color = chosen ? palette::selected_card : palette::card;
    b.text_color = chosen ? palette::accent_text : palette::muted_text;
    b.ripple_color = {1, 1, 1, 0.06f};
}

void build_screens(d2dui::widget& root, screens& s, const screen_actions& actions, bool tun_enabled)
{
    d2dui::focus_ring_color = palette::accent_text;
    s.background = root.emplace_child<background_widget>();
    s.stack = root.emplace_child<page_stack>();

    // Main page.
    s.main_page = s.stack->emplace_child<page>();
    screens* self = &s;
    s.main_page->painter = [self](render_context& rc) {
        const rect& r = self->main_page->area();
        text(rc, message_id::nodes_title, {20, 59, 120, 28}, 18, palette::primary_text);
        // Centred where a one-line status always stood; tall enough for two lines.
        text(rc, self->texts.status, {152, 58, r.width - 172, 30}, 11,
             self->texts.status_is_error ? palette::error_text : palette::muted_text,
             d2dui::text_fit::two_lines, d2dui::text_alignment::trailing);
        text(rc, message_id::tun_mode, {20, r.height - 48, r.width - 100, 32}, 13, palette::primary_text);
    };
    s.nodes = s.main_page->emplace_child<node_list>();
    s.nodes->on_select = call(actions.update_controls);
    s.nodes->on_activate = call(actions.connect_or_disconnect);
    s.primary = s.main_page->emplace_child<button>(localized_text(message_id::connect), true);
    s.primary->on_click = call(actions.connect_or_disconnect);
    s.refresh = s.main_page->emplace_child<svg_button>(refresh_svg, true, refresh_png);
    s.refresh->on_click = call(actions.refresh_nodes);
    s.tun = s.main_page->emplace_child<zelno::components::toggle_switch>(tun_enabled);
    s.tun->focusable = true;
    s.tun->on_change = [f = actions.toggle_tun](bool on) {
        if (f) {
            f(on);
        }
    };

    // Settings page.
    s.settings_page = s.stack->emplace_child<page>();
    s.settings_page->painter = [self](render_context& rc) {
        const rect& r = self->settings_page->area();
        text(rc, message_id::settings_title, {20, 60, r.width - 40, 28}, 18, palette::primary_text);
        text(rc, message_id::settings_description, {20, 104, r.width - 40, 20}, 12, palette::muted_text);
        for (const rect card : {rect{20, 132, r.width - 40, 48}, rect{20, 200, r.width - 40, 120},
                                rect{20, 340, r.width - 40, 100}}) {
            rc.fill_rounded_rect(card, 11, palette::card);
        }
        text(rc, message_id::language, {40, 220, r.width - 80, 24}, 13, palette::primary_text);
        text(rc, message_id::leak_protection, {40, 360, r.width - 140, 24}, 13, palette::primary_text);
        text(rc, message_id::leak_protection_description, {40, 396, r.width - 80, 24}, 11, palette::muted_text);
        if (!self->texts.error_line.empty()) {
            text(rc, self->texts.error_line, {20, r.height - 148, r.width - 40, 30}, 11, palette::error_text,
                 d2dui::text_fit::two_lines);
        }
    };
    s.subscription = s.settings_page->emplace_child<d2dui::textbox>(localized_text(message_id::subscription_url_hint), 13.0f, false);
    s.subscription->set_max_length(8192);
    s.subscription->set_text_color(palette::primary_text);
    s.subscription->set_selection_color(palette::selected_card);
    s.subscription->on_submit = [f = actions.save_preferences](const std::u16string&) {
        if (f) {
            f();
        }
    };
    s.option = s.settings_page->emplace_child<zelno::components::toggle_switch>(false);
    s.option->focusable = true;
    s.option->on_change = [f = actions.option_changed](bool on) {
        if (f) {
            f(on);
        }
    };
    s.clear = s.settings_page->emplace_child<svg_button>(clear_svg, false, clear_png);
    s.clear->on_click = [self] { self->subscription->set_text(PELTO_TEXT(u"https://").str()); };
    s.save = s.settings_page->emplace_child<button>(localized_text(message_id::save), true);
    s.save->on_click = call(actions.save_preferences);
    s.back = s.settings_page->emplace_child<button>(localized_text(message_id::back), false);
    s.back->on_click = [f = actions.show_page] {
        if (f) {
            f(0);
        }
    };
    for (int i = 0; i < 3; ++i) {
        button* b = s.settings_page->emplace_child<button>(language_label(i), false);
        mark_language_button(*b, false);
        b->on_click = [f = actions.choose_language, i] {
            if (f) {
                f(i);
            }
        };
        s.languages[static_cast<std::size_t>(i)] = b;
    }
    s.settings_page->set_visible(false);
    s.settings_page->set_enabled(false);

    // Title strip.
    s.title_strip = root.emplace_child<page>();
    s.title_strip->drag_region = true;
    s.title_strip->painter = [self](render_context& rc) {
        rc.fill_rect({0, 0, self->title_strip->area().width, 44}, palette::window);
        text(rc, PELTO_TEXT(u"Pelto").str(), {43, 10, 82, 24}, 14, palette::primary_text);
    };
    s.logo = s.title_strip->emplace_child<zelno::components::image>(logo_png);
    s.logo->set_bounds(20, 15, 14, 14);
    s.settings_button = s.title_strip->emplace_child<zelno::components::icon_button>(settings_png);
    s.settings_button->on_click = [self, f = actions.show_page] {
        if (f) {
            f(self->stack->current() == 0 ? 1 : 0);
        }
    };
    s.minimize_button = s.title_strip->emplace_child<zelno::components::icon_button>(minimize_png);
    s.minimize_button->on_click = [self] {
        if (render_context* rc = self->title_strip->context(); rc != nullptr && rc->platform != nullptr) {
            rc->platform->minimize_window();
        }
    };
    s.close_button = s.title_strip->emplace_child<zelno::components::icon_button>(close_png);
    s.close_button->on_click = call(actions.request_close);
    float x = 334;
    for (zelno::components::icon_button* b : {s.settings_button, s.minimize_button, s.close_button}) {
        b->focusable = true;
        b->set_bounds(x, 8, 28, 28);
        x += 34;
    }
}

void layout_controls(screens& s, float w, float h)
{
    s.title_strip->set_bounds(0, 0, w, 44);
    s.nodes->set_bounds(20, 96, w - 40, h - 214);
    s.primary->set_bounds(20, h - 106, w - 94, 44);
    s.refresh->set_bounds(w - 64, h - 106, 44, 44);
    s.tun->set_bounds(w - 64, h - 44, 44, 24);
    s.subscription->set_bounds(40, 143, w - 80, 26);
    s.clear->set_bounds(w - 52, 98, 32, 32);
    const float lw = (w - 96) / 3;
    for (int i = 0; i < 3; ++i) {
        s.languages[static_cast<std::size_t>(i)]->set_bounds(40 + static_cast<float>(i) * (lw + 8), 260, lw, 40);
    }
    s.option->set_bounds(w - 84, 360, 44, 24);
    s.save->set_bounds(20, h - 104, (w - 52) / 2, 44);
    s.back->set_bounds((w - 52) / 2 + 32, h - 104, (w - 52) / 2, 44);
}

}  // namespace pelto::ui
