#pragma once
// The base of the program's application object: one top-level window without system frame, the
// GPU devices and the render_context, the root widget and the frame loop (Windows; the portable
// rules it applies live in window_rules.h).
//
// The window draws through a flip-model swap chain with premultiplied alpha hosted by
// DirectComposition, so the DWM backdrop shows where widgets leave pixels transparent. Where
// composition is unavailable (some remote sessions, compatibility layers) it falls back to a
// swap chain on the window itself with the alpha channel ignored; the window is then opaque.
//
// The loop draws only when a frame was asked for (frame_schedule.h: input, size and DPI changes,
// paint requests, the application's poll, running animations) and sleeps in between, also while
// the window is minimised or fully occluded. Other threads wake it with `wake`, never with a
// window message; the application's poll (`on_update`) runs on every wake-up.
//
// Set-up failures (COM, devices, swap chain) raise std::runtime_error
// "<step> (HRESULT = 0xXXXXXXXX)". Everything runs on the thread that constructed the object.

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "d2dui/render_context.h"
#include "d2dui/widget.h"

namespace d2dui {

// Pixels read back from the back buffer of one frame, before it was presented.
struct frame_pixels {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> bgra;  // rows top to bottom, 4 bytes per pixel
    bool opaque = false;             // alpha was ignored (window swap chain): treat it as 255
    bool captured = false;
};

// Where a simulated device loss strikes (test seam).
enum class device_loss_point { none, end_draw, present };

class application {
public:
    application();
    virtual ~application();
    application(const application&) = delete;
    application& operator=(const application&) = delete;

    std::uint32_t swap_chain_flags = 0;  // passed to swap-chain creation and resizing
    bool vsync = true;                   // present with sync interval 1
    float zoom = 1.0f;                   // content scale on top of the DPI scale
    float title_strip_height = 50.0f;    // DIPs; empty space and drag regions here move the window
    float min_height = 0;                // DIPs the window may shrink to on a short work area
    std::uint32_t pressed_buttons = 0;   // mouse buttons held (the mouse is captured while > 0)

    // Opens the window (`width` x `height` DIPs, centred on the primary monitor's work area; as
    // tall as the work area, down to `min_height`, where that is shorter), runs the loop
    // until the window is destroyed, returns the quit message's exit code. When an exception
    // ended the loop (see `fail`), `run` closes the window and raises it again.
    int run(const std::u16string& title, float width, float height);

    // An exception caught at a message entry point: writes its text to the log (standard error
    // and the debugger's output), keeps the first one for `failure` and `run`, and ends the loop
    // with exit code 1. The toolkit's window procedure does this for every exception its handlers
    // raise; a subclass procedure calls it from its own catch. No exception leaves a window
    // procedure.
    void fail(std::exception_ptr failure);
    std::exception_ptr failure() const;

    // `run` in steps, for callers that drive the loop themselves (tests, the gallery):
    // `open` creates the window and everything in it, draws a first frame and shows it; `pump`
    // waits up to 1 ms for messages and dispatches all pending ones, returning false once the
    // window has gone; `close` unmounts the tree and releases the window's objects (also done by
    // `run` and the destructor).
    void open(const std::u16string& title, float width, float height);
    bool pump();
    void close();
    // One turn of `run`'s loop: sleeps until input, a message, `wake` or the schedule's next
    // deadline (at the latest until `limit_ns` on the monotonic clock of frame_schedule.h),
    // dispatches the messages, runs the poll and draws a frame when one is due and the window can
    // be seen. False once the window has gone.
    bool turn(std::int64_t limit_ns);
    // Wakes the loop from any thread (an event the loop waits on; no message is posted).
    static void wake();

    // One frame at once, whatever the schedule says: poll, update, paint, present. Does nothing before `open`, after the window has been
    // asked to close, or while there is no draw target.
    void frame();

    render_context& context();
    widget* root() const;
    void* window_handle() const;
    float dpi_scale() const;
    bool running() const;
    bool uses_composition() const;
    int exit_code() const;

    // The next successful frame is read back into `out` before it is presented.
    void capture_next_frame(frame_pixels& out);
    // CPU time of the last frame's update and paint including the end of drawing, without
    // Present (nanoseconds).
    std::int64_t last_frame_cpu_ns() const;
    // The part of it before the end of drawing: the tree's update and the recording of its
    // drawing commands (the end of drawing then rasterises them).
    std::int64_t last_frame_paint_ns() const;
    // Frames presented since `open` (the first one included) and wake-ups of the loop's waits.
    std::uint64_t frames_drawn() const;
    std::uint64_t loop_turns() const;
    // The same two counters for another process (a benchmark driving the window from outside):
    // the window answers the registered window message of this name with loop_turns() for
    // wparam 0 and frames_drawn() for wparam 1. Asking costs the loop one turn.
    static constexpr const wchar_t* counters_message_name = L"d2dui window counters";

    // A lost device (EndDraw answering D2DERR_RECREATE_TARGET, Present a removed or reset device)
    // skips that frame, recreates the devices, the swap chain and every device object, and the
    // next frame draws again. Test seam: the next frame's EndDraw or Present reports a loss as if
    // the device had gone. `devices_recreated` counts the recoveries.
    void lose_device_for_testing(device_loss_point where);
    std::uint64_t devices_recreated() const;

protected:
    virtual void on_build(widget& root);
    virtual void on_start(render_context& rc);
    virtual void on_update(render_context& rc);
    virtual void on_frame_begin(render_context& rc);

private:
    struct impl;
    friend struct impl;
    std::unique_ptr<impl> impl_;
};

// Writes BGRA pixels as a PNG file (WIC). Raises std::runtime_error on failure.
void write_png_file(const std::u16string& path, const frame_pixels& pixels);

}  // namespace d2dui
