#pragma once
// The application's widget tree: the window background, the page stack with the main page (node
// list, primary button, refresh button, TUN switch) and the settings page (subscription text box,
// option switch, clear, save and back buttons, language buttons), and the title strip (logo,
// settings, minimise and close buttons).
//
// `build_screens` creates the tree under `root` and wires the controls to `actions`; what the
// actions do belongs to the application controller. The painters read `screen_texts`, which the
// controller rewrites (with the controls' labels, colours and enabled flags) whenever its state
// changes; `layout_controls` places everything for the root's size and runs every frame.

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "components/components.h"
#include "d2dui/textbox.h"
#include "ui/node_list.h"
#include "ui/widgets.h"

namespace pelto::ui {

// Resource ids of the pictures the screens use.
inline constexpr std::int32_t logo_png = 110;
inline constexpr std::int32_t minimize_png = 111;
inline constexpr std::int32_t close_png = 112;
inline constexpr std::int32_t settings_png = 120;
inline constexpr std::int32_t clear_svg = 501;
inline constexpr std::int32_t refresh_svg = 502;
inline constexpr std::int32_t clear_png = 505;    // PNG twin of clear_svg (503 is the endpoint document)
inline constexpr std::int32_t refresh_png = 506;  // PNG twin of refresh_svg

struct screen_actions {
    std::function<void()> connect_or_disconnect;
    std::function<void()> refresh_nodes;
    std::function<void(bool)> toggle_tun;
    std::function<void(bool)> option_changed;
    std::function<void()> save_preferences;
    std::function<void(int)> show_page;
    std::function<void(int)> choose_language;
    std::function<void()> request_close;
    std::function<void()> update_controls;  // after the user selects a node
};

// Texts the painters draw that are not a control's own.
struct screen_texts {
    std::u16string status;       // main page, right of the title
    bool status_is_error = false;
    std::u16string error_line;   // settings page, above the buttons
};

struct screens {
    screen_texts texts;

    background_widget* background = nullptr;
    page_stack* stack = nullptr;
    page* main_page = nullptr;
    page* settings_page = nullptr;
    page* title_strip = nullptr;

    node_list* nodes = nullptr;
    button* primary = nullptr;
    svg_button* refresh = nullptr;
    zelno::components::toggle_switch* tun = nullptr;

    d2dui::textbox* subscription = nullptr;
    zelno::components::toggle_switch* option = nullptr;
    svg_button* clear = nullptr;
    button* save = nullptr;
    button* back = nullptr;
    std::array<button*, 3> languages{};

    zelno::components::image* logo = nullptr;
    zelno::components::icon_button* settings_button = nullptr;
    zelno::components::icon_button* minimize_button = nullptr;
    zelno::components::icon_button* close_button = nullptr;
};

// Builds the tree under `root` (which must outlive nothing it builds: the tree is owned by root,
// `out` only points into it). `tun_enabled` is the TUN switch's initial state.
void build_screens(d2dui::widget& root, screens& out, const screen_actions& actions, bool tun_enabled);

// Places every control for a root of `width` x `height` DIPs. The node list takes the height
// between the header and the bottom row, so a shorter window shows fewer rows and keeps its
// bottom row (primary button, refresh, TUN switch) in the window; below `min_window_height` the
// settings page's fixed rows would meet its bottom buttons.
inline constexpr float min_window_height = 504;
void layout_controls(screens& s, float width, float height);

// The labels of the three language buttons (message 36, then the two languages' own names).
std::u16string language_label(int index);
// Colours a language button as chosen or not.
void mark_language_button(button& b, bool chosen);

}  // namespace pelto::ui
