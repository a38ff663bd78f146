// The window's work without a window (Linux), for bench/app_window.sh: the controller, the whole
// widget tree painted every frame into a recording context (no rasteriser behind it) and the real
// engine against a subscription of many nodes.
//
//   app_window_native SUBSCRIPTION_URL [IDLE_SECONDS]
//
// Prints, one figure a line:
//   first_frame_ms     construction, tree, engine start and the first update and paint
//   settled_ms         from the start until the list is final (loaded and every node probed)
//   nodes              rows in the final list
//   connected_ms       from Connect until the session runs
//   rss_anon_kib_*     the process's private memory (RssAnon) at start, after the first frame,
//                      with the list settled and while connected
//   idle_cpu_percent   CPU time over wall time while connected, frames at 60 per second
//   frame_us           mean CPU time of one frame (poll, update, paint) while idle
// Every wait is bounded (120 s); a figure that could not be reached ends the run with 1.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "app/gui/controller.h"
#include "base/text.h"
#include "tests/support/recording_context.h"

namespace {

using clock_type = std::chrono::steady_clock;

long rss_anon_kib()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "RssAnon:") {
            long value = 0;
            status >> value;
            return value;
        }
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

double cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ms_between(clock_type::time_point a, clock_type::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

struct window_less {
    pelto::testing::recording_context rc;
    d2dui::widget root;
    pelto::gui::controller& app;
    bool may_close = false;

    explicit window_less(pelto::gui::controller& c) : app(c)
    {
        root.set_bounds(0, 0, 440, 600);
        // The resources the screens load, as the Windows build embeds them (the settings and
        // refresh icons, and the PNG images of the title and the node rows).
        rc.svg_present[501] = rc.svg_present[502] = true;
        for (int id : {110, 111, 112, 120}) {
            rc.png_sizes[id] = {28, 28};
        }
    }

    void frame()
    {
        may_close = app.poll(440, 600) || may_close;
        root.update(1.0f / 60);
        rc.reset_transform();
        root.paint(rc);
        rc.clear();  // the recording is not kept: its size is no part of the window's memory
        rc.paths.clear();
    }

    // Frames at 60 per second until `done` or the limit.
    template <typename F>
    bool frames_until(F done, std::chrono::seconds limit = std::chrono::seconds(120))
    {
        const auto deadline = clock_type::now() + limit;
        auto next = clock_type::now();
        while (clock_type::now() < deadline) {
            frame();
            if (done()) {
                return true;
            }
            next += std::chrono::microseconds(16667);
            std::this_thread::sleep_until(next);
        }
        return false;
    }
};

int fail(const char* what)
{
    std::fprintf(stderr, "app_window_native: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: app_window_native SUBSCRIPTION_URL [IDLE_SECONDS]\n");
        return 2;
    }
    const int idle_seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    const long rss_start = rss_anon_kib();

    const auto begun = clock_type::now();
    pelto::gui::start_record start;
    start.prefs.subscription_url = pelto::utf8_to_utf16(argv[1]);
    pelto::gui::system_calls calls;
    calls.is_elevated = [] { return false; };
    calls.relaunch_elevated = [] { return false; };
    calls.store_preferences = [](const pelto::preferences&) { return true; };
    pelto::gui::controller app(start, pelto::gui::real_engine(), calls);
    window_less w(app);
    app.build(w.root);
    w.root.mount(w.rc);
    app.start();
    w.frame();
    const auto first_frame = clock_type::now();
    const long rss_first = rss_anon_kib();

    pelto::ui::screens& s = app.screens();
    if (!w.frames_until([&] { return app.engine_state() == pelto::engine_state::ready && s.nodes->settled(); })) {
        return fail("the node list did not settle within 120 s");
    }
    const auto settled = clock_type::now();
    const std::size_t nodes = s.nodes->entries().size();
    const long rss_settled = rss_anon_kib();

    const auto connect_begun = clock_type::now();
    app.connect_or_disconnect();
    if (!w.frames_until([&] { return app.engine_state() == pelto::engine_state::running; })) {
        return fail("no session within 120 s of Connect");
    }
    const auto connected = clock_type::now();

    // Idle while connected: frames go on, nothing else happens.
    w.frames_until([] { return false; }, std::chrono::seconds(1));
    const double cpu_before = cpu_seconds();
    const auto idle_begun = clock_type::now();
    int frames = 0;
    double frame_cpu = 0;
    w.frames_until(
        [&] {
            ++frames;
            return false;
        },
        std::chrono::seconds(idle_seconds));
    const double idle_wall = ms_between(idle_begun, clock_type::now()) / 1000.0;
    const double idle_cpu = cpu_seconds() - cpu_before;
    {
        const double before = cpu_seconds();
        for (int i = 0; i < 600; ++i) {
            w.frame();
        }
        frame_cpu = (cpu_seconds() - before) / 600;
    }
    const long rss_connected = rss_anon_kib();

    std::printf("first_frame_ms %.2f\n", ms_between(begun, first_frame));
    std::printf("settled_ms %.0f\n", ms_between(begun, settled));
    std::printf("nodes %zu\n", nodes);
    std::printf("connected_ms %.0f\n", ms_between(connect_begun, connected));
    std::printf("rss_anon_kib_start %ld\n", rss_start);
    std::printf("rss_anon_kib_first_frame %ld\n", rss_first);
    std::printf("rss_anon_kib_settled %ld\n", rss_settled);
    std::printf("rss_anon_kib_connected %ld\n", rss_connected);
    std::printf("idle_cpu_percent %.2f (%d frames in %.1f s)\n", 100.0 * idle_cpu / idle_wall, frames, idle_wall);
    std::printf("frame_us %.1f\n", frame_cpu * 1e6);
    std::fflush(stdout);

    app.request_close();
    if (!w.frames_until([&] { return w.may_close; }, std::chrono::seconds(30))) {
        return fail("the engine did not end within 30 s of the close");
    }
    return 0;
}
