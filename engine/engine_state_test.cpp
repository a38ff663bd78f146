#include "engine/engine_state.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/text.h"
#include "engine/local_time.h"

namespace pelto {
namespace {

std::vector<std::int32_t> g_states;
std::vector<std::pair<std::size_t, std::int32_t>> g_lists;
std::vector<std::u16string> g_lines;

void on_state(std::int32_t state)
{
    g_states.push_back(state);
}
void on_list(const std::vector<node_entry>& nodes, std::int32_t final_list)
{
    g_lists.emplace_back(nodes.size(), final_list);
}
void on_line(const std::u16string& line)
{
    g_lines.push_back(line);
}

class engine_state_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_states.clear();
        g_lists.clear();
        g_lines.clear();
    }
    void TearDown() override
    {
        set_state_callback(nullptr);
        set_node_list_callback(nullptr);
        set_message_callback(nullptr);
    }
};

void send_one_of_each()
{
    send_state(engine_state::ended);
    send_node_list({node_entry{u"a", u"VLESS", 12}, node_entry{}}, 1);
    log_line(log_level::error, u"failure");
}

TEST_F(engine_state_test, reports_reach_registered_callbacks_only)
{
    send_one_of_each();  // nothing registered yet: nothing happens
    set_state_callback(on_state);
    set_node_list_callback(on_list);
    set_message_callback(on_line);
    send_one_of_each();
    set_state_callback(nullptr);
    set_node_list_callback(nullptr);
    set_message_callback(nullptr);
    send_one_of_each();

    EXPECT_EQ(g_states, (std::vector<std::int32_t>{7}));
    EXPECT_EQ(g_lists, (std::vector<std::pair<std::size_t, std::int32_t>>{{2, 1}}));
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_TRUE(g_lines[0].ends_with(u"] failure"));
    EXPECT_TRUE(is_error_line(g_lines[0]));
}

TEST_F(engine_state_test, log_line_prefix_holds_level_and_local_time)
{
    EXPECT_EQ(format_log_line(log_level::error, 9, 5, 3, u"No nodes"), u"[ERROR|09:05:03] No nodes");
    EXPECT_EQ(format_log_line(log_level::warning, 23, 59, 59, u"香港"), u"[WARN|23:59:59] 香港");
    EXPECT_EQ(format_log_line(log_level::information, 0, 0, 0, u""), u"[INFO|00:00:00] ");
    EXPECT_TRUE(is_error_line(format_log_line(log_level::error, 1, 2, 3, u"x")));
    EXPECT_FALSE(is_error_line(format_log_line(log_level::warning, 1, 2, 3, u"[ERROR|")));
    EXPECT_FALSE(is_error_line(u"ERROR"));
    // The front ends' rule (text after the first space at or after the fifth character) keeps
    // the whole text, spaces included, for every level.
    for (const log_level level : {log_level::error, log_level::warning, log_level::information}) {
        EXPECT_EQ(strip_log_prefix(format_log_line(level, 14, 3, 7, u"No node  responded ")), u"No node  responded ");
        EXPECT_EQ(strip_log_prefix(format_log_line(level, 14, 3, 7, u"")), u"");
    }
    EXPECT_EQ(strip_log_prefix(u"no prefix"), u"no prefix");
    EXPECT_EQ(strip_log_prefix(u"abcd efg"), u"efg");
    EXPECT_EQ(strip_log_prefix(u"abc"), u"abc");

    set_message_callback(on_line);
    const time_of_day before = local_time_now();
    log_line(log_level::information, u"up");
    const time_of_day after = local_time_now();
    ASSERT_EQ(g_lines.size(), 1u);
    // The clock may tick between the readings; the line must carry one of the two.
    EXPECT_TRUE(g_lines[0] == format_log_line(log_level::information, before.hour, before.minute, before.second, u"up") ||
                g_lines[0] == format_log_line(log_level::information, after.hour, after.minute, after.second, u"up"))
        << utf16_to_utf8(g_lines[0]);
}

// Every field holds the same letter; the heap-allocated strings would show a torn copy.
node_record uniform_record(char c)
{
    node_record n;
    n.name = std::u16string(40, static_cast<char16_t>(c));
    n.password = std::string(300, c);
    n.vless.sni = std::string(100, c);
    n.port = static_cast<std::uint16_t>(c);
    return n;
}

TEST_F(engine_state_test, current_node_snapshot_is_never_a_mixture)
{
    guarded_node current;
    current.replace(uniform_record('a'));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            current.replace(uniform_record(i % 2 ? 'a' : 'b'));
        }
        done = true;
    });
    int mixed = 0;
    for (int reads = 0; !done || reads < 100; ++reads) {
        const node_record n = current.snapshot();
        const node_record expected = uniform_record(static_cast<char>(n.port));
        mixed += n.name != expected.name || n.password != expected.password || n.vless.sni != expected.vless.sni;
    }
    writer.join();
    EXPECT_EQ(mixed, 0);
}

TEST_F(engine_state_test, flag_and_request_changes_wake_waiters)
{
    engine_shared& e = engine_globals();
    // The change comes 100 ms after the waiter sleeps. Woken by a notify, the waiter returns at
    // once; without one it would sit out its whole 5 s and only then see the change, so the time
    // taken, not the predicate, shows the wake.
    auto woken_in_time = [&e](auto predicate, auto change) {
        std::thread setter([change] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            change();
        });
        const auto start = std::chrono::steady_clock::now();
        bool seen = false;
        {
            std::unique_lock lock(e.request_mutex);
            seen = e.request_cv.wait_for(lock, std::chrono::seconds(5), predicate);
        }
        const auto took = std::chrono::steady_clock::now() - start;
        setter.join();
        return seen && took < std::chrono::seconds(2);
    };

    EXPECT_TRUE(woken_in_time([&e] { return e.reload_flag.load(); },
                              [] { set_engine_flag(engine_globals().reload_flag, true); }));
    EXPECT_TRUE(set_engine_flag(e.reload_flag, false));  // returns the previous value

    EXPECT_TRUE(woken_in_time([&e] { return e.requested_index >= 0; }, [] { set_requested_index(3); }));
    EXPECT_EQ(e.requested_index, 3);
    set_requested_index(-1);
}

}  // namespace
}  // namespace pelto
