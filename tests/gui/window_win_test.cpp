// The window and its procedure on a real Windows API (under Wine in CI): title-strip hit testing,
// resizing, pointer input through messages, capture and focus loss, close.

#include <gtest/gtest.h>

#include <windows.h>
#include <windowsx.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "d2dui/application.h"
#include "d2dui/frame_schedule.h"
#include "d2dui/platform_services.h"

namespace d2dui {
namespace {

class counting_button : public clickable_widget {
public:
    int clicks = 0;
    counting_button() { on_click = [this] { ++clicks; }; }
};

// A widget that stays "animating" for `moving` more frames, asking for each.
class moving_widget : public widget {
public:
    int moving = 0;
    int updates = 0;

protected:
    void on_update(float) override
    {
        ++updates;
        if (moving > 0) {
            --moving;
            frames().request_frame();
        }
    }
};

class test_app : public application {
public:
    widget* drag = nullptr;
    moving_widget* mover = nullptr;
    counting_button* strip_button = nullptr;
    counting_button* content_button = nullptr;
    int builds = 0, starts = 0, updates = 0, frame_begins = 0;

protected:
    void on_build(widget& root) override
    {
        ++builds;
        drag = root.emplace_child<widget>();
        drag->set_bounds(10, 10, 100, 20);
        drag->drag_region = true;
        strip_button = root.emplace_child<counting_button>();
        strip_button->set_bounds(400, 8, 28, 28);
        strip_button->cursor = cursor_hand;
        content_button = root.emplace_child<counting_button>();
        content_button->set_bounds(20, 100, 100, 40);
        mover = root.emplace_child<moving_widget>();
    }
    void on_start(render_context&) override { ++starts; }
    void on_update(render_context&) override { ++updates; }
    void on_frame_begin(render_context&) override { ++frame_begins; }
};

class window : public ::testing::Test {
protected:
    void SetUp() override
    {
        app = std::make_unique<test_app>();
        app->vsync = false;
        app->title_strip_height = 44;
        app->open(u"window test", 440, 600);
        hwnd = static_cast<HWND>(app->window_handle());
        ASSERT_NE(hwnd, nullptr);
    }
    void TearDown() override { app.reset(); }

    LPARAM client(float x, float y) const
    {
        const float s = app->dpi_scale() * app->zoom;
        return MAKELPARAM(static_cast<int>(x * s), static_cast<int>(y * s));
    }
    LPARAM screen(float x, float y) const
    {
        const float s = app->dpi_scale() * app->zoom;
        POINT p{static_cast<LONG>(x * s), static_cast<LONG>(y * s)};
        ClientToScreen(hwnd, &p);
        return MAKELPARAM(p.x, p.y);
    }
    // The system pointer goes where the messages say, so the system's own tracking agrees.
    void point_at(float x, float y)
    {
        const LPARAM p = screen(x, y);
        SetCursorPos(GET_X_LPARAM(p), GET_Y_LPARAM(p));
        SendMessageW(hwnd, WM_MOUSEMOVE, 0, client(x, y));
    }
    int hit(float x, float y) const { return static_cast<int>(SendMessageW(hwnd, WM_NCHITTEST, 0, screen(x, y))); }

    std::unique_ptr<test_app> app;
    HWND hwnd = nullptr;
};

TEST_F(window, opens_built_started_and_sized_in_dips)
{
    EXPECT_EQ(app->builds, 1);
    EXPECT_EQ(app->starts, 1);
    EXPECT_TRUE(app->running());
    EXPECT_TRUE(IsWindowVisible(hwnd));
    RECT rc{};
    GetClientRect(hwnd, &rc);
    EXPECT_EQ(rc.right, static_cast<LONG>(440 * app->dpi_scale() + 0.5f));
    EXPECT_FLOAT_EQ(app->root()->area().width, 440);
    EXPECT_FLOAT_EQ(app->root()->area().height, 600);
    EXPECT_EQ(GetWindowLongW(hwnd, GWL_STYLE) & (WS_POPUP | WS_MINIMIZEBOX), WS_POPUP | WS_MINIMIZEBOX);
    EXPECT_NE(GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_NOREDIRECTIONBITMAP, 0);
    wchar_t name[64] = {};
    EXPECT_EQ(GetClassNameW(hwnd, name, 64), 12);
}

TEST_F(window, title_strip_is_caption_on_empty_space_and_drag_regions_only)
{
    EXPECT_EQ(hit(200, 20), HTCAPTION);  // empty strip
    EXPECT_EQ(hit(50, 20), HTCAPTION);   // drag region
    EXPECT_EQ(hit(410, 20), HTCLIENT);   // a button in the strip
    EXPECT_EQ(hit(200, 100), HTCLIENT);  // below the strip
    EXPECT_EQ(hit(60, 120), HTCLIENT);
}

TEST_F(window, clicks_arrive_through_messages_and_a_focus_loss_cancels_the_press)
{
    point_at(60, 120);
    SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, client(60, 120));
    EXPECT_EQ(app->pressed_buttons, 1u);
    EXPECT_EQ(GetCapture(), hwnd);
    SendMessageW(hwnd, WM_LBUTTONUP, 0, client(60, 120));
    EXPECT_EQ(app->content_button->clicks, 1);  // the capture's end does not cancel its own release
    EXPECT_EQ(app->pressed_buttons, 0u);

    SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, client(60, 120));
    EXPECT_TRUE(app->content_button->pressed());
    SendMessageW(hwnd, WM_KILLFOCUS, 0, 0);
    EXPECT_FALSE(app->content_button->pressed());
    EXPECT_EQ(app->pressed_buttons, 0u);
    SendMessageW(hwnd, WM_LBUTTONUP, 0, client(60, 120));
    EXPECT_EQ(app->content_button->clicks, 1);
    ReleaseCapture();
}

TEST_F(window, the_cursor_follows_the_hovered_widget_and_leaving_clears_the_hover)
{
    point_at(410, 20);
    EXPECT_EQ(input().hovered_widget, app->strip_button);
    EXPECT_TRUE(SendMessageW(hwnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)));
    EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_HAND));
    SendMessageW(hwnd, WM_MOUSELEAVE, 0, 0);
    EXPECT_EQ(input().hovered_widget, nullptr);
    EXPECT_FALSE(app->strip_button->hovered());
}

TEST_F(window, a_resize_resizes_the_swap_chain_and_the_root)
{
    SetWindowPos(hwnd, nullptr, 0, 0, 500, 700, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    app->pump();
    EXPECT_FLOAT_EQ(app->root()->area().width, 500 / app->dpi_scale());
    EXPECT_FLOAT_EQ(app->root()->area().height, 700 / app->dpi_scale());
    frame_pixels pixels;
    app->capture_next_frame(pixels);
    app->frame();
    ASSERT_TRUE(pixels.captured);
    EXPECT_EQ(pixels.width, 500);
    EXPECT_EQ(pixels.height, 700);
    EXPECT_GE(app->updates, 1);
}

TEST_F(window, a_move_to_a_150_percent_monitor_keeps_the_tree_in_dips)
{
    // What the system sends when the window reaches a 144-DPI monitor: the new DPI and the
    // suggested rectangle, 660 x 900 pixels for the 440 x 600 DIP window.
    RECT suggested{100, 50, 100 + 660, 50 + 900};
    SendMessageW(hwnd, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    EXPECT_FLOAT_EQ(app->dpi_scale(), 1.5f);
    EXPECT_FLOAT_EQ(app->context().dpi_scale, 1.5f);
    RECT client{};
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, 660);
    EXPECT_EQ(client.bottom, 900);
    EXPECT_FLOAT_EQ(app->root()->area().width, 440);
    EXPECT_FLOAT_EQ(app->root()->area().height, 600);
    // Pointer pixels map back to the same widgets.
    SetCursorPos(100 + 90, 50 + 180);
    SendMessageW(hwnd, WM_MOUSEMOVE, 0, MAKELPARAM(90, 180));  // (60, 120) DIPs
    EXPECT_EQ(input().hovered_widget, app->content_button);
    frame_pixels pixels;
    app->capture_next_frame(pixels);
    app->frame();
    ASSERT_TRUE(pixels.captured);
    EXPECT_EQ(pixels.width, 660);
}

TEST_F(window, close_ends_the_loop_and_later_frames_touch_nothing)
{
    const int begins = app->frame_begins;
    const int updates = app->updates;
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    EXPECT_FALSE(app->running());
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(app->pump());
    app->frame();  // after close: only the frame-begin hook runs
    EXPECT_EQ(app->frame_begins, begins + 1);
    EXPECT_EQ(app->updates, updates);
    app->close();
    app->frame();
    EXPECT_EQ(app->exit_code(), 0);
}

// Loop turns for `duration` (each bounded by the end of that time).
void run_turns(application& app, std::chrono::milliseconds duration)
{
    const std::int64_t end = monotonic_ns() + std::chrono::nanoseconds(duration).count();
    while (monotonic_ns() < end && app.turn(end)) {
    }
}

TEST_F(window, the_loop_draws_only_what_was_asked_for_and_sleeps_in_between)
{
    run_turns(*app, std::chrono::milliseconds(300));  // the show's own messages settle
    std::uint64_t drawn = app->frames_drawn();
    std::uint64_t turns = app->loop_turns();
    const int updates = app->updates;
    run_turns(*app, std::chrono::milliseconds(1000));
    EXPECT_EQ(app->frames_drawn(), drawn);   // idle: no frame
    EXPECT_LE(app->loop_turns() - turns, 5u);  // and hardly a wake-up
    EXPECT_GE(app->updates, updates);        // the poll still runs on every wake-up

    // Input asks for one frame.
    point_at(60, 120);
    run_turns(*app, std::chrono::milliseconds(100));
    EXPECT_GE(app->frames_drawn(), drawn + 1);
    EXPECT_LE(app->frames_drawn(), drawn + 3);
    drawn = app->frames_drawn();

    // An animation draws each of its frames, then the window rests again.
    app->mover->moving = 10;
    frames().request_frame();
    const std::int64_t give_up = monotonic_ns() + 10'000'000'000;
    while ((app->mover->moving > 0 || frames().frame_due(monotonic_ns())) && monotonic_ns() < give_up) {
        app->turn(give_up);
    }
    run_turns(*app, std::chrono::milliseconds(300));
    EXPECT_EQ(app->frames_drawn(), drawn + 11);
    drawn = app->frames_drawn();
    // Another process reads the same counters through the registered message.
    const UINT counters = RegisterWindowMessageW(application::counters_message_name);
    EXPECT_EQ(static_cast<std::uint64_t>(SendMessageW(hwnd, counters, 0, 0)), app->loop_turns());
    EXPECT_EQ(static_cast<std::uint64_t>(SendMessageW(hwnd, counters, 1, 0)), drawn);

    // A wake from another thread runs the poll at once and draws nothing by itself.
    turns = app->loop_turns();
    const int before_wake = app->updates;
    std::thread waker([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        application::wake();
    });
    const std::int64_t limit = monotonic_ns() + 5'000'000'000;
    app->turn(limit);
    waker.join();
    EXPECT_LT(monotonic_ns(), limit);  // it did not sleep to the limit
    EXPECT_GT(app->updates, before_wake);
    EXPECT_EQ(app->frames_drawn(), drawn);
}

TEST_F(window, a_minimized_window_draws_nothing_until_it_is_restored)
{
    run_turns(*app, std::chrono::milliseconds(200));
    ShowWindow(hwnd, SW_MINIMIZE);
    run_turns(*app, std::chrono::milliseconds(200));
    if (!IsIconic(hwnd)) {
        GTEST_SKIP() << "this display does not minimise windows";
    }
    const std::uint64_t drawn = app->frames_drawn();
    const std::uint64_t turns = app->loop_turns();
    app->mover->moving = 1000;  // an animation that would run all the time
    frames().request_frame();
    run_turns(*app, std::chrono::milliseconds(500));
    EXPECT_EQ(app->frames_drawn(), drawn);
    EXPECT_LE(app->loop_turns() - turns, 5u);  // asleep, not spinning on the pending frame
    ShowWindow(hwnd, SW_RESTORE);
    run_turns(*app, std::chrono::milliseconds(200));
    EXPECT_GT(app->frames_drawn(), drawn);
    app->mover->moving = 0;
}

TEST_F(window, platform_services_reach_the_window)
{
    platform_services* platform = app->context().platform;
    ASSERT_NE(platform, nullptr);
    ASSERT_TRUE(platform->set_clipboard_text(u"vless://节点 #1"));
    EXPECT_EQ(platform->clipboard_text(), u"vless://节点 #1");
    platform->set_ime_position({20, 100}, 16);  // no input method here: must simply not fail
    platform->close_window();                   // posted: the loop sees it on its next drain
    EXPECT_TRUE(app->running());
    for (int i = 0; i < 50 && app->pump(); ++i) {
        app->frame();
    }
    EXPECT_FALSE(app->running());
    EXPECT_FALSE(IsWindow(hwnd));
}

// A handler that throws: the window procedure keeps the exception, the loop ends with exit code
// 1 and `run` raises it again once the window is closed.
class throwing_widget : public widget {
public:
    bool raise_other = false;  // something that is no std::exception

protected:
    bool on_event(const input_event& e) override
    {
        if (!e.is_keyboard && e.kind == input_kind::pointer_down) {
            if (raise_other) {
                throw 42;
            }
            throw std::runtime_error("handler failed");
        }
        return false;
    }
};

class throwing_app : public application {
public:
    throwing_widget* target = nullptr;
    bool click_at_start = false;

protected:
    void on_build(widget& root) override
    {
        target = root.emplace_child<throwing_widget>();
        target->set_bounds(20, 100, 100, 40);
    }
    void on_start(render_context&) override
    {
        if (click_at_start) {
            const float s = dpi_scale() * zoom;
            PostMessageW(static_cast<HWND>(window_handle()), WM_LBUTTONDOWN, MK_LBUTTON,
                         MAKELPARAM(static_cast<int>(40 * s), static_cast<int>(120 * s)));
        }
    }
};

TEST(window_failure, an_exception_in_a_handler_ends_the_loop_and_run_raises_it)
{
    for (const bool other : {false, true}) {
        throwing_app app;
        app.vsync = false;
        app.open(u"failure test", 440, 600);
        app.target->raise_other = other;
        const auto hwnd = static_cast<HWND>(app.window_handle());
        const float s = app.dpi_scale() * app.zoom;
        EXPECT_EQ(SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON,
                               MAKELPARAM(static_cast<int>(40 * s), static_cast<int>(120 * s))),
                  0);
        EXPECT_FALSE(app.running());
        EXPECT_FALSE(app.pump());
        EXPECT_EQ(app.exit_code(), 1);
        ASSERT_TRUE(app.failure());
        EXPECT_EQ(other, [&] {
            try {
                std::rethrow_exception(app.failure());
            } catch (const std::runtime_error&) {
                return false;
            } catch (...) {
                return true;
            }
        }());
    }
    throwing_app app;
    app.vsync = false;
    app.click_at_start = true;
    EXPECT_THROW(app.run(u"failure test", 440, 600), std::runtime_error);
}

// What a window draws with device objects: a PNG bitmap, an opacity layer, a rounded layer mask
// and text.
class device_objects_widget : public widget {
public:
    std::shared_ptr<bitmap> icon;
    layer_cache layer;

protected:
    void on_mount() override { icon = context()->load_png(112); }
    void on_unmount() override { icon.reset(); }
    void on_paint(render_context& rc) override
    {
        rc.fill_rect({0, 0, 440, 600}, {0.1f, 0.12f, 0.11f, 1});
        rc.push_opacity(layer, 0.6f);
        rc.fill_rounded_rect({20, 20, 200, 60}, 11, {0.3f, 0.75f, 0.6f, 1});
        rc.pop_clip();
        rc.push_layer({20, 100, 120, 40}, 11);
        rc.fill_rect({0, 0, 440, 600}, {0.8f, 0.3f, 0.3f, 1});
        rc.pop_clip();
        rc.draw_bitmap(*icon, {250, 20, 28, 28}, 1.0f);
        text_style t;
        t.text = u"Device lost, drawn again";
        t.x = 20;
        t.y = 200;
        t.width = 400;
        t.height = 40;
        t.size = 16;
        t.color = {1, 1, 1, 1};
        rc.draw_text(t);
    }
};

class device_objects_app : public application {
protected:
    void on_build(widget& root) override { root.emplace_child<device_objects_widget>()->set_bounds(0, 0, 440, 600); }
};

TEST(device_loss, the_window_recreates_its_devices_and_draws_the_same_pixels_again)
{
    device_objects_app app;
    app.vsync = false;
    app.open(u"device loss test", 440, 600);
    frame_pixels before;
    app.capture_next_frame(before);
    app.frame();
    ASSERT_TRUE(before.captured);
    const std::uint64_t generation = app.context().device_generation();
    int losses = 0;
    for (const device_loss_point where : {device_loss_point::end_draw, device_loss_point::present}) {
        SCOPED_TRACE(where == device_loss_point::end_draw ? "EndDraw" : "Present");
        const std::uint64_t drawn = app.frames_drawn();
        app.lose_device_for_testing(where);
        app.frame();  // the loss: skipped, devices made again
        ++losses;
        EXPECT_EQ(app.devices_recreated(), static_cast<std::uint64_t>(losses));
        EXPECT_EQ(app.context().device_generation(), generation + static_cast<std::uint64_t>(losses));
        EXPECT_EQ(app.frames_drawn(), drawn);
        EXPECT_TRUE(app.running());
        EXPECT_TRUE(frames().frame_due(monotonic_ns()));  // the loop draws again at once
        frame_pixels after;
        app.capture_next_frame(after);
        app.frame();
        ASSERT_TRUE(after.captured);
        EXPECT_EQ(app.frames_drawn(), drawn + 1);
        ASSERT_EQ(after.width, before.width);
        ASSERT_EQ(after.height, before.height);
        std::size_t differing = 0;
        for (std::size_t i = 0; i < before.bgra.size(); ++i) {
            differing += before.bgra[i] != after.bgra[i] ? 1 : 0;
        }
        EXPECT_EQ(differing, 0u);
    }
}

TEST(window_before_open, a_frame_before_the_window_exists_does_nothing)
{
    test_app app;
    app.frame();
    EXPECT_EQ(app.frame_begins, 1);
    EXPECT_EQ(app.updates, 0);
    EXPECT_EQ(app.root(), nullptr);
    EXPECT_FLOAT_EQ(app.dpi_scale(), 1.0f);
}

}  // namespace
}  // namespace d2dui
