#pragma once
// The visible top-level window of a process, for the drivers and benchmarks that watch pelto.exe
// from outside.

#include <windows.h>

namespace pelto::testing {

// A visible top-level window of process `pid`, or null.
inline HWND window_of(DWORD pid)
{
    struct find_data {
        DWORD pid;
        HWND found;
    } d{pid, nullptr};
    EnumWindows(
        [](HWND hwnd, LPARAM p) -> BOOL {
            auto* d = reinterpret_cast<find_data*>(p);
            DWORD owner = 0;
            GetWindowThreadProcessId(hwnd, &owner);
            if (owner == d->pid && IsWindowVisible(hwnd)) {
                d->found = hwnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&d));
    return d.found;
}

}  // namespace pelto::testing
