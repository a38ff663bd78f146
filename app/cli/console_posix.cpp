#include "app/cli/console.h"

#include <signal.h>
#include <unistd.h>

#include <thread>

namespace pelto::cli {

void init_console() {}

bool stdout_is_terminal()
{
    return ::isatty(STDOUT_FILENO) == 1;
}

void watch_interrupts(void (*on_interrupt)())
{
    // A shell starts background jobs with SIGINT ignored, and an ignored signal is discarded
    // rather than left pending: take the default disposition back (blocked, it never runs).
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // inherited by every thread started later
    std::thread([set, on_interrupt] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) == 0) {
                on_interrupt();
            }
        }
    }).detach();
}

}  // namespace pelto::cli
