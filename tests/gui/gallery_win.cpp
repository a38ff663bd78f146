// The toolkit's gallery: the title strip with its PNG icons and drag region, text in the embedded
// fonts at several sizes and weights (English and Chinese), buttons in their states and a
// scrolled, clipped area.
//
//   gallery.exe                      interactive window
//   gallery.exe --screenshots DIR    drives the window through its messages and writes
//                                    DIR/gallery_pressed.png and DIR/gallery_released.png
//   gallery.exe --bench FRAMES       frame CPU time (update + paint, without Present), p50 / p99

#include <windows.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "d2dui/application.h"
#include "d2dui/platform_services.h"

namespace {

using namespace d2dui;

constexpr color window_colour = color::rgb8(0, 0, 0);
constexpr color card = color::rgb8(15, 19, 18);
constexpr color selected_card = color::rgb8(7, 38, 30);
constexpr color primary_button = color::rgb8(0, 92, 75);
constexpr color primary_hover = color::rgb8(0, 112, 92);
constexpr color primary_pressed = color::rgb8(0, 70, 57);
constexpr color accent = color::rgb8(80, 190, 157);
constexpr color primary_text = color::rgb8(218, 225, 221);
constexpr color muted_text = color::rgb8(112, 124, 118);
constexpr color scroll_thumb = color::rgb8(66, 77, 71);

text_style text_at(std::u16string text, rect r, float size, color c, int weight = 400,
                   text_alignment h_align = text_alignment::leading)
{
    text_style s = text_in_box(std::move(text), r, size, c);
    s.weight = weight;
    s.h_align = h_align;
    return s;
}

// A widget that paints through a callable.
class painted : public widget {
public:
    std::function<void(render_context&, const rect&)> painter;

protected:
    void on_paint(render_context& rc) override
    {
        if (painter) {
            painter(rc, area());
        }
    }
};

class demo_button : public clickable_widget {
public:
    std::u16string label;

protected:
    void on_paint(render_context& rc) override
    {
        color fill = primary_button;
        color ink = primary_text;
        if (!enabled()) {
            fill = card;
            ink = muted_text;
        } else if (pressed()) {
            fill = primary_pressed;
        } else if (hovered()) {
            fill = primary_hover;
        }
        rc.fill_rounded_rect(area(), 8, fill);
        rc.draw_text(text_at(label, area(), 13, ink, 600, text_alignment::centre));
    }
};

class icon_button : public clickable_widget {
public:
    int resource = 0;

protected:
    void on_mount() override { icon_ = context()->load_png(resource); }
    void on_paint(render_context& rc) override
    {
        if (hovered()) {
            rc.fill_rounded_rect(area(), 6, card);
        }
        const rect r = area();
        rc.draw_bitmap(*icon_, {r.x + 7, r.y + 7, 14, 14}, 1.0f);
    }

private:
    std::shared_ptr<bitmap> icon_;
};

// Rows in a clipped viewport; the wheel scrolls by 30 DIPs a notch.
class scroll_area : public widget {
public:
    static constexpr float row_height = 36;
    static constexpr int rows = 12;
    float offset = 0;

protected:
    void on_paint(render_context& rc) override
    {
        const rect r = area();
        rc.fill_rounded_rect(r, 11, card);
        clip_saver clip(rc, r);
        translate_saver shift(rc, 0, -offset);
        for (int i = 0; i < rows; ++i) {
            const rect row{r.x + 8, r.y + 8 + i * row_height, r.width - 28, row_height - 4};
            rc.fill_rounded_rect(row, 6, i % 2 == 0 ? selected_card : card);
            rc.draw_text(text_at(u"Row " + std::u16string(1, static_cast<char16_t>(u'A' + i)) + u"  行",
                                 {row.x + 12, row.y, row.width - 24, row.height}, 13, primary_text));
            rc.draw_text(text_at(u"42 ms", {row.x + 12, row.y, row.width - 24, row.height}, 13, accent, 600, text_alignment::trailing));
        }
    }
    void on_paint_after(render_context& rc) override
    {
        const rect r = area();
        const float content = 16 + rows * row_height;
        const float thumb = r.height * r.height / content;
        const float top = r.y + (r.height - thumb) * offset / (content - r.height);
        rc.fill_rounded_rect({r.right() - 10, top + 2, 6, thumb - 4}, 3, scroll_thumb);
    }
    bool on_event(const input_event& e) override
    {
        if (e.is_keyboard || e.kind != input_kind::pointer_wheel || !area().contains({e.x, e.y})) {
            return false;
        }
        const float content = 16 + rows * row_height;
        offset = std::clamp(offset - e.wheel * 30, 0.0f, content - area().height);
        return true;
    }
};

class gallery : public application {
public:
    demo_button* press_me = nullptr;
    int clicks = 0;

protected:
    void on_build(widget& root) override
    {
        auto* background = root.emplace_child<painted>();
        background->set_bounds(0, 0, 440, 600);
        background->painter = [this](render_context& rc, const rect& r) {
            rc.fill_rect(r, window_colour);
            rc.draw_text(text_at(u"Inter 11 Regular: the quick brown fox", {20, 56, 400, 18}, 11, muted_text));
            rc.draw_text(text_at(u"Inter 13 Semi Bold: Connect, Settings", {20, 76, 400, 20}, 13, primary_text, 600));
            rc.draw_text(text_at(u"Inter 18: Nodes & 120 ms", {20, 98, 400, 26}, 18, primary_text));
            rc.draw_text(text_at(u"节点 设置 订阅、语言与连接选项", {20, 128, 400, 22}, 13, primary_text));
            rc.draw_text(text_at(u"简体中文 刷新列表", {20, 152, 400, 28}, 18, accent));
            rc.draw_text(text_at(u"Clicks: " + std::u16string(1, static_cast<char16_t>(u'0' + clicks % 10)),
                                 {20, 240, 400, 20}, 11, muted_text));
            rc.fill_circle({36, 500}, 12, accent);
            rc.draw_line({60, 500}, {420, 500}, scroll_thumb, 2);
            rc.draw_text(text_at(u"Outlined", {20, 530, 200, 30}, 18, window_colour, 600));
            text_style outlined = text_at(u"Outlined", {20, 530, 200, 30}, 18, window_colour, 600);
            outlined.outline = true;
            outlined.outline_color = accent;
            rc.draw_text(outlined);
        };

        auto* strip = root.emplace_child<painted>();
        strip->set_bounds(0, 0, 440, 44);
        strip->drag_region = true;
        strip->painter = [](render_context& rc, const rect& r) {
            rc.fill_rect(r, window_colour);
            rc.draw_text(text_at(u"d2dui gallery", {43, 10, 200, 24}, 14, primary_text));
        };
        auto* logo = strip->emplace_child<painted>();
        logo->set_bounds(20, 15, 14, 14);
        std::shared_ptr<bitmap> mark = context().load_png(110);
        logo->painter = [mark](render_context& rc, const rect& r) { rc.draw_bitmap(*mark, r, 1.0f); };
        const int icons[] = {120, 111, 112};
        const float xs[] = {334, 368, 402};
        for (int i = 0; i < 3; ++i) {
            auto* b = strip->emplace_child<icon_button>();
            b->resource = icons[i];
            b->focusable = true;
            b->cursor = cursor_hand;
            b->set_bounds(xs[i], 8, 28, 28);
        }
        auto* minimise = static_cast<icon_button*>(strip->children()[2].get());
        minimise->on_click = [this] { context().platform->minimize_window(); };
        auto* close_button = static_cast<icon_button*>(strip->children()[3].get());
        close_button->on_click = [this] { context().platform->close_window(); };

        const char16_t* labels[] = {u"Normal", u"Press me", u"Disabled"};
        for (int i = 0; i < 3; ++i) {
            auto* b = root.emplace_child<demo_button>();
            b->label = labels[i];
            b->cursor = cursor_hand;
            b->focusable = true;
            b->set_bounds(20 + i * 135.0f, 196, 125, 36);
            if (i == 1) {
                press_me = b;
                b->on_click = [this] { ++clicks; };
            }
            if (i == 2) {
                b->set_enabled(false);
            }
        }
        auto* scroll = root.emplace_child<scroll_area>();
        scroll->set_bounds(20, 270, 400, 180);
    }
};

// Client DIPs to the message's pixel coordinates.
LPARAM client_point(gallery& app, float x, float y)
{
    const float s = app.dpi_scale() * app.zoom;
    return MAKELPARAM(static_cast<int>(x * s), static_cast<int>(y * s));
}

LPARAM screen_point(gallery& app, float x, float y)
{
    const float s = app.dpi_scale() * app.zoom;
    POINT p{static_cast<LONG>(x * s), static_cast<LONG>(y * s)};
    ClientToScreen(static_cast<HWND>(app.window_handle()), &p);
    return MAKELPARAM(p.x, p.y);
}

void settle(gallery& app, int frames)
{
    for (int i = 0; i < frames && app.pump(); ++i) {
        app.frame();
    }
}

bool save(gallery& app, const std::string& dir, const char* name)
{
    frame_pixels pixels;
    app.capture_next_frame(pixels);
    app.frame();
    if (!pixels.captured) {
        std::fprintf(stderr, "gallery: frame %s was not captured\n", name);
        return false;
    }
    const std::string path = dir + "\\" + name;
    write_png_file(std::u16string(path.begin(), path.end()), pixels);
    std::printf("gallery: wrote %s (%dx%d, %s)\n", path.c_str(), pixels.width, pixels.height,
                app.uses_composition() ? "composition" : "window swap chain");
    return true;
}

int screenshots(const std::string& dir)
{
    gallery app;
    app.vsync = false;
    app.title_strip_height = 44;
    app.open(u"d2dui gallery", 440, 600);
    const HWND hwnd = static_cast<HWND>(app.window_handle());
    settle(app, 5);

    // The pointer really goes where the messages say, so the system's own pointer tracking agrees.
    const LPARAM button_screen = screen_point(app, 217, 214);
    SetCursorPos(GET_X_LPARAM(button_screen), GET_Y_LPARAM(button_screen));
    SendMessageW(hwnd, WM_MOUSEWHEEL, MAKEWPARAM(0, -WHEEL_DELTA), screen_point(app, 200, 360));
    SendMessageW(hwnd, WM_MOUSEMOVE, 0, client_point(app, 217, 214));
    SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, client_point(app, 217, 214));
    settle(app, 2);
    if (!app.press_me->pressed()) {
        std::fprintf(stderr, "gallery: the button is not pressed\n");
        return 1;
    }
    if (!save(app, dir, "gallery_pressed.png")) {
        return 1;
    }
    SendMessageW(hwnd, WM_LBUTTONUP, 0, client_point(app, 217, 214));
    settle(app, 2);
    if (app.clicks != 1) {
        std::fprintf(stderr, "gallery: %d clicks instead of 1\n", app.clicks);
        return 1;
    }
    if (!save(app, dir, "gallery_released.png")) {
        return 1;
    }
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    settle(app, 2);
    app.frame();  // after close: must do nothing
    return app.running() ? 1 : 0;
}

int bench(int frames)
{
    gallery app;
    app.vsync = false;
    app.open(u"d2dui gallery", 440, 600);
    std::vector<double> whole;
    std::vector<double> paint;
    for (int i = 0; i < frames && app.pump(); ++i) {
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
    std::printf("gallery, %zu frames (%s):\n", whole.size(), app.uses_composition() ? "composition" : "window swap chain");
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
        gallery app;
        app.title_strip_height = 44;
        return app.run(u"d2dui gallery", 440, 600);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gallery: %s\n", e.what());
        return 2;
    }
}
