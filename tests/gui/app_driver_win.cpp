// Drives pelto.exe from outside like a person would, for the offline demo under Wine: starts it,
// checks that a second copy exits at once with 0, clicks Connect until the system proxy points at
// the program's listener (printed as "Local HTTP proxy: ..."), keeps it connected for a while,
// closes the window and checks the exit code and that the proxy settings are back. It prints the
// window's place on the screen so that a screenshot can be cut out of the display.
//   app_driver.exe PELTO.EXE [SECONDS_CONNECTED]
#include <windows.h>

#include "tests/gui/window_of_win.h"

#include <cstdio>
#include <string>

namespace {

const wchar_t* const settings_key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

DWORD proxy_enable()
{
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, settings_key, L"ProxyEnable", RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS) {
        return 0;
    }
    return value;
}

std::wstring proxy_server()
{
    wchar_t value[512] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, settings_key, L"ProxyServer", RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS) {
        return {};
    }
    return value;
}

using pelto::testing::window_of;

bool start(const std::wstring& program, PROCESS_INFORMATION& pi)
{
    STARTUPINFOW si{};
    si.cb = sizeof si;
    std::wstring command = L"\"" + program + L"\"";
    return CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) !=
           FALSE;
}

void click(HWND hwnd, float x, float y)
{
    const UINT dpi = GetDpiForWindow(hwnd);
    const float scale = dpi == 0 ? 1.0f : static_cast<float>(dpi) / 96.0f;
    const LPARAM at = MAKELPARAM(static_cast<int>(x * scale), static_cast<int>(y * scale));
    PostMessageW(hwnd, WM_MOUSEMOVE, 0, at);
    PostMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(hwnd, WM_LBUTTONUP, 0, at);
}

int fail(const char* what, PROCESS_INFORMATION* pi)
{
    std::fprintf(stderr, "driver: %s\n", what);
    if (pi != nullptr && pi->hProcess != nullptr) {
        TerminateProcess(pi->hProcess, 99);
    }
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: app_driver PELTO.EXE [SECONDS_CONNECTED]\n");
        return 2;
    }
    const std::wstring program = argv[1];
    const int seconds = argc > 2 ? _wtoi(argv[2]) : 10;
    const DWORD enable_before = proxy_enable();

    PROCESS_INFORMATION pi{};
    if (!start(program, pi)) {
        return fail("pelto.exe did not start", nullptr);
    }
    HWND hwnd = nullptr;
    for (int i = 0; i < 400 && hwnd == nullptr; ++i) {
        if (WaitForSingleObject(pi.hProcess, 50) == WAIT_OBJECT_0) {
            return fail("pelto.exe ended before its window showed", nullptr);
        }
        hwnd = window_of(pi.dwProcessId);
    }
    if (hwnd == nullptr) {
        return fail("no window within 20 s", &pi);
    }
    RECT area{};
    GetWindowRect(hwnd, &area);
    // Screen coordinates, which are the display's under Wine's X11 driver (for a screenshot).
    std::printf("window shown at %ld %ld %ld %ld\n", area.left, area.top, area.right - area.left,
                area.bottom - area.top);

    // A second copy leaves the first in charge and exits with 0.
    PROCESS_INFORMATION second{};
    if (!start(program, second) || WaitForSingleObject(second.hProcess, 10000) != WAIT_OBJECT_0) {
        return fail("a second copy did not exit at once", &pi);
    }
    DWORD second_code = 1;
    GetExitCodeProcess(second.hProcess, &second_code);
    std::printf("second copy exited with %lu\n", second_code);
    if (second_code != 0) {
        return fail("the second copy's exit code is not 0", &pi);
    }

    // Connect: the primary button (20, 494, 346 x 44 DIPs in a 440 x 600 window). Clicks that come
    // while the list still loads find the button disabled, so click again until connected.
    bool connected = false;
    for (int attempt = 0; attempt < 60 && !connected; ++attempt) {
        click(hwnd, 193, 516);
        for (int i = 0; i < 20 && !connected; ++i) {
            Sleep(100);
            connected = proxy_enable() == 1 && !proxy_server().empty();
        }
    }
    if (!connected) {
        return fail("the system proxy was never set", &pi);
    }
    std::printf("Local HTTP proxy: http://%ls\n", proxy_server().c_str());
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(seconds) * 1000);

    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0) {
        return fail("pelto.exe did not end within 20 s of WM_CLOSE", &pi);
    }
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    std::printf("Not connected: pelto.exe exited with %lu; ProxyEnable %lu (was %lu)\n", code, proxy_enable(),
                enable_before);
    if (code != 0) {
        return 1;
    }
    return proxy_enable() == enable_before ? 0 : 1;
}
