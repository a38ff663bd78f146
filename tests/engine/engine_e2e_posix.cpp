// Loading, probing and the engine loop against real peers: Shadowsocks 2022 nodes with injected
// delays, a TLS origin behind the probe host, a static subscription server. The system proxy is
// kept in a throw-away GSettings key file.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "system/preferences.h"
#include "engine/engine_loop.h"
#include "engine/engine_state.h"
#include "engine/listener.h"
#include "engine/node_loader.h"
#include "engine/service_domain.h"
#include "engine/share_links.h"
#include "engine/system_proxy.h"
#include "net/socket.h"
#include "tests/engine/engine_recorder.h"
#include "tests/engine/engine_world.h"
#include "tests/support/gsettings_sandbox.h"
#include "base/localized_text.h"

namespace pelto {
namespace {

using namespace std::chrono_literals;

const testing::gsettings_sandbox sandbox;

using testing::event_count;
using testing::events_since;
using testing::rec;
using testing::wait_event;
using testing::wait_state;

class EngineE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() { world_ = new testing::engine_world; }
    static void TearDownTestSuite() { delete world_; }

    void SetUp() override
    {
        ASSERT_TRUE(world_->ok());
        engine_shared& g = engine_globals();
        g.quit_flag = false;
        g.reload_flag = false;
        g.session_stop_flag = false;
        set_requested_index(-1);
        clear_stop();
        testing::clear_record();
        testing::record_engine();
        set_probe_host_for_testing("probe.test");
        set_service_domain_for_testing("service.test");
        set_endpoint_directory_for_testing(utf8_to_utf16(world_->dir().string()));
        std::filesystem::remove(world_->dir() / "pelto-endpoints.json");
    }
    void TearDown() override
    {
        set_state_callback(nullptr);
        set_node_list_callback(nullptr);
        set_message_callback(nullptr);
    }

    static void use_subscription(const std::string& url)
    {
        engine_shared& g = engine_globals();
        std::lock_guard l(g.engine_mutex);
        g.prefs.subscription_url = utf8_to_utf16(url);
    }

    static testing::engine_world* world_;
};

testing::engine_world* EngineE2E::world_ = nullptr;

TEST_F(EngineE2E, ProbesGiveInterimListsThenOneSortedFinalList)
{
    const int slow = world_->add_node(300);
    const int fast = world_->add_node(0);
    const int no_tls = world_->add_node(0, false);
    ASSERT_TRUE(slow != 0 && fast != 0 && no_tls != 0);
    ASSERT_EQ(name_rank(u"slow"), name_rank(u"fast"));
    const std::string body = testing::engine_world::link(slow, "slow") + "\n" +
                             testing::engine_world::link(1, "dead") + "\n" +
                             testing::engine_world::link(no_tls, "plain") + "\n" +
                             testing::engine_world::link(fast, "fast") + "\n";
    use_subscription(world_->publish("order.txt", body));

    std::vector<node_record> nodes;
    std::u16string error;
    ASSERT_TRUE(load_nodes(nodes, error)) << utf16_to_utf8(error);
    std::lock_guard l(rec.lock);
    ASSERT_GE(rec.lists.size(), 2u);
    EXPECT_EQ(std::count_if(rec.lists.begin(), rec.lists.end(), [](const auto& p) { return p.second == 1; }), 1);
    EXPECT_EQ(rec.lists.back().second, 1);
    EXPECT_EQ(rec.lists.front().second, 0);
    for (const node_entry& e : rec.lists.front().first) {
        EXPECT_EQ(e.latency_ms, latency_not_measured);
    }
    const auto& final_list = rec.lists.back().first;
    ASSERT_EQ(final_list.size(), 4u);
    // Measured by latency, then the unavailable ones in link order.
    EXPECT_EQ(final_list[0].name, u"fast");
    EXPECT_EQ(final_list[1].name, u"slow");
    EXPECT_EQ(final_list[2].name, u"dead");
    EXPECT_EQ(final_list[3].name, u"plain");
    EXPECT_GE(final_list[0].latency_ms, 0);
    EXPECT_GE(final_list[1].latency_ms, 300);
    EXPECT_EQ(final_list[2].latency_ms, latency_failed);
    EXPECT_EQ(final_list[3].latency_ms, latency_failed);
    EXPECT_EQ(final_list[0].subtitle, u"Shadowsocks");
    // The returned nodes are in the final list's order.
    EXPECT_EQ(nodes[0].name, u"fast");
    EXPECT_EQ(nodes[3].name, u"plain");
    EXPECT_EQ(std::count(rec.states.begin(), rec.states.end(), 1), 1);
}

TEST_F(EngineE2E, AtMostEightProbesRunAtOnce)
{
    // Twelve nodes that each take 600 ms: eight workers need two rounds.
    const int port = world_->add_node(600);
    ASSERT_NE(port, 0);
    std::string body;
    for (int i = 0; i < 12; ++i) {
        body += testing::engine_world::link(port, "n" + std::to_string(i)) + "\n";
    }
    std::vector<node_record> nodes = parse_share_links(body);
    ASSERT_EQ(nodes.size(), 12u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(probe_nodes(nodes));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1150ms);
}

// Probe workers that cannot be started must not end the process: the ones that started do all
// the work, and with none at all the calling thread probes.
TEST_F(EngineE2E, ProbingGoesOnWithFewerOrNoWorkerThreads)
{
    const int port = world_->add_node(0);
    ASSERT_NE(port, 0);
    std::string body;
    for (int i = 0; i < 5; ++i) {
        body += testing::engine_world::link(port, "w" + std::to_string(i)) + "\n";
    }
    for (const int limit : {1, 0}) {
        std::vector<node_record> nodes = parse_share_links(body);
        set_probe_worker_limit_for_testing(limit);
        // Bounded: a probe run that never finishes fails the test instead of hanging it.
        std::atomic<bool> done{false};
        bool answered = false;
        std::thread prober([&] {
            answered = probe_nodes(nodes);
            done = true;
        });
        for (int i = 0; i < 200 && !done; ++i) {
            std::this_thread::sleep_for(50ms);
        }
        if (!done) {
            ADD_FAILURE() << "probing with " << limit << " worker threads did not finish";
            std::_Exit(1);
        }
        prober.join();
        set_probe_worker_limit_for_testing(-1);
        EXPECT_TRUE(answered) << limit;
        std::lock_guard l(rec.lock);
        ASSERT_FALSE(rec.lists.empty());
        EXPECT_EQ(rec.lists.back().second, 1);
        for (const node_entry& e : rec.lists.back().first) {
            EXPECT_GE(e.latency_ms, 0) << limit;
        }
    }
}

TEST_F(EngineE2E, BuiltInEndpointsFailOverInOrder)
{
    const int node = world_->add_node(0);
    ASSERT_NE(node, 0);
    const std::string missing = "http://127.0.0.1:" + std::to_string(world_->files_port()) + "/missing.txt";
    const std::string dead_only = world_->publish("dead.txt", testing::engine_world::link(1, "dead") + "\n");
    const std::string good = world_->publish("good.txt", testing::engine_world::link(node, "good") + "\n");
    std::ofstream(world_->dir() / "pelto-endpoints.json")
        << "{\"primary\":\"" << missing << "\",\"backups\":[\"" << dead_only << "\",\"" << missing << "\",\"" << good
        << "\"]}";
    use_subscription("");

    std::vector<node_record> nodes;
    std::u16string error;
    ASSERT_TRUE(load_nodes(nodes, error)) << utf16_to_utf8(error);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].name, u"good");
    std::lock_guard l(rec.lock);
    // One loading state per endpoint tried (the duplicate is tried once), probing twice.
    EXPECT_EQ(std::count(rec.states.begin(), rec.states.end(), 0), 3);
    EXPECT_EQ(std::count(rec.states.begin(), rec.states.end(), 1), 2);
}

TEST_F(EngineE2E, NoAnsweringNodeOnBuiltInEndpointsFails)
{
    const std::string dead_only = world_->publish("dead2.txt", testing::engine_world::link(1, "dead") + "\n");
    std::ofstream(world_->dir() / "pelto-endpoints.json") << "{\"primary\":\"" << dead_only << "\"}";
    use_subscription("");
    std::vector<node_record> nodes;
    std::u16string error;
    EXPECT_FALSE(load_nodes(nodes, error));
    EXPECT_EQ(error, localized_text(message_id::no_node_responded));
    // The same list given by the user is accepted, every node unavailable.
    use_subscription(dead_only);
    ASSERT_TRUE(load_nodes(nodes, error));
    EXPECT_EQ(nodes.size(), 1u);
}

TEST_F(EngineE2E, ShutdownDuringManySlowProbesReturnsPromptlyWithoutFinalList)
{
    const int port = world_->add_node(4000);
    ASSERT_NE(port, 0);
    std::string body;
    for (int i = 0; i < 100; ++i) {
        body += testing::engine_world::link(port, "slow" + std::to_string(i)) + "\n";
    }
    std::vector<node_record> nodes = parse_share_links(body);
    std::thread stopper([] {
        std::this_thread::sleep_for(400ms);
        engine_shutdown();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(probe_nodes(nodes));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    stopper.join();
    std::lock_guard l(rec.lock);
    EXPECT_FALSE(rec.lists.empty());
    EXPECT_TRUE(std::none_of(rec.lists.begin(), rec.lists.end(), [](const auto& p) { return p.second == 1; }));
}

// The whole engine: pick, re-pick, disconnect, reload and shutdown, with the system proxy set
// while a session runs and put back afterwards.
TEST_F(EngineE2E, EngineLoopStatesListsAndSystemProxy)
{
    const int a = world_->add_node(0);
    const int b = world_->add_node(100);
    ASSERT_TRUE(a != 0 && b != 0);
    use_subscription(world_->publish("loop.txt", testing::engine_world::link(a, "a") + "\n" +
                                                     testing::engine_world::link(b, "b") + "\n"));
    proxy_settings before;
    std::u16string error;
    ASSERT_TRUE(read_proxy_settings(before, error)) << utf16_to_utf8(error);

    std::thread engine(engine_run);
    ASSERT_TRUE(wait_state(2));
    {
        std::lock_guard l(rec.lock);
        EXPECT_EQ(rec.events.front(), "state 0");
        EXPECT_EQ(rec.events[1], "list 0");
        EXPECT_EQ(rec.events.back(), "state 2");
        EXPECT_EQ(rec.lists.back().second, 1);
    }
    engine_select_node(7);  // beyond the list: ignored
    engine_select_node(0);
    ASSERT_TRUE(wait_state(4));
    // The picked session stays up: its own pick must not stop it.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(events_since(event_count() - 1), (std::vector<std::string>{"state 4"}));
    EXPECT_NE(local_proxy_port(), 0);
    proxy_settings during;
    ASSERT_TRUE(read_proxy_settings(during, error));
    EXPECT_NE(during, before);
    EXPECT_NE(during.server.find(u"127.0.0.1:"), std::u16string::npos);

    std::size_t mark = event_count();
    engine_select_node(1);  // re-pick while running: the old session ends, the new one starts
    ASSERT_TRUE(wait_event(mark, "state 4"));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(events_since(mark), (std::vector<std::string>{"state 5", "state 2", "state 3", "state 4"}));

    mark = event_count();
    engine_disconnect();
    ASSERT_TRUE(wait_event(mark, "state 2"));
    EXPECT_EQ(events_since(mark), (std::vector<std::string>{"state 5", "state 2"}));
    proxy_settings after;
    ASSERT_TRUE(read_proxy_settings(after, error));
    EXPECT_EQ(after, before);

    mark = event_count();
    engine_select_node(0);
    ASSERT_TRUE(wait_event(mark, "state 4"));
    mark = event_count();
    engine_refresh(engine_globals().prefs);  // reload during a session
    ASSERT_TRUE(wait_event(mark, "list 2 final"));
    const auto reload_events = events_since(mark);
    ASSERT_GE(reload_events.size(), 4u);
    EXPECT_EQ(reload_events[0], "state 5");
    EXPECT_EQ(reload_events[1], "state 0");
    EXPECT_EQ(reload_events[2], "list 0");
    ASSERT_TRUE(wait_event(mark, "state 2"));
    ASSERT_TRUE(read_proxy_settings(after, error));
    EXPECT_EQ(after, before);

    mark = event_count();
    engine_select_node(1);
    ASSERT_TRUE(wait_event(mark, "state 4"));
    engine_shutdown();
    ASSERT_TRUE(wait_state(7));
    engine.join();
    ASSERT_TRUE(read_proxy_settings(after, error));
    EXPECT_EQ(after, before);
    std::lock_guard l(rec.lock);
    EXPECT_EQ(rec.states.back(), 7);
}

void refresh_now()
{
    set_pick_taken_hook_for_testing(nullptr);
    preferences prefs;
    {
        engine_shared& g = engine_globals();
        std::lock_guard l(g.engine_mutex);
        prefs = g.prefs;
    }
    engine_refresh(prefs);
}

// A refresh that lands just before the engine clears the stop flags for a picked session must
// still win: a new cycle starts and the session never does.
TEST_F(EngineE2E, RefreshJustBeforeASessionStartsIsNotSwallowed)
{
    const int a = world_->add_node(0);
    ASSERT_NE(a, 0);
    use_subscription(world_->publish("late.txt", testing::engine_world::link(a, "a") + "\n"));
    std::thread engine(engine_run);
    ASSERT_TRUE(wait_state(2));
    const std::size_t mark = event_count();
    set_pick_taken_hook_for_testing(refresh_now);
    engine_select_node(0);
    ASSERT_TRUE(wait_event(mark, "state 0"));
    ASSERT_TRUE(wait_event(mark, "state 2"));
    engine_shutdown();
    ASSERT_TRUE(wait_state(7));
    engine.join();
    set_pick_taken_hook_for_testing(nullptr);
    const auto events = events_since(mark);
    EXPECT_EQ(std::count(events.begin(), events.end(), "state 3"), 0);
}

// The session ends (the listener closes) exactly while the TUN switch is being turned off:
// whichever runs first, the system proxy must not be left pointing at the closed port.
void end_session_inside_the_switch()
{
    engine_disconnect();
    // Where the end of the session could overtake the switch, it completes here; where it waits
    // for the switch, this wait runs out.
    wait_state(2, 2, 1000ms);
}

TEST_F(EngineE2E, TunSwitchOffRacingTheSessionEndLeavesTheProxyRestored)
{
    const int a = world_->add_node(0);
    ASSERT_NE(a, 0);
    use_subscription(world_->publish("switch.txt", testing::engine_world::link(a, "a") + "\n"));
    proxy_settings before;
    std::u16string error;
    ASSERT_TRUE(read_proxy_settings(before, error)) << utf16_to_utf8(error);
    std::thread engine(engine_run);
    ASSERT_TRUE(wait_state(2));
    engine_select_node(0);
    ASSERT_TRUE(wait_state(4));
    {
        // The session runs as in TUN mode: no system proxy of ours, the switch on.
        engine_shared& g = engine_globals();
        std::lock_guard l(g.engine_mutex);
        ASSERT_TRUE(restore_system_proxy());
        g.tun_enabled = true;
        g.prefs.tun_enabled = true;
    }
    set_tun_switch_hook_for_testing(end_session_inside_the_switch);
    std::u16string message;
    EXPECT_TRUE(tun_switch(false, message)) << utf16_to_utf8(message);
    set_tun_switch_hook_for_testing(nullptr);
    ASSERT_TRUE(wait_state(2, 2));
    proxy_settings after;
    ASSERT_TRUE(read_proxy_settings(after, error));
    EXPECT_EQ(after, before) << "the system proxy points at the closed port";
    engine_shutdown();
    ASSERT_TRUE(wait_state(7));
    engine.join();
    ASSERT_TRUE(read_proxy_settings(after, error));
    EXPECT_EQ(after, before);
}

TEST_F(EngineE2E, FailedLoadLogsClearsTheListAndWaits)
{
    use_subscription("http://127.0.0.1:" + std::to_string(world_->files_port()) + "/nothing-here.txt");
    std::thread engine(engine_run);
    ASSERT_TRUE(wait_state(6));
    engine_select_node(0);  // nothing to pick: the engine keeps waiting for reload or quit
    std::this_thread::sleep_for(100ms);
    engine_shutdown();
    ASSERT_TRUE(wait_state(7));
    engine.join();
    std::lock_guard l(rec.lock);
    EXPECT_EQ(std::count(rec.states.begin(), rec.states.end(), 3), 0);
    ASSERT_FALSE(rec.lines.empty());
    EXPECT_TRUE(is_error_line(rec.lines.back()));
    EXPECT_NE(rec.lines.back().find(localized_text(message_id::server_returned_error)), std::u16string::npos);
    // The list was emptied before the failure state.
    const auto six = std::find(rec.events.begin(), rec.events.end(), "state 6");
    ASSERT_NE(six, rec.events.begin());
    EXPECT_EQ(*(six - 1), "list 0");
}

}  // namespace
}  // namespace pelto
