#pragma once
// Whether this process may change the machine's network configuration, and a relaunch of the
// program with those rights that takes over from the current instance.
//
// `is_elevated`: Windows: the process token is elevated (false when the token cannot be read).
// Linux: the effective user is root or the effective capabilities hold CAP_NET_ADMIN.
//
// `relaunch_elevated`: Windows: asks the shell to start the program with the elevation verb, the
// hand-over switch and the elevate switch (TUN mode is why it relaunches); true when the shell
// accepted. Linux: starts the program through `pkexec` with the hand-over switch, a hand-over file
// and the elevate switch; true once the new instance has marked that file (it started with the
// rights), false when `pkexec` is missing, the user declined, or
// the new instance did not report within the wait. Never throws.

#include <string>

namespace pelto {

bool is_elevated();
bool relaunch_elevated();

// The hand-over switch a relaunched instance receives, followed on Linux by the hand-over file.
std::string handover_switch();
// The switch that asks for TUN mode at start (which needs elevation).
std::string elevate_switch();
// Called by a relaunched instance on Linux with the file named after the hand-over switch: marks
// it so that the waiting instance knows the relaunch worked. Does nothing on Windows.
void confirm_handover(const std::string& handover_file);

// Test seam (Linux): the program started in place of `pkexec`; empty restores the default.
void set_pkexec_path_for_testing(const std::string& path);

}  // namespace pelto
