// Start-up timing of a windowed program from outside, for bench/app_window.sh under Wine.
//
//   app_window_timing.exe RUNS PROGRAM.exe   starts PROGRAM RUNS times, one after the other; for
//       each run prints the milliseconds from CreateProcess to its first visible top-level
//       window ("shown") and, when the screen can be read back, to the first time that
//       window's pixels hold more than a few colours ("drawn"); then closes it with WM_CLOSE and
//       waits for its end. pelto.exe shows its window right after its first frame was drawn and
//       presented, so "shown" is its first frame.
//   app_window_timing.exe --connect SECONDS PROGRAM.exe   starts PROGRAM, clicks Connect until
//       the system proxy is set (up to 5 minutes, for a long list to be probed), prints
//       "connected after MS ms", keeps it connected until the line "release" arrives on standard
//       input or SECONDS have passed (the caller measures meanwhile), closes it and checks that
//       it exits with 0; a program that ends by itself while held is a failure. Meanwhile each
//       line "counters" prints "counters: TURNS FRAMES", the window's loop turns and frames drawn
//       so far
//   app_window_timing.exe --plain-window     the baseline: a plain Win32 window that paints one
//       line of GDI text and runs until WM_CLOSE (what a program costs under Wine before any of
//       its own work)
// Every other wait is bounded too (20 s for the window, 20 s for the end).
#include <windows.h>

#include "d2dui/application.h"
#include "tests/gui/window_of_win.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

using pelto::testing::window_of;

// Distinct colours in the window's area as the screen shows it (0 when it cannot be read).
std::size_t colours_on_screen(HWND hwnd)
{
    RECT r{};
    if (!GetWindowRect(hwnd, &r) || r.right <= r.left || r.bottom <= r.top) {
        return 0;
    }
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    std::set<std::uint32_t> colours;
    if (bitmap != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY)) {
            const auto* p = static_cast<const std::uint32_t*>(bits);
            for (int i = 0; i < w * h && colours.size() < 64; i += 7) {
                colours.insert(p[i] & 0xFFFFFF);
            }
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return colours.size();
}

double ms_since(const LARGE_INTEGER& from)
{
    LARGE_INTEGER now{};
    LARGE_INTEGER freq{};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return static_cast<double>(now.QuadPart - from.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
}

DWORD proxy_enable()
{
    DWORD value = 0;
    DWORD size = sizeof value;
    RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                 L"ProxyEnable", RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

// The primary button (20, 494, 346 x 44 DIPs in the 440 x 600 window); clicked while the list
// still loads it is disabled, so the caller clicks again.
void click_primary(HWND hwnd)
{
    const UINT dpi = GetDpiForWindow(hwnd);
    const float scale = dpi == 0 ? 1.0f : static_cast<float>(dpi) / 96.0f;
    const LPARAM at = MAKELPARAM(static_cast<int>(193 * scale), static_cast<int>(516 * scale));
    PostMessageW(hwnd, WM_MOUSEMOVE, 0, at);
    PostMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(hwnd, WM_LBUTTONUP, 0, at);
}

int plain_window()
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = [](HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) -> LRESULT {
        if (message == WM_PAINT) {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            TextOutW(dc, 20, 20, L"plain window", 12);
            EndPaint(hwnd, &ps);
            return 0;
        }
        if (message == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcW(hwnd, message, wparam, lparam);
    };
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"plain_window";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"plain", WS_POPUP, 420, 212, 440, 600, nullptr, nullptr,
                                wc.hInstance, nullptr);
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

// Starts `program` with `arguments` appended to its command line and notes the moment; false with
// a message when it cannot start.
bool start_program(const std::wstring& program, const std::wstring& arguments, PROCESS_INFORMATION& out_process,
                   LARGE_INTEGER& out_begun)
{
    STARTUPINFOW si{};
    si.cb = sizeof si;
    std::wstring command = L"\"" + program + L"\"" + arguments;
    QueryPerformanceCounter(&out_begun);
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &out_process)) {
        std::fprintf(stderr, "timing: the program did not start\n");
        return false;
    }
    return true;
}

// The program's window once it shows, looking again every `poll_ms`; null after 20 s from `begun`
// or when the program ends first.
HWND wait_for_window(const PROCESS_INFORMATION& process, const LARGE_INTEGER& begun, DWORD poll_ms)
{
    while (ms_since(begun) < 20000) {
        if (HWND hwnd = window_of(process.dwProcessId)) {
            return hwnd;
        }
        if (WaitForSingleObject(process.hProcess, poll_ms) == WAIT_OBJECT_0) {
            return nullptr;
        }
    }
    return nullptr;
}

int connect_and_hold(int seconds, const std::wstring& program)
{
    PROCESS_INFORMATION pi{};
    LARGE_INTEGER begun{};
    if (!start_program(program, L"", pi, begun)) {
        return 1;
    }
    HWND hwnd = wait_for_window(pi, begun, 10);
    bool connected = false;
    while (hwnd != nullptr && !connected && ms_since(begun) < 300000) {
        click_primary(hwnd);
        for (int i = 0; i < 20 && !connected; ++i) {
            Sleep(100);
            connected = proxy_enable() == 1;
        }
    }
    if (!connected) {
        std::fprintf(stderr, "timing: %s\n", hwnd == nullptr ? "no window within 20 s" : "not connected within 5 minutes");
        TerminateProcess(pi.hProcess, 99);
        return 1;
    }
    std::printf("connected after %.0f ms\n", ms_since(begun));
    std::fflush(stdout);
    // The caller says when its measurement is over; its clock and ours never have to agree.
    // Static: the reader may still be in its read when this returns (the process's end stops it).
    struct hold {
        HANDLE released;
        HWND window;
    };
    static const hold held{CreateEventW(nullptr, TRUE, FALSE, nullptr), hwnd};
    HANDLE reader = CreateThread(
        nullptr, 0,
        [](void* parameter) -> DWORD {
            const hold& h = *static_cast<const hold*>(parameter);
            const UINT counters = RegisterWindowMessageW(d2dui::application::counters_message_name);
            std::string line;
            char c = 0;
            DWORD n = 0;
            while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &n, nullptr) && n == 1) {
                if (c != '\n') {
                    line.push_back(c);
                    continue;
                }
                if (line == "release") {
                    SetEvent(h.released);
                    break;
                }
                if (line == "counters") {
                    DWORD_PTR turns = 0, frames = 0;
                    SendMessageTimeoutW(h.window, counters, 0, 0, SMTO_ABORTIFHUNG, 5000, &turns);
                    SendMessageTimeoutW(h.window, counters, 1, 0, SMTO_ABORTIFHUNG, 5000, &frames);
                    std::printf("counters: %llu %llu\n", static_cast<unsigned long long>(turns),
                                static_cast<unsigned long long>(frames));
                    std::fflush(stdout);
                }
                line.clear();
            }
            return 0;
        },
        const_cast<hold*>(&held), 0, nullptr);
    const HANDLE waits[2] = {pi.hProcess, held.released};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(seconds) * 1000);
    if (reader != nullptr) {
        CloseHandle(reader);  // may still wait in its read when the time ran out; the exit ends it
    }
    if (woke == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        std::fprintf(stderr, "timing: the program ended by itself while held connected, exit code %lu\n",
                     static_cast<unsigned long>(code));
        return 1;
    }
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    DWORD code = 99;
    if (WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0 || !GetExitCodeProcess(pi.hProcess, &code) || code != 0) {
        std::fprintf(stderr, "timing: the program did not end with 0 within 20 s of WM_CLOSE\n");
        TerminateProcess(pi.hProcess, 99);
        return 1;
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && std::wstring(argv[1]) == L"--plain-window") {
        return plain_window();
    }
    if (argc < 3 || (std::wstring(argv[1]) == L"--connect" && argc < 4)) {
        std::fprintf(stderr, "usage: app_window_timing RUNS PROGRAM.exe | --connect SECONDS PROGRAM.exe | --plain-window\n");
        return 2;
    }
    if (std::wstring(argv[1]) == L"--connect") {
        return connect_and_hold(_wtoi(argv[2]), argv[3]);
    }
    const int runs = _wtoi(argv[1]);
    const std::wstring program = argv[2];
    std::vector<double> shown_ms;
    for (int run = 0; run < runs; ++run) {
        std::wstring arguments;
        for (int i = 3; i < argc; ++i) {
            arguments += L" ";
            arguments += argv[i];
        }
        PROCESS_INFORMATION pi{};
        LARGE_INTEGER begun{};
        if (!start_program(program, arguments, pi, begun)) {
            return 1;
        }
        const HWND hwnd = wait_for_window(pi, begun, 1);
        const double shown = ms_since(begun);
        if (hwnd == nullptr) {
            std::fprintf(stderr, "timing: no window within 20 s (or the program ended)\n");
            TerminateProcess(pi.hProcess, 99);
            return 1;
        }
        double drawn = -1;
        const double drawn_limit = shown + 5000;
        while (ms_since(begun) < drawn_limit) {
            if (colours_on_screen(hwnd) >= 8) {
                drawn = ms_since(begun);
                break;
            }
            Sleep(1);
        }
        std::printf("run %d: shown %.1f ms, drawn %.1f ms\n", run + 1, shown, drawn);
        std::fflush(stdout);
        shown_ms.push_back(shown);
        // Let the program settle before the next start so runs do not overlap.
        Sleep(500);
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "timing: the program did not end within 20 s of WM_CLOSE\n");
            TerminateProcess(pi.hProcess, 99);
            return 1;
        }
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    std::sort(shown_ms.begin(), shown_ms.end());
    std::printf("median shown %.1f ms over %d runs (min %.1f, max %.1f)\n", shown_ms[shown_ms.size() / 2], runs,
                shown_ms.front(), shown_ms.back());
    return 0;
}
