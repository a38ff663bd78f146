// Checks pelto.exe's single instance with real processes under Wine: a second copy leaves the
// first in charge; a hand-over copy waits without a window and runs once the first has closed or
// been killed, gives up after its wait limit, and a name taken by another kind of object ends a
// copy with 1. Every wait is bounded; the first failed check ends the run with 1.
//   app_instances.exe PELTO.EXE [--skip-timeout]
#include <windows.h>

#include "tests/gui/window_of_win.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The single-instance mutex's name and the hand-over switch, as pelto.exe uses them.
const wchar_t* const instance_name = L"Local\\pelto-single-instance";
const wchar_t* const handover_switch = L"--handover";

std::wstring program;
std::vector<HANDLE> started;  // every copy this run started, ended at exit if still running

using pelto::testing::window_of;

struct copy {
    HANDLE process = nullptr;
    DWORD pid = 0;
};

[[noreturn]] void fail(const char* what)
{
    std::printf("FAILED: %s\n", what);
    std::fflush(stdout);
    for (HANDLE h : started) {
        TerminateProcess(h, 99);
    }
    ExitProcess(1);
}

copy start(const wchar_t* argument)
{
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring command = L"\"" + program + L"\"";
    if (argument != nullptr) {
        command += L" ";
        command += argument;
    }
    if (CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) ==
        FALSE) {
        fail("pelto.exe did not start");
    }
    CloseHandle(pi.hThread);
    started.push_back(pi.hProcess);
    return {pi.hProcess, pi.dwProcessId};
}

bool ended(const copy& c, DWORD wait_ms = 0)
{
    return WaitForSingleObject(c.process, wait_ms) == WAIT_OBJECT_0;
}

DWORD exit_code(const copy& c)
{
    DWORD code = 259;
    GetExitCodeProcess(c.process, &code);
    return code;
}

// Waits up to `limit_ms` for the copy's window; null if it ended or none came.
HWND await_window(const copy& c, DWORD limit_ms)
{
    const ULONGLONG until = GetTickCount64() + limit_ms;
    while (GetTickCount64() < until) {
        if (HWND hwnd = window_of(c.pid); hwnd != nullptr) {
            return hwnd;
        }
        if (ended(c, 50)) {
            return nullptr;
        }
    }
    return nullptr;
}

// Watches the copy for `ms`: false if it showed a window in that time. Ends early when it ends.
bool stays_windowless(const copy& c, DWORD ms)
{
    const ULONGLONG until = GetTickCount64() + ms;
    while (GetTickCount64() < until) {
        if (window_of(c.pid) != nullptr) {
            return false;
        }
        if (ended(c, 50)) {
            return window_of(c.pid) == nullptr;
        }
    }
    return true;
}

// Asks the copy's window to close and checks that it ends with 0 within 20 s.
void close_with_zero(const copy& c, HWND hwnd, const char* name)
{
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    if (!ended(c, 20000)) {
        std::printf("%s did not end within 20 s of WM_CLOSE\n", name);
        fail("close");
    }
    if (exit_code(c) != 0) {
        std::printf("%s exited with %lu\n", name, exit_code(c));
        fail("close with 0");
    }
    std::printf("ok: %s closes with 0\n", name);
}

void check(bool ok, const char* what)
{
    if (!ok) {
        fail(what);
    }
    std::printf("ok: %s\n", what);
    std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: app_instances PELTO.EXE [--skip-timeout]\n");
        return 2;
    }
    program = argv[1];
    const bool skip_timeout = argc > 2 && std::wstring(argv[2]) == L"--skip-timeout";

    const copy first = start(nullptr);
    HWND first_window = await_window(first, 20000);
    check(first_window != nullptr, "the first copy shows its window");

    // A second copy without the switch leaves the first in charge, silently.
    const copy second = start(nullptr);
    check(stays_windowless(second, 10000) && ended(second), "a second copy ends within 10 s without a window");
    check(exit_code(second) == 0, "the second copy exits with 0");
    check(!ended(first), "the first copy still runs");

    // A hand-over copy waits for the first to close, then runs.
    const copy handed = start(handover_switch);
    check(stays_windowless(handed, 3000) && !ended(handed), "a hand-over copy waits without a window");
    close_with_zero(first, first_window, "the first copy");
    HWND handed_window = await_window(handed, 20000);
    check(handed_window != nullptr, "the hand-over copy shows its window once the first has closed");

    // A hand-over copy also runs when the instance before it is killed (the mutex is abandoned).
    const copy after_kill = start(handover_switch);
    check(stays_windowless(after_kill, 3000) && !ended(after_kill), "a second hand-over copy waits without a window");
    TerminateProcess(handed.process, 9);
    check(ended(handed, 10000), "the running copy is killed");
    HWND after_kill_window = await_window(after_kill, 20000);
    check(after_kill_window != nullptr, "the hand-over copy shows its window once the first was killed");

    // A hand-over copy gives up after its wait limit and exits with 0, never showing a window.
    if (!skip_timeout) {
        const ULONGLONG begun = GetTickCount64();
        const copy patient = start(handover_switch);
        const bool windowless = stays_windowless(patient, 60000);
        const ULONGLONG waited = GetTickCount64() - begun;
        std::printf("the hand-over copy waited %llu ms\n", waited);
        check(windowless && ended(patient), "a hand-over copy ends within 60 s without a window");
        check(waited >= 25000, "it waited about its 30 s limit first");
        check(exit_code(patient) == 0, "it exits with 0");
    }
    close_with_zero(after_kill, after_kill_window, "the hand-over copy");

    // Another kind of object holding the name: the mutex cannot be created, the copy exits with 1.
    const HANDLE squatter = CreateEventW(nullptr, TRUE, FALSE, instance_name);
    check(squatter != nullptr && GetLastError() != ERROR_ALREADY_EXISTS, "an event takes the instance name");
    const copy blocked = start(nullptr);
    check(stays_windowless(blocked, 10000) && ended(blocked), "a copy facing the event ends within 10 s without a window");
    check(exit_code(blocked) == 1, "it exits with 1");
    const copy blocked_handover = start(handover_switch);
    check(stays_windowless(blocked_handover, 10000) && ended(blocked_handover),
          "a hand-over copy facing the event ends within 10 s without a window");
    check(exit_code(blocked_handover) == 1, "it exits with 1 too");
    CloseHandle(squatter);

    std::printf("single instance: all checks passed\n");
    return 0;
}
