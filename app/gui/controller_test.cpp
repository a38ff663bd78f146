#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "app/gui/controller.h"
#include "tests/support/recording_context.h"
#include "base/localized_text.h"

namespace pelto::gui {
namespace {

using pelto::testing::recording_context;

// An engine that records every call and reports only what the test tells it to. Its thread runs
// until shutdown (then reports 7) or until the test makes it end on its own.
class scripted_engine final : public engine_port {
public:
    void connect_reports(bool on) override { connected = on; }
    void run() override
    {
        std::unique_lock lock(mutex);
        cv.wait(lock, [this] { return (quit && !stuck) || fail_start; });
        returned = true;
        cv.notify_all();
        if (fail_start) {
            lock.unlock();
            deliver_line(format_log_line(log_level::error, 1, 2, 3, u"network start-up failed"));
            deliver_state(6);
            return;
        }
        lock.unlock();
        deliver_state(7);
    }
    void refresh(const preferences& p) override
    {
        const std::lock_guard lock(mutex);
        ++refreshes;
        last_prefs = p;
    }
    void select_node(std::int32_t index) override
    {
        const std::lock_guard lock(mutex);
        selected.push_back(index);
    }
    void disconnect() override
    {
        const std::lock_guard lock(mutex);
        ++disconnects;
    }
    void shutdown() override
    {
        {
            const std::lock_guard lock(mutex);
            quit = true;
        }
        cv.notify_all();
    }
    bool tun_switch(bool on, std::u16string& message) override
    {
        std::unique_lock lock(mutex);
        cv.wait(lock, [this] { return tun_release; });
        if (!tun_ok) {
            message = u"no adapter";
        }
        last_tun = on;
        return tun_ok;
    }
    void abandon() override
    {
        const std::lock_guard lock(mutex);
        ++abandons;
    }
    // A stuck engine thread: `run` ignores shutdown until `unstick`.
    void unstick()
    {
        {
            const std::lock_guard lock(mutex);
            stuck = false;
        }
        cv.notify_all();
    }
    // Waits (bounded) until `run` has returned.
    bool wait_returned()
    {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(5), [this] { return returned; });
    }
    void end_on_its_own()
    {
        {
            const std::lock_guard lock(mutex);
            fail_start = true;
        }
        cv.notify_all();
    }
    void release_tun()
    {
        {
            const std::lock_guard lock(mutex);
            tun_release = true;
        }
        cv.notify_all();
    }
    int refresh_count()
    {
        const std::lock_guard lock(mutex);
        return refreshes;
    }

    std::mutex mutex;
    std::condition_variable cv;
    bool quit = false;
    bool stuck = false;
    bool returned = false;
    int abandons = 0;
    bool fail_start = false;
    bool tun_release = true;
    bool tun_ok = true;
    bool last_tun = false;
    bool connected = false;
    int refreshes = 0;
    int disconnects = 0;
    preferences last_prefs;
    std::vector<std::int32_t> selected;
};

std::vector<node_entry> three_nodes()
{
    return {{u"Alpha", u"Shadowsocks 2022", 40}, {u"Beta", u"VLESS", 60}, {u"Gamma", u"Trojan", 80}};
}

class controller_fixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        d2dui::input() = {};
        rc.svg_present[501] = rc.svg_present[502] = true;
        for (int id : {110, 111, 112, 120}) {
            rc.png_sizes[id] = {28, 28};
        }
        calls.is_elevated = [this] { return elevated; };
        calls.relaunch_elevated = [this] {
            ++relaunches;
            return relaunch_ok;
        };
        calls.store_preferences = [this](const preferences& p) {
            stored.push_back(p);
            return store_ok;
        };
    }
    void TearDown() override
    {
        engine.unstick();  // a failed close-bound test must not leave the destructor waiting
        engine.release_tun();
        if (second) {
            second->release_tun();
        }
        app.reset();
        root.reset();
        d2dui::input() = {};
        language_choice.store(0);
    }
    void open(start_record start = {})
    {
        app = std::make_unique<controller>(start, engine, calls);
        root = std::make_unique<d2dui::widget>();
        root->set_bounds(0, 0, 440, 600);
        app->build(*root);
        root->mount(rc);
        app->start();
        frame();
    }
    bool frame()
    {
        const bool close = app->poll(440, 600);
        root->update(1.0f / 60);
        return close;
    }
    // Frames until `done` holds (bounded: a stuck operation fails the test instead of hanging).
    template <typename F>
    bool frames_until(F done)
    {
        for (int i = 0; i < 400; ++i) {
            if (done()) {
                return true;
            }
            frame();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    }
    // Frames until the poll says the window may close (once), bounded.
    bool closes()
    {
        for (int i = 0; i < 400; ++i) {
            if (frame()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    void settle_stack()
    {
        for (int i = 0; i < 120 && app->screens().stack->transitioning(); ++i) {
            root->update(1.0f / 30);
        }
    }
    void list_ready()
    {
        deliver_state(0);
        deliver_nodes(three_nodes(), false);
        deliver_state(1);
        deliver_nodes(three_nodes(), true);
        deliver_state(2);
        frame();
    }
    void connect_row(int row)
    {
        app->screens().nodes->select_by_key(three_nodes()[static_cast<std::size_t>(row)].name,
                                            three_nodes()[static_cast<std::size_t>(row)].subtitle);
        app->connect_or_disconnect();
        deliver_state(3);
        deliver_state(4);
        frame();
    }

    recording_context rc;
    scripted_engine engine;
    std::unique_ptr<scripted_engine> second;  // a second window's engine
    system_calls calls;
    bool elevated = true;
    bool relaunch_ok = false;
    int relaunches = 0;
    bool store_ok = true;
    std::vector<preferences> stored;
    std::unique_ptr<d2dui::widget> root;
    std::unique_ptr<controller> app;
};

TEST_F(controller_fixture, list_connect_disconnect_and_the_controls_in_each_state)
{
    start_record start;
    start.prefs.subscription_url = u"https://example.test/list";
    open(start);
    EXPECT_EQ(engine.refresh_count(), 1);
    EXPECT_EQ(engine.last_prefs.subscription_url, start.prefs.subscription_url);
    EXPECT_TRUE(engine.connected);
    ui::screens& s = app->screens();

    // Loading: nothing can be done but settings.
    EXPECT_EQ(app->status_text(), localized_text(message_id::loading_nodes));
    EXPECT_FALSE(s.primary->enabled());
    EXPECT_FALSE(s.refresh->enabled());
    EXPECT_TRUE(s.refresh->spinning);
    EXPECT_TRUE(s.settings_button->enabled());

    // Two lists before one frame: only the newer shows.
    deliver_nodes({{u"Old", u"VLESS", 1}}, false);
    list_ready();
    ASSERT_EQ(s.nodes->entries().size(), 3u);
    EXPECT_EQ(app->engine_state(), engine_state::ready);
    EXPECT_TRUE(s.primary->enabled());
    EXPECT_TRUE(s.refresh->enabled());
    EXPECT_FALSE(s.refresh->spinning);
    EXPECT_EQ(s.primary->label, localized_text(message_id::connect));

    // States 3 and 4 in one frame: connected to the row asked for.
    s.nodes->select_by_key(u"Beta", u"VLESS");
    app->connect_or_disconnect();
    EXPECT_EQ(app->engine_state(), engine_state::starting);
    EXPECT_FALSE(s.primary->enabled());
    EXPECT_FALSE(s.tun->enabled());
    EXPECT_EQ(engine.selected, std::vector<std::int32_t>{1});
    app->connect_or_disconnect();  // a second press while starting sends nothing
    EXPECT_EQ(engine.selected.size(), 1u);
    deliver_state(3);
    deliver_state(4);
    frame();
    EXPECT_EQ(app->engine_state(), engine_state::running);
    EXPECT_EQ(app->connected_index(), 1);
    EXPECT_EQ(app->status_text(), localized_text(message_id::connected));
    EXPECT_EQ(s.primary->label, localized_text(message_id::disconnect));

    // Another row while connected: the button offers a switch.
    s.nodes->select_by_key(u"Gamma", u"Trojan");
    app->update_controls();
    EXPECT_EQ(s.primary->label, localized_text(message_id::switch_node));
    s.nodes->select_by_key(u"Beta", u"VLESS");
    app->connect_or_disconnect();
    EXPECT_EQ(engine.disconnects, 1);
    EXPECT_EQ(app->engine_state(), engine_state::stopping);
    EXPECT_EQ(s.primary->label, localized_text(message_id::disconnecting));
    deliver_state(5);
    deliver_state(2);
    frame();
    EXPECT_EQ(app->connected_index(), -1);
    EXPECT_EQ(app->status_text(), localized_text(message_id::not_connected));

    // Failure: the engine's error line without its prefix, in the error colour.
    deliver_line(format_log_line(log_level::information, 1, 2, 3, u"ignored"));
    deliver_line(format_log_line(log_level::error, 1, 2, 3, u"session failed: timed out"));
    deliver_state(6);
    frame();
    EXPECT_EQ(app->status_text(), u"session failed: timed out");
    EXPECT_TRUE(s.texts.status_is_error);
}

TEST_F(controller_fixture, refresh_reselects_by_name_and_subtitle_and_reconnects)
{
    open();
    list_ready();
    connect_row(2);
    ASSERT_EQ(app->connected_index(), 2);
    app->refresh_nodes();
    EXPECT_EQ(app->engine_state(), engine_state::loading);
    ASSERT_TRUE(frames_until([&] { return engine.refresh_count() == 2 && !app->busy(); }));
    // The reloaded list is in another order; an empty interim list does not wipe the rows.
    deliver_state(0);
    deliver_nodes({}, false);
    frame();
    EXPECT_EQ(app->screens().nodes->entries().size(), 3u);
    deliver_nodes({{u"Gamma", u"VLESS", 5}, {u"Gamma", u"Trojan", 10}, {u"Alpha", u"Shadowsocks 2022", 20}}, true);
    deliver_state(2);
    frame();
    EXPECT_EQ(app->screens().nodes->selected(), 1);
    ASSERT_EQ(engine.selected.size(), 2u);
    EXPECT_EQ(engine.selected.back(), 1);
    EXPECT_EQ(app->engine_state(), engine_state::starting);

    // The connected node gone after a reload: its name and the missing-node text.
    deliver_state(4);
    frame();
    app->refresh_nodes();
    ASSERT_TRUE(frames_until([&] { return !app->busy(); }));
    deliver_nodes({{u"Delta", u"VLESS", 5}}, true);
    deliver_state(2);
    frame();
    EXPECT_EQ(app->error_line(), u"Gamma - " + std::u16string(localized_text(message_id::unavailable)));
    EXPECT_EQ(engine.selected.size(), 2u);

    // A failed reload drops the list and the remembered node.
    app->refresh_nodes();
    ASSERT_TRUE(frames_until([&] { return !app->busy(); }));
    deliver_state(6);
    frame();
    EXPECT_TRUE(app->screens().nodes->entries().empty());
}

TEST_F(controller_fixture, settings_save_rules_and_the_language_preview)
{
    start_record start;
    start.prefs.tun_enabled = true;  // decided at start on a wired machine
    start.stored_tun_enabled = false;
    open(start);
    list_ready();
    ui::screens& s = app->screens();

    // Unchanged: back to the main page without a reload; TUN stored as the user left it.
    app->show_page(1);
    settle_stack();
    s.subscription->set_text(u"  \t");
    app->save_preferences();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_FALSE(stored[0].tun_enabled);
    EXPECT_TRUE(app->saved().tun_enabled);
    EXPECT_EQ(engine.refresh_count(), 1);
    settle_stack();
    EXPECT_EQ(s.stack->current(), 0);

    // Only the language changed: no reload either.
    app->show_page(1);
    settle_stack();
    app->choose_language(1);
    EXPECT_EQ(language_choice.load(), 1);
    app->save_preferences();
    EXPECT_EQ(engine.refresh_count(), 1);
    EXPECT_EQ(app->saved().language, 1);

    // An invalid address: message 22, nothing stored.
    app->show_page(1);
    settle_stack();
    s.subscription->set_text(u"ftp://bad");
    app->save_preferences();
    EXPECT_EQ(app->error_line(), localized_text(message_id::invalid_subscription_url));
    EXPECT_EQ(stored.size(), 2u);

    // A new address, trimmed: stored and handed to the engine, then the main page.
    s.subscription->set_text(u"  https://example.test/nodes \n");
    app->save_preferences();
    ASSERT_TRUE(frames_until([&] { return engine.refresh_count() == 2 && !app->busy(); }));
    EXPECT_EQ(engine.last_prefs.subscription_url, u"https://example.test/nodes");
    EXPECT_EQ(app->saved().subscription_url, u"https://example.test/nodes");
    settle_stack();
    EXPECT_EQ(s.stack->current(), 0);

    // Storing fails: message 23, the saved set unchanged.
    store_ok = false;
    app->show_page(1);
    settle_stack();
    s.subscription->set_text(u"https://example.test/other");
    app->save_preferences();
    EXPECT_EQ(app->error_line(), localized_text(message_id::settings_not_saved));
    EXPECT_EQ(app->saved().subscription_url, u"https://example.test/nodes");

    // Escape undoes a previewed language; on the main page it does nothing.
    app->choose_language(2);
    EXPECT_EQ(language_choice.load(), 2);
    app->on_key(0x1B, false, false);
    EXPECT_EQ(language_choice.load(), 1);
    settle_stack();
    EXPECT_EQ(s.stack->current(), 0);
    app->on_key(0x1B, false, false);
    EXPECT_EQ(s.stack->current(), 0);
}

TEST_F(controller_fixture, tun_switch_gating_failure_and_elevation)
{
    open();
    list_ready();
    ui::screens& s = app->screens();

    // Refused while a session starts.
    s.nodes->select_by_key(u"Alpha", u"Shadowsocks 2022");
    app->connect_or_disconnect();
    app->toggle_tun(true);
    EXPECT_TRUE(stored.empty());
    deliver_state(4);
    frame();

    // A failed switch moves back and shows its message; a working one stores the value.
    engine.tun_ok = false;
    s.tun->set_value(true, true);
    ASSERT_TRUE(frames_until([&] { return !app->busy(); }));
    frame();
    EXPECT_FALSE(s.tun->value());
    EXPECT_EQ(app->error_line(), u"no adapter");
    EXPECT_TRUE(stored.empty());
    engine.tun_ok = true;
    s.tun->set_value(true, true);
    ASSERT_TRUE(frames_until([&] { return !app->busy(); }));
    frame();
    EXPECT_TRUE(s.tun->value());
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_TRUE(stored[0].tun_enabled);
    s.tun->set_value(false, true);
    ASSERT_TRUE(frames_until([&] { return !app->busy(); }));
    frame();

    // Not elevated and the relaunch declined: message 24, switch off.
    elevated = false;
    s.tun->set_value(true, true);
    EXPECT_EQ(relaunches, 1);
    EXPECT_FALSE(s.tun->value());
    EXPECT_EQ(app->error_line(), localized_text(message_id::tun_needs_administrator));
    // Accepted: this instance closes.
    relaunch_ok = true;
    s.tun->set_value(true, true);
    EXPECT_TRUE(app->closing());
    EXPECT_TRUE(frames_until([&] { return app->engine_ended(); }));
}

TEST_F(controller_fixture, close_waits_for_the_operation_and_the_engine)
{
    open();
    list_ready();
    EXPECT_FALSE(app->on_close_message());  // swallowed until the engine has ended
    EXPECT_TRUE(app->closing());
    EXPECT_EQ(app->status_text(), localized_text(message_id::closing));
    app->refresh_nodes();  // refused while closing
    EXPECT_EQ(engine.refresh_count(), 1);
    ASSERT_TRUE(closes());
    EXPECT_TRUE(app->on_close_message());

    // A second window: closing while a TUN switch runs waits for it.
    app.reset();
    second = std::make_unique<scripted_engine>();
    second->tun_release = false;
    app = std::make_unique<controller>(start_record{}, *second, calls);
    root = std::make_unique<d2dui::widget>();
    app->build(*root);
    root->mount(rc);
    app->start();
    list_ready();
    app->toggle_tun(true);
    ASSERT_TRUE(app->busy());
    app->request_close();
    for (int i = 0; i < 20; ++i) {
        ASSERT_FALSE(frame());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    second->release_tun();
    EXPECT_TRUE(closes());
    app.reset();
}

TEST_F(controller_fixture, closing_gives_up_on_an_engine_thread_that_never_ends)
{
    engine.stuck = true;
    open();
    list_ready();
    app->set_close_limit(std::chrono::milliseconds(300));
    const auto asked = std::chrono::steady_clock::now();
    app->request_close();
    ASSERT_TRUE(app->close_deadline().has_value());
    EXPECT_GE(*app->close_deadline(), asked + std::chrono::milliseconds(300));
    ASSERT_TRUE(closes());  // bounded: 400 polls 5 ms apart
    const auto waited = std::chrono::steady_clock::now() - asked;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_FALSE(app->engine_ended());
    EXPECT_TRUE(app->engine_abandoned());
    {
        const std::lock_guard lock(engine.mutex);
        EXPECT_EQ(engine.abandons, 1);  // the system proxy and TUN mode were put right
    }
    EXPECT_FALSE(app->close_deadline().has_value());
    EXPECT_TRUE(app->on_close_message());
    app.reset();  // does not wait for the stuck thread
    engine.unstick();
    EXPECT_TRUE(engine.wait_returned());
}

TEST_F(controller_fixture, an_engine_that_ends_in_time_is_not_given_up)
{
    open();
    list_ready();
    app->set_close_limit(std::chrono::milliseconds(5000));
    app->request_close();
    ASSERT_TRUE(closes());
    EXPECT_TRUE(app->engine_ended());
    EXPECT_FALSE(app->engine_abandoned());
    const std::lock_guard lock(engine.mutex);
    EXPECT_EQ(engine.abandons, 0);
}

std::atomic<int> ui_wakes{0};
void count_wake()
{
    ui_wakes.fetch_add(1);
}

TEST_F(controller_fixture, reports_results_and_the_engine_end_wake_the_window_and_ask_for_a_frame)
{
    set_ui_wake(&count_wake);
    open();
    ui_wakes.store(0);
    EXPECT_FALSE(app->poll_changed());  // nothing arrived since the start
    deliver_state(0);
    EXPECT_EQ(ui_wakes.load(), 1);
    frame();
    EXPECT_TRUE(app->poll_changed());
    frame();
    EXPECT_FALSE(app->poll_changed());  // idle: no frame asked for
    list_ready();
    ui_wakes.store(0);
    app->toggle_tun(false);  // an operation: its end wakes the window
    ASSERT_TRUE(frames_until([&] { return ui_wakes.load() >= 1 && !app->busy(); }));
    ASSERT_TRUE(frames_until([&] { return !app->busy(); }));
    ui_wakes.store(0);
    app->request_close();
    ASSERT_TRUE(closes());
    EXPECT_GE(ui_wakes.load(), 2);  // state 7 and the end of the thread
    set_ui_wake(nullptr);
}

TEST_F(controller_fixture, an_engine_that_ends_by_itself_leaves_every_action_off)
{
    open();
    list_ready();
    engine.end_on_its_own();
    ASSERT_TRUE(frames_until([&] { return app->engine_ended(); }));
    frame();
    EXPECT_EQ(app->status_text(), u"network start-up failed");
    ui::screens& s = app->screens();
    EXPECT_FALSE(s.primary->enabled());
    EXPECT_FALSE(s.refresh->enabled());
    EXPECT_FALSE(s.tun->enabled());
    app->connect_or_disconnect();
    app->refresh_nodes();
    frame();
    EXPECT_TRUE(engine.selected.empty());
    EXPECT_EQ(engine.refresh_count(), 1);
    EXPECT_EQ(app->status_text(), u"network start-up failed");
    EXPECT_FALSE(s.refresh->spinning);
}

TEST_F(controller_fixture, keys_tab_enter_once_and_held_keys)
{
    open();
    list_ready();
    ui::screens& s = app->screens();
    d2dui::widget::set_focus(s.primary);
    app->on_key(0x0D, false, false);
    EXPECT_EQ(engine.selected.size(), 1u);
    deliver_state(4);
    frame();
    // Auto-repeat of the held key does not press again.
    app->on_key(0x0D, false, true);
    app->on_key(0x20, false, true);
    EXPECT_EQ(engine.disconnects, 0);
    // Space on the focused TUN switch flips it through its change function.
    d2dui::widget::set_focus(s.tun);
    app->on_key(0x20, false, false);
    ASSERT_TRUE(frames_until([&] { return !app->busy(); }));
    frame();
    EXPECT_TRUE(engine.last_tun);
    EXPECT_TRUE(app->saved().tun_enabled);
    // Tab moves the focus on.
    app->on_key(0x09, false, false);
    EXPECT_NE(d2dui::input().focused_widget, s.tun);
}

}  // namespace
}  // namespace pelto::gui

namespace pelto::gui {
namespace {

TEST_F(controller_fixture, a_start_without_the_rights_tun_wanted_says_so)
{
    start_record start;
    start.elevation_refused = true;
    open(start);
    EXPECT_EQ(app->status_text(), localized_text(message_id::tun_needs_administrator));
    EXPECT_TRUE(app->screens().texts.status_is_error);
    EXPECT_FALSE(app->screens().tun->value());
}

}  // namespace
}  // namespace pelto::gui

namespace pelto::gui {
namespace {

// Every state's status line is the message table's, in the language chosen, also after the
// engine has ended without being asked to.
TEST_F(controller_fixture, every_state_text_comes_from_the_table_in_both_languages)
{
    for (const bool second : {false, true}) {
        open();
        app->choose_language(second ? 1 : 2);
        const auto text = [&](message_id id) { return std::u16string(localized_text(id, second)); };
        const std::pair<std::int32_t, message_id> expected[] = {
            {0, message_id::loading_nodes}, {1, message_id::testing},       {2, message_id::not_connected},
            {3, message_id::connecting},    {4, message_id::connected},     {5, message_id::disconnecting},
            {6, message_id::unexpected_error}};
        for (const auto& [state, id] : expected) {
            deliver_state(state);
            frame();
            EXPECT_EQ(app->status_text(), text(id)) << "state " << state << (second ? " (second)" : "");
            EXPECT_EQ(app->screens().texts.status, text(id)) << "state " << state;
        }
        // Ended after a ready list: the last state's text stays, in the same language.
        deliver_state(2);
        deliver_state(7);
        frame();
        EXPECT_EQ(app->status_text(), text(message_id::not_connected));
        app.reset();
        root.reset();
        engine.quit = false;
    }
}

}  // namespace
}  // namespace pelto::gui

namespace pelto::gui {
namespace {

// While probing, the user's pick stands when the list settles; without a pick the fastest node
// is selected.
TEST_F(controller_fixture, a_node_the_user_picked_while_probing_stays_picked)
{
    open();
    ui::screens& s = app->screens();
    deliver_state(1);
    deliver_nodes({{u"Alpha", u"VLESS", -1}, {u"Beta", u"VLESS", -1}, {u"Gamma", u"Trojan", -1}}, false);
    frame();
    ASSERT_EQ(s.nodes->selected(), 0);
    // A click on the third card of the list.
    const d2dui::rect list = s.nodes->area();
    for (const d2dui::input_kind kind : {d2dui::input_kind::pointer_down, d2dui::input_kind::pointer_up}) {
        root->route_event(d2dui::input_event::pointer(kind, list.x + 60, list.y + 2 * 64 + 20));
    }
    ASSERT_EQ(s.nodes->selected(), 2);
    // Settled with Beta fastest: Gamma stays.
    deliver_nodes({{u"Beta", u"VLESS", 30}, {u"Alpha", u"VLESS", 50}, {u"Gamma", u"Trojan", 90}}, true);
    deliver_state(2);
    frame();
    ASSERT_EQ(s.nodes->selected(), 2);
    EXPECT_EQ(s.nodes->entries()[2].name, u"Gamma");
    app->connect_or_disconnect();
    ASSERT_EQ(engine.selected.size(), 1u);
    EXPECT_EQ(engine.selected[0], 2);

    // A list the user's node is missing from: the automatic pick applies again.
    deliver_state(1);
    deliver_nodes({{u"Alpha", u"VLESS", -1}, {u"Beta", u"VLESS", -1}}, false);
    frame();
    deliver_nodes({{u"Alpha", u"VLESS", 70}, {u"Beta", u"VLESS", 20}}, false);
    deliver_nodes({{u"Beta", u"VLESS", 20}, {u"Alpha", u"VLESS", 70}}, true);
    frame();
    EXPECT_EQ(s.nodes->selected(), 0);
    EXPECT_EQ(s.nodes->entries()[0].name, u"Beta");
}

}  // namespace
}  // namespace pelto::gui

namespace pelto::gui {
namespace {

// Enter in the address box saves like the Save button; F5 refreshes once per press and only
// when an action may run.
TEST_F(controller_fixture, enter_in_the_address_box_saves_and_f5_refreshes)
{
    open();
    ui::screens& s = app->screens();
    EXPECT_TRUE(app->on_key(0x74, false, false));  // loading: nothing to refresh yet
    EXPECT_EQ(engine.refresh_count(), 1);
    list_ready();

    app->show_page(1);
    settle_stack();
    const d2dui::rect box = s.subscription->area();
    root->route_event(d2dui::input_event::pointer(d2dui::input_kind::pointer_down, box.x + 4, box.y + 4));
    root->route_event(d2dui::input_event::pointer(d2dui::input_kind::pointer_up, box.x + 4, box.y + 4));
    ASSERT_EQ(d2dui::input().focused_widget, s.subscription);
    s.subscription->set_text(u"https://example.test/entered");
    EXPECT_FALSE(app->on_key(0x0D, false, false));  // the box takes Enter itself
    root->route_event(d2dui::input_event::keyboard(d2dui::input_kind::key_down, 0x0D));
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].subscription_url, u"https://example.test/entered");
    ASSERT_TRUE(frames_until([&] { return engine.refresh_count() == 2 && !app->busy(); }));
    frame();
    settle_stack();
    EXPECT_EQ(s.stack->current(), 0);

    deliver_state(2);
    frame();
    EXPECT_TRUE(app->on_key(0x74, false, false));
    EXPECT_EQ(app->engine_state(), engine_state::loading);
    ASSERT_TRUE(frames_until([&] { return engine.refresh_count() == 3 && !app->busy(); }));
    deliver_state(2);
    frame();
    app->on_key(0x74, false, true);  // a held key refreshes once
    frame();
    EXPECT_EQ(engine.refresh_count(), 3);
}

}  // namespace
}  // namespace pelto::gui
