#include "app/cli/console.h"

#include <windows.h>
#include <io.h>

#include <atomic>

namespace pelto::cli {
namespace {

std::atomic<void (*)()> interrupt_target{nullptr};
// The console takes the escape sequences that redraw the progress line.
bool redraw_supported = false;

BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        if (auto f = interrupt_target.load()) {
            f();
        }
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

void init_console()
{
    ::SetConsoleOutputCP(CP_UTF8);
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    redraw_supported = ::GetConsoleMode(out, &mode) != 0 &&
                       ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

// Only a console that redraws counts: elsewhere the progress goes out as plain lines.
bool stdout_is_terminal()
{
    return redraw_supported;
}

void watch_interrupts(void (*on_interrupt)())
{
    interrupt_target.store(on_interrupt);
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

}  // namespace pelto::cli
