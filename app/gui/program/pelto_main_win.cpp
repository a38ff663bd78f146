// pelto.exe: the start-up decision, then the window.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/gui/pelto_application.h"
#include "app/gui/startup.h"
#include "system/preferences.h"
#include "base/obfuscated.h"

namespace {

std::string narrow(const wchar_t* text)
{
    std::string out;
    for (const wchar_t* p = text; *p != 0; ++p) {
        out.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');  // the switches are ASCII
    }
    return out;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // Not fatal: an older system without the per-monitor mode scales the window itself.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);

    std::vector<std::string> args;
    int count = 0;
    if (wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count); argv != nullptr) {
        for (int i = 1; i < count; ++i) {
            args.push_back(narrow(argv[i]));
        }
        LocalFree(argv);
    }

    HANDLE mutex = nullptr;
    pelto::gui::startup_calls calls = pelto::gui::real_startup_calls();
    calls.take_lock = [&mutex](int wait_ms) {
        mutex = CreateMutexW(nullptr, TRUE, PELTO_TEXT(L"Local\\pelto-single-instance").c_str());
        if (mutex == nullptr) {
            return pelto::gui::lock_result::failed;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return pelto::gui::lock_result::taken;
        }
        if (wait_ms > 0) {
            const DWORD r = WaitForSingleObject(mutex, static_cast<DWORD>(wait_ms));
            if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
                return pelto::gui::lock_result::taken;
            }
        }
        CloseHandle(mutex);
        mutex = nullptr;
        return pelto::gui::lock_result::held_elsewhere;
    };

    const pelto::gui::startup_plan plan = pelto::gui::plan_startup(args, calls);
    int code = plan.exit_code;
    if (plan.run) {
        code = pelto::gui::run_application(plan.start);
    }
    if (mutex != nullptr) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    return code;
}
