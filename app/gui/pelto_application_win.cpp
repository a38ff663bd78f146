#include "app/gui/pelto_application.h"

#include <windows.h>

#include <chrono>
#include <stdexcept>

#include "base/obfuscated.h"
#include "d2dui/application.h"
#include "d2dui/frame_schedule.h"
#include "base/localized_text.h"

namespace pelto::gui {
namespace {

class pelto_application;
pelto_application* current_application = nullptr;  // UI thread only

class pelto_application final : public d2dui::application {
public:
    explicit pelto_application(const start_record& start) : controller_(start, real_engine(), real_system_calls())
    {
        title_strip_height = 44;
        swap_chain_flags = 0;
        min_height = ui::min_window_height;
        set_ui_wake(&d2dui::application::wake);
    }
    ~pelto_application() override
    {
        if (window_ != nullptr && previous_proc_ != nullptr && IsWindow(window_)) {
            SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_proc_));
        }
        current_application = nullptr;
        set_ui_wake(nullptr);
    }

protected:
    void on_build(d2dui::widget& root) override
    {
        controller_.build(root);
        const d2dui::rect& r = root.area();
        ui::layout_controls(controller_.screens(), r.width, r.height);
        controller_.update_controls();
    }
    void on_start(d2dui::render_context&) override
    {
        current_application = this;
        window_ = static_cast<HWND>(window_handle());
        previous_proc_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&subclass_proc)));
        controller_.start();
    }
    void on_update(d2dui::render_context&) override
    {
        const d2dui::rect& r = root()->area();
        if (controller_.poll(r.width, r.height)) {
            PostMessageW(window_, WM_CLOSE, 0, 0);
        }
        if (controller_.poll_changed()) {
            d2dui::frames().request_frame();
        }
        if (const auto deadline = controller_.close_deadline()) {
            d2dui::frames().wake_at(
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count());
        }
    }

private:
    // Guarded like the toolkit's procedure: an exception ends the loop through `fail`, and
    // `run_application` then shows the set-up failure text.
    static LRESULT CALLBACK subclass_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
    {
        pelto_application* self = current_application;
        if (self == nullptr || self->previous_proc_ == nullptr) {
            return DefWindowProcW(hwnd, message, wparam, lparam);
        }
        try {
            return self->handle(hwnd, message, wparam, lparam);
        } catch (...) {
            self->fail(std::current_exception());
            return 0;
        }
    }

    LRESULT handle(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
    {
        switch (message) {
        case WM_CLOSE:
            if (!controller_.on_close_message()) {
                return 0;
            }
            break;
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            // The process is ended once this returns: put the system proxy back and stop TUN
            // mode now rather than leave the system pointing at a port nobody listens on.
            if (wparam != FALSE) {
                controller_.end_session(std::chrono::milliseconds(4000));
            }
            return 0;
        case WM_KEYDOWN: {
            const bool repeat = ((lparam >> 30) & 1) != 0;
            const bool shift = GetKeyState(VK_SHIFT) < 0;
            if (controller_.on_key(static_cast<std::uint32_t>(wparam), shift, repeat)) {
                return 0;
            }
            break;
        }
        default:
            break;
        }
        return CallWindowProcW(previous_proc_, hwnd, message, wparam, lparam);
    }

    controller controller_;
    HWND window_ = nullptr;
    WNDPROC previous_proc_ = nullptr;
};

}  // namespace

int run_application(const start_record& start)
{
    // A set-up failure, or any exception that ended the window's loop (already logged by
    // `fail`): the window is gone by now; say so rather than vanish.
    try {
        pelto_application app(start);
        return app.run(PELTO_TEXT(u"Pelto").str(), 440, 600);
    } catch (...) {
        const std::u16string text = localized_text(message_id::unexpected_error);
        MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text.c_str()), PELTO_TEXT(L"Pelto").c_str(),
                    MB_OK | MB_ICONERROR);
        return 1;
    }
}

}  // namespace pelto::gui
