// The window's controller against the real engine and Shadowsocks 2022 test nodes, with a
// window-less widget tree: the list arrives, Connect connects, Refresh finds the connected node
// again and reconnects, Disconnect, and a close while the engine runs.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/gui/controller.h"
#include "base/text.h"
#include "engine/engine_state.h"
#include "engine/listener.h"
#include "engine/node_loader.h"
#include "engine/service_domain.h"
#include "engine/system_proxy.h"
#include "tests/engine/engine_world.h"
#include "tests/support/gsettings_sandbox.h"
#include "tests/support/recording_context.h"
#include "base/localized_text.h"

namespace pelto {
namespace {

const testing::gsettings_sandbox sandbox;

class GuiEngineE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(world.ok());
        d2dui::input() = {};
        rc.svg_present[501] = rc.svg_present[502] = true;
        for (int id : {110, 111, 112, 120}) {
            rc.png_sizes[id] = {28, 28};
        }
        set_probe_host_for_testing("probe.test");
        set_service_domain_for_testing("service.test");
        set_endpoint_directory_for_testing(utf8_to_utf16(world.dir().string()));
        engine_shared& g = engine_globals();
        g.quit_flag = false;
        g.reload_flag = false;
        g.session_stop_flag = false;
        set_requested_index(-1);
        calls.is_elevated = [] { return false; };
        calls.relaunch_elevated = [] { return false; };
        calls.store_preferences = [](const preferences&) { return true; };
    }
    void TearDown() override
    {
        app.reset();
        root.reset();
        d2dui::input() = {};
    }
    // Frames until `done` (at most 30 s of them).
    template <typename F>
    bool frames_until(F done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            last_poll = app->poll(440, 600);
            root->update(1.0f / 60);
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    testing::engine_world world;
    pelto::testing::recording_context rc;
    gui::system_calls calls;
    std::unique_ptr<d2dui::widget> root;
    std::unique_ptr<gui::controller> app;
    bool last_poll = false;
};

TEST_F(GuiEngineE2E, ListConnectRefreshDisconnectAndClose)
{
    const int fast = world.add_node(0);
    const int slow = world.add_node(150);
    ASSERT_TRUE(fast != 0 && slow != 0);
    gui::start_record start;
    start.prefs.subscription_url = utf8_to_utf16(world.publish(
        "gui.txt", testing::engine_world::link(slow, "Slow") + "\n" + testing::engine_world::link(fast, "Fast") + "\n"));
    app = std::make_unique<gui::controller>(start, gui::real_engine(), calls);
    root = std::make_unique<d2dui::widget>();
    app->build(*root);
    root->mount(rc);
    app->start();
    ui::screens& s = app->screens();

    ASSERT_TRUE(frames_until([&] { return app->engine_state() == pelto::engine_state::ready && s.nodes->settled(); }));
    ASSERT_EQ(s.nodes->entries().size(), 2u);
    EXPECT_EQ(s.nodes->entries()[0].name, u"Fast");  // sorted by latency
    EXPECT_TRUE(s.primary->enabled());

    // Connect the slower one.
    ASSERT_TRUE(s.nodes->select_by_key(u"Slow", s.nodes->entries()[1].subtitle));
    app->connect_or_disconnect();
    ASSERT_TRUE(frames_until([&] { return app->engine_state() == pelto::engine_state::running; }));
    EXPECT_EQ(app->connected_index(), 1);
    EXPECT_EQ(app->status_text(), localized_text(message_id::connected));
    EXPECT_EQ(s.primary->label, localized_text(message_id::disconnect));
    EXPECT_NE(local_proxy_port(), 0);

    // Refresh: the connected node is found again by name and subtitle and reconnected.
    app->refresh_nodes();
    ASSERT_TRUE(frames_until([&] { return app->engine_state() == pelto::engine_state::loading || app->engine_state() == pelto::engine_state::probing; }));
    ASSERT_TRUE(frames_until([&] { return app->engine_state() == pelto::engine_state::running && !app->busy(); }));
    ASSERT_GE(app->connected_index(), 0);
    EXPECT_EQ(s.nodes->entries()[static_cast<std::size_t>(app->connected_index())].name, u"Slow");

    // Disconnect.
    s.nodes->select_by_key(u"Slow", s.nodes->entries()[static_cast<std::size_t>(app->connected_index())].subtitle);
    app->connect_or_disconnect();
    ASSERT_TRUE(frames_until([&] { return app->engine_state() == pelto::engine_state::ready; }));
    EXPECT_EQ(app->connected_index(), -1);

    // Close: the window may go once the engine thread has ended.
    EXPECT_FALSE(app->on_close_message());
    ASSERT_TRUE(frames_until([&] { return last_poll; }));
    EXPECT_TRUE(app->engine_ended());
    EXPECT_TRUE(app->on_close_message());
}

TEST_F(GuiEngineE2E, EndOfSessionRunsTheTeardownAtOnce)
{
    const int node = world.add_node(0);
    ASSERT_NE(node, 0);
    proxy_settings before;
    std::u16string error;
    ASSERT_TRUE(read_proxy_settings(before, error));
    gui::start_record start;
    start.prefs.subscription_url = utf8_to_utf16(world.publish("end.txt", testing::engine_world::link(node, "N") + "\n"));
    app = std::make_unique<gui::controller>(start, gui::real_engine(), calls);
    root = std::make_unique<d2dui::widget>();
    app->build(*root);
    root->mount(rc);
    app->start();
    ASSERT_TRUE(frames_until([&] { return app->engine_state() == pelto::engine_state::ready && app->screens().nodes->settled(); }));
    app->connect_or_disconnect();
    ASSERT_TRUE(frames_until([&] { return app->engine_state() == pelto::engine_state::running; }));
    proxy_settings during;
    ASSERT_TRUE(read_proxy_settings(during, error));
    EXPECT_NE(during, before);

    // Log-off: no more frames come; the proxy is back when the call returns.
    app->end_session(std::chrono::seconds(10));
    EXPECT_TRUE(app->engine_ended());
    proxy_settings after;
    ASSERT_TRUE(read_proxy_settings(after, error));
    EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace pelto
