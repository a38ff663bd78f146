#pragma once
// The engine: one dedicated thread that loads and probes the node list, reports it, waits for a
// pick, runs the session, and repeats until shutdown. Front ends drive it only through these
// calls and learn of it only through the three callbacks of engine_state.h.
//
// `engine_run` is the thread body; it returns after sending state 7 (or, when the network cannot
// start, after state 6 without 7). The other calls may come from any thread and never block on
// the engine thread: they set flags and the requested index and wake it.
//
// - `engine_refresh`: hands over new preferences; a running engine starts a new cycle at once
//   (the session ends, the proxy is restored). Before `engine_run` it only stores them.
// - `engine_select_node`: picks an index of the last final list; a running session ends first.
// - `engine_disconnect`: ends the session; the engine waits for the next pick.
// - `engine_shutdown`: ends everything; the engine restores the proxy, stops TUN mode and sends 7.
// - `tun_switch`: the live switch of the TUN preference (see the definition for its steps); false
//   with a user-facing message when it cannot be done.

#include <cstdint>
#include <string>

#include "system/preferences.h"

namespace pelto {

void engine_run();
void engine_refresh(const preferences& prefs);
void engine_select_node(std::int32_t index);
void engine_disconnect();
void engine_shutdown();
bool tun_switch(bool on, std::u16string& out_message);

// Test seam: a function the engine thread calls right after it took a requested index and before
// it clears the stop flags for the session; tests use it to land a refresh or shutdown exactly
// there. Null (the default) calls nothing; the product never sets it.
void set_pick_taken_hook_for_testing(void (*hook)());
// Test seam: a function `tun_switch` calls (under the engine mutex) during a session right before
// it changes the system proxy; tests use it to land a session's end exactly there.
void set_tun_switch_hook_for_testing(void (*hook)());

}  // namespace pelto
