#include "app/cli/front_end.h"

#include "engine/engine_loop.h"

namespace pelto::cli {
namespace {

std::mutex mailbox_mutex;
std::condition_variable mailbox_cv;
std::deque<engine_event> mailbox;  // guarded by mailbox_mutex

void on_state(std::int32_t state)
{
    engine_event e;
    e.what = engine_event::kind::state;
    e.state = state;
    post_event(std::move(e));
}

void on_node_list(const std::vector<node_entry>& nodes, std::int32_t final_list)
{
    engine_event e;
    e.what = engine_event::kind::node_list;
    e.nodes = nodes;
    e.final_list = final_list;
    post_event(std::move(e));
}

void on_message(const std::u16string& line)
{
    engine_event e;
    e.what = engine_event::kind::line;
    e.line = line;
    post_event(std::move(e));
}

}  // namespace

void post_event(engine_event e)
{
    {
        const std::lock_guard lock(mailbox_mutex);
        mailbox.push_back(std::move(e));
    }
    mailbox_cv.notify_all();
}

front_end::front_end()
{
    set_node_list_callback(on_node_list);
    set_state_callback(on_state);
    set_message_callback(on_message);
}

front_end::~front_end()
{
    if (engine_.joinable()) {
        engine_shutdown();
        engine_.join();
    }
}

void front_end::start(const preferences& prefs)
{
    engine_refresh(prefs);
    engine_ = std::thread(engine_run);
}

void front_end::post_interrupt()
{
    engine_event e;
    e.what = engine_event::kind::interrupt;
    post_event(std::move(e));
}

std::optional<engine_event> front_end::next(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mailbox_mutex);
    if (!mailbox_cv.wait_for(lock, timeout, [] { return !mailbox.empty(); })) {
        return std::nullopt;
    }
    engine_event e = std::move(mailbox.front());
    mailbox.pop_front();
    lock.unlock();
    observe(e);
    return e;
}

void front_end::observe(const engine_event& e)
{
    if (e.what == engine_event::kind::node_list) {
        // An empty or interim list replaces what may be picked from: only a final list counts.
        have_final_ = e.final_list == 1;
        final_nodes_ = have_final_ ? e.nodes : std::vector<node_entry>{};
    } else if (e.what == engine_event::kind::state) {
        state_ = e.state;
        // A pick is in flight from the call until its session runs or fails (or a new cycle or
        // the end of the engine makes it moot).
        switch (static_cast<engine_state>(e.state)) {
        case engine_state::running:
        case engine_state::failed:
        case engine_state::loading:
        case engine_state::ended:
            pick_in_flight_ = false;
            break;
        default:
            break;
        }
    }
}

bool front_end::pick(std::int32_t index)
{
    if (!have_final_ || pick_in_flight_ || index < 0 || static_cast<std::size_t>(index) >= final_nodes_.size()) {
        return false;
    }
    pick_in_flight_ = true;
    engine_select_node(index);
    return true;
}

bool front_end::disconnect()
{
    if (state_ != static_cast<std::int32_t>(engine_state::running)) {
        return false;
    }
    engine_disconnect();
    return true;
}

void front_end::shutdown()
{
    engine_shutdown();
}

bool front_end::wait_ended(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (state_ != static_cast<std::int32_t>(engine_state::ended)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        const auto e = next(left);
        if (e && e->what == engine_event::kind::state && e->state == static_cast<std::int32_t>(engine_state::failed) &&
            !engine_globals().running_flag.load()) {
            break;  // the network never started: no state 7 follows
        }
    }
    if (engine_.joinable()) {
        engine_.join();
    }
    return true;
}

}  // namespace pelto::cli
