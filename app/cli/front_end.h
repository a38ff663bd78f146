#pragma once
// The headless front end's controller: it drives the engine through exactly the calls and
// callbacks the GUI controller uses, queues what the callbacks deliver in one mailbox (the
// callbacks only queue), and applies the GUI's gating: a pick only from the last final list and
// only while no other pick is in flight, a disconnect only while connected.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "system/preferences.h"
#include "engine/engine_state.h"

namespace pelto::cli {

struct engine_event {
    enum class kind { state, node_list, line, interrupt } what = kind::state;
    std::int32_t state = 0;
    std::vector<node_entry> nodes;
    std::int32_t final_list = 0;
    std::u16string line;
};

class front_end {
public:
    front_end();
    ~front_end();
    front_end(const front_end&) = delete;
    front_end& operator=(const front_end&) = delete;

    // Hands the preferences to the engine and starts its thread.
    void start(const preferences& prefs);
    // The next event, or none when `timeout` passed first.
    std::optional<engine_event> next(std::chrono::milliseconds timeout);
    // Queues an interrupt (called from the console's interrupt thread).
    static void post_interrupt();

    // Gated calls; false (nothing sent) when the GUI would not offer the action now.
    bool pick(std::int32_t index);
    bool disconnect();
    // Asks the engine to end; `wait_ended` then waits for state 7 and joins the thread.
    void shutdown();
    bool wait_ended(std::chrono::milliseconds timeout);

    const std::vector<node_entry>& final_list() const { return final_nodes_; }
    bool has_final_list() const { return have_final_; }
    std::int32_t state() const { return state_; }

private:
    void observe(const engine_event& e);

    std::thread engine_;
    std::vector<node_entry> final_nodes_;
    bool have_final_ = false;
    bool pick_in_flight_ = false;
    std::int32_t state_ = -1;
};

// The mailbox the engine's callbacks fill.
void post_event(engine_event e);

}  // namespace pelto::cli
