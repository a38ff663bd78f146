#pragma once
// The console side of the headless front end: UTF-8 output, whether standard output is a
// terminal, and interrupts (Ctrl-C, SIGTERM, console close) delivered as ordinary calls.
//
// `watch_interrupts` must run before any other thread starts. Linux blocks SIGINT and SIGTERM in
// every thread and waits for them on a thread of its own (`sigwait`); Windows installs a console
// control handler, which the system calls on a thread of its own. Either way `on_interrupt` runs
// outside any signal handler, once per interrupt.

#include <string_view>

namespace pelto::cli {

void init_console();
bool stdout_is_terminal();
void watch_interrupts(void (*on_interrupt)());
void write_out(std::string_view utf8);
void write_err(std::string_view utf8);

}  // namespace pelto::cli
