// The whole engine when the TUN adapter goes away under a running session (a driver reset,
// another program deleting it), against the real system in a network namespace of its own: a
// forked child unshares it and starts the nodes, origins and subscription server there; the
// resolver file and its journal are files in a temporary directory and the system proxy lives in
// a throw-away GSettings key file. Skipped without root.
//
// The session must end as a failure at once with the error line, name resolution and the proxy
// put back, nothing of TUN mode left (adapter, routes, filters), and the engine must take the
// next pick as if nothing had happened. A paused adapter (kept for leak protection) that is lost
// between sessions is reported too, and must not disturb the engine while it reloads its list.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <net/if.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/text.h"
#include "engine/engine_loop.h"
#include "engine/engine_state.h"
#include "engine/node_loader.h"
#include "engine/service_domain.h"
#include "engine/system_proxy.h"
#include "system/preferences.h"
#include "tests/engine/engine_recorder.h"
#include "tests/engine/engine_world.h"
#include "tests/support/gsettings_sandbox.h"
#include "tests/support/text_files.h"
#include "tun/resolved_bus_linux.h"
#include "tun/testing/scenario_child.h"
#include "tun/tun_control.h"
#include "tun/tun_system.h"

namespace pelto {
namespace {

using namespace std::chrono_literals;
using testing::event_count;
using testing::events_since;
using testing::read_file;
using testing::run;
using testing::wait_event;
using testing::write_file;

const testing::gsettings_sandbox sandbox;

// The peers run in the child's namespace; a failed check stops them before the child ends, so none
// outlives it holding the namespace.
std::unique_ptr<testing::engine_world> world;

[[noreturn]] void fail_scenario(const char* file, int line, const char* what)
{
    std::fprintf(stderr, "%s:%d: failed: %s\n", file, line, what);
    std::fflush(stderr);
    world.reset();
    std::_Exit(1);
}

#define CHECK(condition)                                   \
    do {                                                   \
        if (!(condition)) {                                \
            fail_scenario(__FILE__, __LINE__, #condition); \
        }                                                  \
    } while (0)

// Ends the scenario as failed when it has not finished in time (a deadlock, say).
class watchdog {
public:
    explicit watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock l(lock_);
              if (!changed_.wait_for(l, limit, [this] { return done_; })) {
                  fail_scenario(__FILE__, __LINE__, "the scenario did not finish in time");
              }
          })
    {
    }
    ~watchdog()
    {
        {
            std::lock_guard l(lock_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool done_ = false;
    std::thread thread_;
};

struct files {
    std::string resolver;
    std::string journal;
    std::string original;
};

proxy_settings current_proxy()
{
    proxy_settings now;
    std::u16string error;
    CHECK(read_proxy_settings(now, error));
    return now;
}

bool session_active()
{
    engine_shared& g = engine_globals();
    std::lock_guard l(g.engine_mutex);
    return g.session_active;
}

// A running session in TUN mode: the adapter is up and name resolution points at it.
void expect_tun_session(const files& f, bool filters)
{
    CHECK(tun_active());
    CHECK(if_nametoindex("pelto0") != 0);
    CHECK(run("ip -o link show dev pelto0").find(",UP") != std::string::npos);
    CHECK(read_file(f.resolver).find("nameserver 172.19.77.53") != std::string::npos);
    CHECK((run("nft list tables").find("inet pelto_tun") != std::string::npos) == filters);
}

// Nothing of TUN mode is left: no adapter, none of our routes or filters, the resolver file as it
// was and no journal; the system proxy is the user's own.
void expect_clean(const files& f, const proxy_settings& before)
{
    CHECK(!tun_active());
    CHECK(!session_active());
    CHECK(if_nametoindex("pelto0") == 0);
    CHECK(run("ip -4 route show table all proto 94").empty());
    CHECK(run("ip -4 route show table all").find("172.19.77") == std::string::npos);
    CHECK(run("nft list tables").find("pelto_tun") == std::string::npos);
    CHECK(read_file(f.resolver) == f.original);
    struct stat info{};
    CHECK(stat(f.journal.c_str(), &info) != 0);
    CHECK(current_proxy() == before);
}

// Deletes the adapter under the running session: the session ends as a failure within a few
// seconds, with the loss as one error line that is there by the time the failure is reported,
// and nothing follows (the engine waits for the next pick).
void lose_adapter(const files& f, const proxy_settings& before)
{
    const std::size_t mark = event_count();
    const std::size_t lines = testing::line_count();
    CHECK(std::system("ip link del pelto0") == 0);
    CHECK(wait_event(mark, "state 6", 5s));
    int lost_lines = 0;
    for (const std::u16string& line : testing::lines_since(lines)) {
        if (line.find(u"the TUN adapter went away") != std::u16string::npos) {
            CHECK(is_error_line(line));
            ++lost_lines;
        }
    }
    CHECK(lost_lines == 1);
    std::this_thread::sleep_for(300ms);
    CHECK(events_since(mark) == (std::vector<std::string>{"state 5", "state 6"}));
    expect_clean(f, before);
}

// The events since `mark` once there are `count` of them (bounded; fewer when time ran out).
std::vector<std::string> wait_events(std::size_t mark, std::size_t count)
{
    std::vector<std::string> events = events_since(mark);
    for (int i = 0; i < 500 && events.size() < count; ++i) {
        std::this_thread::sleep_for(10ms);
        events = events_since(mark);
    }
    return events;
}

// Waits until the loss has been reported as an error line after the first `from` lines (bounded).
bool wait_lost_line(std::size_t from)
{
    for (int i = 0; i < 300; ++i) {
        for (const std::u16string& line : testing::lines_since(from)) {
            if (is_error_line(line) && line.find(u"the TUN adapter went away") != std::u16string::npos) {
                return true;
            }
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

void pick_and_wait_running(std::int32_t index)
{
    const std::size_t mark = event_count();
    engine_select_node(index);
    CHECK(wait_event(mark, "state 4"));
    CHECK(events_since(mark) == (std::vector<std::string>{"state 3", "state 4"}));
}

void set_modes(bool tun, bool leak_protection)
{
    engine_shared& g = engine_globals();
    std::lock_guard l(g.engine_mutex);
    g.tun_enabled = tun;
    g.prefs.tun_enabled = tun;
    g.prefs.option_flag = leak_protection;
}

[[noreturn]] void scenario(const std::string& dir)
{
    alarm(180);  // the last resort; the watchdog ends the scenario first, stopping its peers
    CHECK(unshare(CLONE_NEWNET) == 0);
    CHECK(std::system("ip link set lo up && ip link add d0 type veth peer name d1 && ip link set d1 up && "
                      "ip addr add 10.66.0.2/24 dev d0 && ip addr add 10.66.0.1/24 dev d1 && ip link set d0 up && "
                      "ip route add default via 10.66.0.1 dev d0") == 0);
    const watchdog guard(150s);
    files f{dir + "/resolv.conf", dir + "/state/resolv.conf.saved", "# the machine's own\nnameserver 10.66.0.1\n"};
    write_file(f.resolver, f.original);
    tun::set_dns_policy_paths_for_testing(f.resolver, f.journal);
    tun::set_resolver_bus_address_for_testing("unix:path=" + dir + "/no-bus.socket");

    world = std::make_unique<testing::engine_world>();
    CHECK(world->ok());
    const int node = world->add_node(0);
    const int slow_node = world->add_node(1500);
    CHECK(node != 0 && slow_node != 0);
    testing::record_engine();
    set_probe_host_for_testing("probe.test");
    set_service_domain_for_testing("service.test");
    set_endpoint_directory_for_testing(utf8_to_utf16(world->dir().string()));
    {
        engine_shared& g = engine_globals();
        std::lock_guard l(g.engine_mutex);
        g.prefs.subscription_url =
            utf8_to_utf16(world->publish("nodes.txt", testing::engine_world::link(node, "a") + "\n"));
    }
    const proxy_settings before = current_proxy();

    set_modes(true, false);
    std::thread engine(engine_run);
    CHECK(testing::wait_state(static_cast<std::int32_t>(engine_state::ready)));

    // TUN mode from the session's start, without leak protection.
    pick_and_wait_running(0);
    expect_tun_session(f, false);
    CHECK(current_proxy() == before);
    lose_adapter(f, before);

    // A disconnect and the loss at once, the disconnect a little later each round (over the rounds
    // either comes first, and in between the end of the session joins a reader that is telling
    // the engine of the loss): the session ends, ready or failed, and nothing is left behind.
    for (int round = 0; round < 20; ++round) {
        pick_and_wait_running(0);
        const std::size_t mark = event_count();
        std::thread remover([] { std::system("ip link del pelto0 2>/dev/null"); });
        std::this_thread::sleep_for(std::chrono::microseconds(800 * round));
        engine_disconnect();
        remover.join();
        const std::vector<std::string> events = wait_events(mark, 2);
        CHECK(events == (std::vector<std::string>{"state 5", "state 2"}) ||
              events == (std::vector<std::string>{"state 5", "state 6"}));
        expect_clean(f, before);
    }

    // The engine takes the next pick: a session in proxy mode, with leak protection wanted...
    set_modes(false, true);
    pick_and_wait_running(0);
    CHECK(!tun_active());
    CHECK(current_proxy() != before);
    // ...switched live to TUN mode (the proxy goes back, the filters come), then the adapter is
    // lost with the filters in place.
    std::u16string message;
    CHECK(tun_switch(true, message));
    expect_tun_session(f, true);
    CHECK(current_proxy() == before);
    lose_adapter(f, before);

    // In TUN mode with leak protection from the start; a disconnect keeps the adapter and its
    // filters. Lost then, with no session to end: the user is told, name resolution goes back,
    // the engine stays ready, and the next pick builds TUN mode anew.
    pick_and_wait_running(0);
    expect_tun_session(f, true);
    std::size_t mark = event_count();
    engine_disconnect();
    CHECK(wait_events(mark, 2) == (std::vector<std::string>{"state 5", "state 2"}));
    expect_tun_session(f, true);
    mark = event_count();
    std::size_t lines = testing::line_count();
    CHECK(std::system("ip link del pelto0") == 0);
    CHECK(wait_lost_line(lines));
    CHECK(read_file(f.resolver) == f.original);
    std::this_thread::sleep_for(300ms);
    CHECK(events_since(mark).empty());
    pick_and_wait_running(0);
    expect_tun_session(f, true);

    // The same while the node list is being loaded again: the loss must not cut the probes
    // short (the slow node is still being measured when the adapter goes).
    mark = event_count();
    engine_disconnect();
    CHECK(wait_events(mark, 2) == (std::vector<std::string>{"state 5", "state 2"}));
    mark = event_count();
    world->publish("nodes.txt", testing::engine_world::link(node, "a") + "\n" +
                                    testing::engine_world::link(slow_node, "slow") + "\n");
    preferences prefs;
    {
        engine_shared& g = engine_globals();
        std::lock_guard l(g.engine_mutex);
        prefs = g.prefs;
    }
    engine_refresh(prefs);
    CHECK(wait_event(mark, "state 1"));
    lines = testing::line_count();
    CHECK(std::system("ip link del pelto0") == 0);
    CHECK(wait_lost_line(lines));
    CHECK(wait_event(mark, "list 2 final"));
    {
        std::lock_guard l(testing::rec.lock);
        for (const node_entry& entry : testing::rec.lists.back().first) {
            CHECK(entry.latency_ms >= 0);
        }
    }
    CHECK(wait_event(mark, "state 2"));
    CHECK(read_file(f.resolver) == f.original);
    pick_and_wait_running(0);
    expect_tun_session(f, true);

    // Shutdown ends it all.
    engine_shutdown();
    CHECK(testing::wait_state(static_cast<std::int32_t>(engine_state::ended)));
    engine.join();
    expect_clean(f, before);

    world.reset();
    std::_Exit(0);
}

TEST(engine_tun_loss, a_lost_adapter_fails_the_session_cleanly_and_the_next_pick_starts_again)
{
    if (geteuid() != 0 || access("/dev/net/tun", R_OK | W_OK) != 0 ||
        std::system("command -v ip >/dev/null && command -v nft >/dev/null") != 0) {
        GTEST_SKIP() << "needs root, /dev/net/tun, ip and nft";
    }
    tun::testing::expect_child_passes_in("pelto-engine-tunloss", scenario);
}

}  // namespace
}  // namespace pelto
