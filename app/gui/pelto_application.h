#pragma once
// The program's application object (Windows): the toolkit's window around the controller. It
// feeds the controller every frame, the keys it handles (Tab, Enter, Space, Escape), the close
// message and the end of the user's session, and runs the whole program in `run_application`.

#include "app/gui/controller.h"

namespace pelto::gui {

// Runs the window until it closes; returns the exit code. A failure to set up the window or its
// devices is shown in a message box (then the result is 1).
int run_application(const start_record& start);

}  // namespace pelto::gui
