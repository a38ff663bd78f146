// The application's screens driven by a scripted node list, without the engine: the main page
// with 30 nodes (flags from regional-indicator pairs, English and Chinese keywords, an emoji, a
// long Chinese name; measured, unavailable and pending latencies) in its states, the settings
// page with a URL typed and the switches on, in both languages, and a list of names in other
// scripts (tests/gui/script_names.h) at its top and at its end.
//
//   preview.exe                      interactive window (keys: 1-5 main page states, L language)
//   preview.exe --screenshots DIR    drives the window through its messages and writes one PNG per
//                                    state to DIR (names in `shots` below)
//   preview.exe --bench FRAMES       frame CPU time with 1,000 nodes while the list scrolls

#include <windows.h>
#include <windowsx.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "d2dui/application.h"
#include "d2dui/platform_services.h"
#include "base/localized_text.h"
#include "ui/screens.h"
#include "tests/gui/script_names.h"

namespace {

using namespace d2dui;
using pelto::message_id;
using pelto::node_entry;

std::vector<node_entry> script_nodes()
{
    std::vector<node_entry> n;
    const char16_t* protocols[] = {u"VLESS · REALITY", u"Trojan", u"Shadowsocks 2022", u"VLESS · WebSocket"};
    int i = 0;
    for (const std::u16string& name : pelto::testing::script_names()) {
        n.push_back({name, protocols[i % 4], 40 + 17 * i});
        ++i;
    }
    return n;
}

std::vector<node_entry> scripted_nodes()
{
    std::vector<node_entry> n = {
        {u"\U0001F1EF\U0001F1F5 Tokyo 01", u"VLESS · REALITY", 48},
        {u"Hong Kong IPLC 02", u"Trojan", 31},
        {u"香港 高速 03", u"Shadowsocks 2022", 36},
        {u"美国 洛杉矶 04", u"VLESS · WebSocket", 152},
        {u"Singapore 05", u"VLESS · Vision", 74},
        {u"\U0001F1E9\U0001F1EA Frankfurt 06", u"Trojan", 203},
        {u"UK London 07", u"VLESS · REALITY", 188},
        {u"日本 东京 Premium 08", u"Shadowsocks 2022", 52},
        {u"Taiwan 台北 09", u"VLESS · REALITY", 61},
        {u"Korea Seoul 10", u"Trojan", 67},
        {u"一个非常非常长的中文节点名称用于测试超出宽度时的显示效果 11", u"VLESS · WebSocket", 95},
        {u"Relay \U0001F680 fast 12", u"Shadowsocks 2022", pelto::latency_not_measured},
        {u"Premium DE 13", u"VLESS · Vision", 199},
        {u"FR Paris 14", u"Trojan", pelto::latency_failed},
        {u"Canada Toronto 15", u"VLESS · REALITY", 161},
        {u"Australia Sydney 16", u"Trojan", 240},
        {u"Netherlands Amsterdam 17", u"VLESS · WebSocket", 177},
        {u"俄罗斯 莫斯科 18", u"Shadowsocks 2022", pelto::latency_failed},
        {u"India Mumbai 19", u"VLESS · REALITY", 121},
        {u"Brazil Sao Paulo 20", u"Trojan", 310},
        {u"Turkey Istanbul 21", u"VLESS · Vision", pelto::latency_not_measured},
        {u"\U0001F1F9\U0001F1FC Taipei 22", u"Trojan", 58},
        {u"zz unknown relay 23", u"VLESS · REALITY", 88},
        {u"Switzerland Zurich 24", u"Shadowsocks 2022", 214},
        {u"Sweden 25", u"VLESS · WebSocket", 226},
        {u"泰国 曼谷 26", u"Trojan", 109},
        {u"Vietnam Hanoi 27", u"VLESS · REALITY", 97},
        {u"Malaysia 28", u"Shadowsocks 2022", 83},
        {u"Argentina 29", u"Trojan", pelto::latency_failed},
        {u"回国 上海 30", u"VLESS · Vision", 40},
    };
    return n;
}

class preview : public application {
public:
    pelto::ui::screens s;
    bool settled = true;

    // The main page in one of its states, as the controller would show it.
    enum class state { ready, loading, connecting, connected, failed };
    void show_state(state st)
    {
        using pelto::localized_text;
        s.texts.status_is_error = false;
        s.refresh->spinning = false;
        s.refresh->angle = 0;
        s.primary->set_enabled(true);
        s.nodes->set_enabled(true);
        s.refresh->set_enabled(true);
        s.tun->set_enabled(true);
        switch (st) {
        case state::ready:
            s.texts.status = localized_text(message_id::not_connected);
            s.primary->set_label(localized_text(message_id::connect));
            break;
        case state::loading:
            s.nodes->set_nodes({}, false);
            s.nodes->empty_text = localized_text(message_id::loading_nodes);
            s.texts.status = localized_text(message_id::loading_nodes);
            s.primary->set_label(localized_text(message_id::connect));
            s.primary->set_enabled(false);
            s.refresh->set_enabled(false);
            s.tun->set_enabled(false);
            break;
        case state::connecting:
            s.texts.status = localized_text(message_id::connecting);
            s.primary->set_label(localized_text(message_id::connecting));
            s.primary->set_enabled(false);
            s.nodes->set_enabled(false);
            s.refresh->set_enabled(false);
            s.tun->set_enabled(false);
            break;
        case state::connected:
            s.texts.status = localized_text(message_id::connected);
            s.primary->set_label(localized_text(message_id::disconnect));
            break;
        case state::failed:
            s.texts.status = localized_text(message_id::unexpected_error);
            s.texts.status_is_error = true;
            s.primary->set_label(localized_text(message_id::connect));
            break;
        }
    }

    void relabel()
    {
        using pelto::localized_text;
        s.save->set_label(localized_text(message_id::save));
        s.back->set_label(localized_text(message_id::back));
        s.subscription->set_placeholder(localized_text(message_id::subscription_url_hint));
        for (int i = 0; i < 3; ++i) {
            s.languages[static_cast<std::size_t>(i)]->set_label(pelto::ui::language_label(i));
        }
        s.nodes->empty_text = localized_text(message_id::no_nodes_available);
    }

    void choose_language(int i)
    {
        pelto::language_choice = i;
        for (int k = 0; k < 3; ++k) {
            pelto::ui::mark_language_button(*s.languages[static_cast<std::size_t>(k)], k == i);
        }
        relabel();
    }

protected:
    void on_build(widget& root) override
    {
        pelto::ui::screen_actions actions;
        actions.show_page = [this](int page) {
            widget::set_focus(nullptr);
            s.stack->show(page);
        };
        actions.choose_language = [this](int i) { choose_language(i); };
        actions.request_close = [this] { context().platform->close_window(); };
        actions.refresh_nodes = [this] {
            s.nodes->set_nodes(scripted_nodes(), true);
        };
        pelto::ui::build_screens(root, s, actions, false);
        s.nodes->set_nodes(scripted_nodes(), settled);
        relabel();
        show_state(state::ready);
    }
    void on_update(render_context&) override
    {
        const rect& r = root()->bounds();
        pelto::ui::layout_controls(s, r.width, r.height);
    }
};

LPARAM client_point(preview& app, float x, float y)
{
    const float k = app.dpi_scale() * app.zoom;
    return MAKELPARAM(static_cast<int>(x * k), static_cast<int>(y * k));
}

LPARAM screen_point(preview& app, float x, float y)
{
    const float k = app.dpi_scale() * app.zoom;
    POINT p{static_cast<LONG>(x * k), static_cast<LONG>(y * k)};
    ClientToScreen(static_cast<HWND>(app.window_handle()), &p);
    return MAKELPARAM(p.x, p.y);
}

// Advances the animations by `seconds`: the window clamps a frame's step to 50 ms, so frames at
// least 50 ms apart each advance exactly that much, however slowly the frames themselves run.
void run_for(preview& app, double seconds)
{
    const int frames = static_cast<int>(seconds / 0.05) + 2;
    for (int i = 0; i < frames && app.pump(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(51));
        app.frame();
    }
}

void move_to(preview& app, float x, float y)
{
    const LPARAM at = screen_point(app, x, y);
    SetCursorPos(GET_X_LPARAM(at), GET_Y_LPARAM(at));
    SendMessageW(static_cast<HWND>(app.window_handle()), WM_MOUSEMOVE, 0, client_point(app, x, y));
}

void click(preview& app, float x, float y)
{
    const HWND hwnd = static_cast<HWND>(app.window_handle());
    move_to(app, x, y);
    SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, client_point(app, x, y));
    SendMessageW(hwnd, WM_LBUTTONUP, 0, client_point(app, x, y));
}

bool save(preview& app, const std::string& dir, const std::string& name)
{
    // Pointer on an inert spot, no focus (no caret blink), every animation (ripples 0.5 s) over.
    move_to(app, 200, 75);
    widget::set_focus(nullptr);
    run_for(app, 0.7);
    frame_pixels pixels;
    app.capture_next_frame(pixels);
    app.frame();
    if (!pixels.captured) {
        std::fprintf(stderr, "preview: frame %s was not captured\n", name.c_str());
        return false;
    }
    const std::string path = dir + "\\" + name + ".png";
    write_png_file(std::u16string(path.begin(), path.end()), pixels);
    std::printf("preview: wrote %s (%dx%d)\n", path.c_str(), pixels.width, pixels.height);
    return true;
}

int fail(const char* what)
{
    std::fprintf(stderr, "preview: %s\n", what);
    return 1;
}

int screenshots(const std::string& dir)
{
    preview app;
    app.vsync = false;
    app.title_strip_height = 44;
    app.open(u"Pelto preview", 440, 600);
    const HWND hwnd = static_cast<HWND>(app.window_handle());
    run_for(app, 0.1);

    for (const int language : {2, 1}) {
        app.choose_language(language);
        const std::string suffix = language == 2 ? "_en" : "_zh";
        app.show_state(preview::state::connected);
        // Scroll by two notches through the real wheel message, then select a row by clicking it.
        move_to(app, 200, 300);
        SendMessageW(hwnd, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-2 * WHEEL_DELTA)), screen_point(app, 200, 300));
        run_for(app, 0.4);
        if (app.s.nodes->scroll_offset() != 192) {
            return fail("the wheel did not scroll the list by 192 DIPs");
        }
        click(app, 200, 96 + 3 * 64 + 30 - 192 + 64 * 2);  // row 5 (index), drawn third from the top
        if (app.s.nodes->selected() != 5) {
            return fail("clicking a row did not select it");
        }
        if (!save(app, dir, "preview_main" + suffix)) {
            return 1;
        }
        app.show_state(preview::state::connecting);
        if (!save(app, dir, "preview_connecting" + suffix)) {
            return 1;
        }
        app.show_state(preview::state::failed);
        if (!save(app, dir, "preview_error" + suffix)) {
            return 1;
        }
        app.show_state(preview::state::loading);
        if (!save(app, dir, "preview_loading" + suffix)) {
            return 1;
        }
        app.s.nodes->set_nodes(scripted_nodes(), true);
        app.show_state(preview::state::ready);

        // Settings through the title strip's settings button, the URL typed as character messages.
        click(app, 348, 22);
        run_for(app, 0.4);
        if (app.s.stack->current() != 1 || app.s.stack->transitioning()) {
            std::fprintf(stderr, "preview: page %d, previous %d, transition %.3f, hovered %d\n", app.s.stack->current(),
                         app.s.stack->previous(), app.s.stack->transition(), app.s.settings_button->hovered());
            return fail("the settings page did not come up");
        }
        app.s.subscription->set_text(u"");
        click(app, 200, 156);
        for (const char16_t c : std::u16string(u"https://sub.example/api/v1?token=8f3c\U0001F511")) {
            SendMessageW(hwnd, WM_CHAR, c, 0);
        }
        if (app.s.subscription->get_text() != u"https://sub.example/api/v1?token=8f3c\U0001F511") {
            return fail("typed characters did not reach the text box whole");
        }
        if (!app.s.option->value()) {
            click(app, 440 - 84 + 22, 372);
        }
        if (!app.s.option->value()) {
            return fail("the option switch did not turn on");
        }
        app.s.texts.error_line = pelto::localized_text(message_id::invalid_subscription_url);
        if (!save(app, dir, "preview_settings" + suffix)) {
            return 1;
        }
        app.s.texts.error_line.clear();
        click(app, 348, 22);
        run_for(app, 0.4);
        if (app.s.stack->current() != 0) {
            return fail("the main page did not come back");
        }
        app.s.option->set_value(false, false);
        app.s.nodes->scroll_to(0, false);
        run_for(app, 0.1);
    }
    // Names in other scripts, at the list's top and scrolled to its end.
    app.choose_language(2);
    app.show_state(preview::state::ready);
    app.s.nodes->set_nodes(script_nodes(), true);
    app.s.nodes->scroll_to(0, false);
    if (!save(app, dir, "preview_scripts_top_en")) {
        return 1;
    }
    app.s.nodes->scroll_to(app.s.nodes->max_scroll(), false);
    if (!save(app, dir, "preview_scripts_end_en")) {
        return 1;
    }
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    run_for(app, 0.05);
    return app.running() ? 1 : 0;
}

int bench(int frames)
{
    preview app;
    app.vsync = false;
    app.open(u"Pelto preview", 440, 600);
    std::vector<node_entry> many;
    const std::vector<node_entry> base = scripted_nodes();
    for (int i = 0; i < 1000; ++i) {
        node_entry e = base[static_cast<std::size_t>(i) % base.size()];
        e.latency_ms = e.latency_ms >= 0 ? e.latency_ms + i : e.latency_ms;
        many.push_back(e);
    }
    app.s.nodes->set_nodes(many, true);
    std::vector<double> whole, paint;
    for (int i = 0; i < frames && app.pump(); ++i) {
        // A wheel notch every few frames, reversing at the ends: the list is always moving.
        if (i % 6 == 0) {
            const float dir = (i / 600) % 2 == 0 ? -1.0f : 1.0f;
            app.s.nodes->scroll_to(app.s.nodes->scroll_target() - dir * 96, true);
        }
        app.frame();
        whole.push_back(static_cast<double>(app.last_frame_cpu_ns()) / 1e6);
        paint.push_back(static_cast<double>(app.last_frame_paint_ns()) / 1e6);
    }
    if (whole.empty()) {
        return 1;
    }
    const auto report = [](const char* what, std::vector<double>& ms) {
        std::sort(ms.begin(), ms.end());
        const auto pick = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
        std::printf("  %-44s p50 %8.3f ms  p99 %8.3f ms  max %8.3f ms\n", what, pick(0.50), pick(0.99), ms.back());
    };
    std::printf("main page, 1000 nodes scrolling, %zu frames (%s):\n", whole.size(),
                app.uses_composition() ? "composition" : "window swap chain");
    report("update + paint + end of drawing (no Present)", whole);
    report("update + paint (commands recorded)", paint);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        if (argc >= 3 && std::strcmp(argv[1], "--screenshots") == 0) {
            return screenshots(argv[2]);
        }
        if (argc >= 3 && std::strcmp(argv[1], "--bench") == 0) {
            return bench(std::atoi(argv[2]));
        }
        preview app;
        app.title_strip_height = 44;
        return app.run(u"Pelto preview", 440, 600);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "preview: %s\n", e.what());
        return 2;
    }
}
