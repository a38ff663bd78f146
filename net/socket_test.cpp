#include "net/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/bytes.h"
#include "base/text.h"
#include "net/resolver_seam.h"
#include "net/socket_platform.h"
#include "net/testing/loopback.h"

namespace pelto {
namespace {

using testing::close_unregistered;
using testing::loopback_listener;

std::int64_t elapsed_ms(std::int64_t start_ns)
{
    return (monotonic_ns() - start_ns) / 1'000'000;
}

// The stop flag and the lookup seam are process-wide; every case starts and ends clean.
class socket_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(net_startup());
        clear_stop();
    }
    void TearDown() override
    {
        clear_stop();
        replace_lookup_for_tests(nullptr);
        net_cleanup();
    }

    // A connected pair: `client` is registered (from tcp_connect), `server` is not.
    void connect_pair(loopback_listener& listener, socket_handle& client, socket_handle& server,
                      std::int32_t io_timeout_ms = 5000)
    {
        std::u16string error;
        ASSERT_TRUE(tcp_connect("127.0.0.1", listener.port(), 2000, io_timeout_ms, client, error))
            << std::string(error.begin(), error.end());
        EXPECT_TRUE(error.empty());
        server = listener.accept();
        ASSERT_NE(server, invalid_socket_handle);
    }
};

// Fills the accept queue of a listener that never accepts. Once it is full, further SYNs are
// dropped and a connect stays pending. True if that state was reached.
bool fill_accept_queue(loopback_listener& listener, std::vector<socket_handle>& fillers)
{
    for (int i = 0; i < 64; ++i) {
        socket_handle s = invalid_socket_handle;
        std::u16string error;
        const std::int64_t start = monotonic_ns();
        if (!tcp_connect("127.0.0.1", listener.port(), 300, 0, s, error)) {
            return elapsed_ms(start) >= 250;  // timed out rather than refused
        }
        fillers.push_back(s);
    }
    return false;
}

void close_all(std::vector<socket_handle>& sockets)
{
    for (const socket_handle s : sockets) {
        close_socket(s);
    }
    sockets.clear();
}

TEST_F(socket_test, moves_exact_byte_counts_and_fails_on_an_early_close)
{
    loopback_listener listener;
    socket_handle client = invalid_socket_handle;
    std::u16string error;
    ASSERT_TRUE(tcp_connect("localhost", listener.port(), 2000, 5000, client, error));
    const socket_handle server = listener.accept();
    ASSERT_NE(server, invalid_socket_handle);

    bytes payload(200'000);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    std::thread sender([&] {
        EXPECT_TRUE(send_all(client, payload.data(), static_cast<std::int32_t>(payload.size())));
    });
    bytes received(payload.size());
    EXPECT_TRUE(recv_exact(server, received.data(), static_cast<std::int32_t>(received.size())));
    sender.join();
    EXPECT_EQ(received, payload);

    // Part of a message, then the peer leaves.
    ASSERT_TRUE(send_all(server, payload.data(), 4));
    close_unregistered(server);
    std::uint8_t buffer[10];
    EXPECT_FALSE(recv_exact(client, buffer, 10));
    EXPECT_LE(recv_some(client, buffer, 10), 0);
    close_socket(client);
}

TEST_F(socket_test, closing_twice_leaves_a_reused_handle_alone)
{
    loopback_listener listener;
    socket_handle client = invalid_socket_handle;
    socket_handle server = invalid_socket_handle;
    connect_pair(listener, client, server);
    close_unregistered(server);
    close_socket(client);
    close_socket(invalid_socket_handle);

    // The next socket the system opens usually takes the freed handle value; a second close of
    // the old handle must not reach it, since the registry no longer holds that value.
    loopback_listener reused;
    ASSERT_TRUE(reused.ok());
    close_socket(client);
    socket_handle probe = invalid_socket_handle;
    std::u16string error;
    ASSERT_TRUE(tcp_connect("127.0.0.1", reused.port(), 2000, 2000, probe, error));
    const socket_handle accepted = reused.accept();
    EXPECT_NE(accepted, invalid_socket_handle);
    close_unregistered(accepted);
    close_socket(probe);
}

TEST_F(socket_test, stop_flag_refuses_connects_and_registrations)
{
    loopback_listener listener;
    stop_all_sockets();
    EXPECT_TRUE(is_stopping());

    socket_handle s = invalid_socket_handle;
    std::u16string error;
    EXPECT_FALSE(tcp_connect("127.0.0.1", listener.port(), 2000, 2000, s, error));
    EXPECT_EQ(s, invalid_socket_handle);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(listener.accept(200), invalid_socket_handle);  // no connection was even tried

    address_list addresses;
    std::u16string resolve_error;
    EXPECT_FALSE(resolve_host("127.0.0.1", "80", addresses, resolve_error));
    EXPECT_EQ(resolve_error, error);  // the same stopping message
    EXPECT_TRUE(addresses.empty());

    EXPECT_FALSE(register_socket(12345));
    clear_stop();
    EXPECT_FALSE(is_stopping());
    EXPECT_FALSE(register_socket(invalid_socket_handle));
    EXPECT_TRUE(tcp_connect("127.0.0.1", listener.port(), 2000, 2000, s, error));
    close_socket(s);
}

TEST_F(socket_test, stop_all_sockets_wakes_blocked_receives)
{
    loopback_listener listener;
    socket_handle client = invalid_socket_handle;
    socket_handle server = invalid_socket_handle;
    connect_pair(listener, client, server, 0);

    std::atomic<bool> returned{false};
    std::thread reader([&] {
        std::uint8_t buffer[16];
        EXPECT_FALSE(recv_exact(client, buffer, 16));
        returned = true;
    });
    // No I/O time-out was asked for, so the receive is still blocked after a good while.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_FALSE(returned.load());
    const std::int64_t start = monotonic_ns();
    stop_all_sockets();
    reader.join();
    EXPECT_LT(elapsed_ms(start), 1000);
    close_socket(client);
    close_unregistered(server);
}

TEST_F(socket_test, io_timeout_ends_a_silent_receive)
{
    loopback_listener listener;
    socket_handle client = invalid_socket_handle;
    socket_handle server = invalid_socket_handle;
    connect_pair(listener, client, server, 300);
    std::uint8_t buffer[4];
    const std::int64_t start = monotonic_ns();
    EXPECT_FALSE(recv_exact(client, buffer, 4));
    EXPECT_GE(elapsed_ms(start), 250);
    EXPECT_LT(elapsed_ms(start), 3000);
    close_socket(client);
    close_unregistered(server);
}

TEST_F(socket_test, stop_flag_cuts_a_pending_connect)
{
    loopback_listener listener(0);
    std::vector<socket_handle> fillers;
    if (!fill_accept_queue(listener, fillers)) {
        close_all(fillers);
        GTEST_SKIP() << "this system refuses or completes connects to a full queue";
    }
    socket_handle s = invalid_socket_handle;
    std::u16string error;
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop_all_sockets();
    });
    const std::int64_t start = monotonic_ns();
    EXPECT_FALSE(tcp_connect("127.0.0.1", listener.port(), 20'000, 0, s, error));
    const std::int64_t waited = elapsed_ms(start);
    stopper.join();
    EXPECT_GE(waited, 250);
    EXPECT_LT(waited, 300 + 200 + 250);
    EXPECT_EQ(s, invalid_socket_handle);

    std::u16string stopping;
    socket_handle unused = invalid_socket_handle;
    tcp_connect("127.0.0.1", listener.port(), 100, 0, unused, stopping);
    EXPECT_EQ(error, stopping);
    clear_stop();
    close_all(fillers);
}

// The test's chosen addresses stand in for a name with several addresses.
std::vector<resolved_address> scripted_addresses;
bool scripted_lookup(const std::string&, const std::string&, address_list& out)
{
    out = scripted_addresses;
    return !out.empty();
}

TEST_F(socket_test, skips_addresses_that_do_not_answer_or_refuse)
{
    loopback_listener silent(0);
    loopback_listener open;
    std::vector<socket_handle> fillers;
    const bool silent_blocks = fill_accept_queue(silent, fillers);

    resolved_address refused;
    {
        loopback_listener gone;
        refused = gone.address();
    }
    scripted_addresses = {refused, open.address()};
    if (silent_blocks) {
        scripted_addresses.insert(scripted_addresses.begin(), silent.address());
    }
    replace_lookup_for_tests(&scripted_lookup);

    socket_handle s = invalid_socket_handle;
    std::u16string error;
    const std::int64_t start = monotonic_ns();
    ASSERT_TRUE(tcp_connect("several.test", 1, 400, 2000, s, error));
    if (silent_blocks) {
        EXPECT_GE(elapsed_ms(start), 350);  // the silent address had its full time-out
    }
    const socket_handle accepted = open.accept();
    ASSERT_NE(accepted, invalid_socket_handle);
    close_unregistered(accepted);
    close_socket(s);

    scripted_addresses = {refused};
    error.clear();
    EXPECT_FALSE(tcp_connect("several.test", 1, 400, 2000, s, error));
    EXPECT_FALSE(error.empty());
    std::u16string kept = u"earlier layer's reason";
    EXPECT_FALSE(tcp_connect("several.test", 1, 400, 2000, s, kept));
    EXPECT_EQ(kept, u"earlier layer's reason");
    close_all(fillers);
}

// A lookup that hangs until the test lets it go, like a resolver that never answers.
struct hanging_lookup_control {
    std::mutex lock;
    std::condition_variable changed;
    bool released = false;
    int running = 0;
    int calls = 0;
};
hanging_lookup_control hanging;

bool hanging_lookup(const std::string&, const std::string&, address_list& out)
{
    std::unique_lock guard(hanging.lock);
    ++hanging.calls;
    ++hanging.running;
    hanging.changed.notify_all();  // a test may wait for a number of lookups in flight
    hanging.changed.wait(guard, [] { return hanging.released; });
    out.assign(3, resolved_address{});  // a result nobody will look at any more
    --hanging.running;
    hanging.changed.notify_all();
    return true;
}

void release_hanging_lookups()
{
    std::unique_lock guard(hanging.lock);
    hanging.released = true;
    hanging.changed.notify_all();
    hanging.changed.wait(guard, [] { return hanging.running == 0; });
    hanging.released = false;
}

TEST_F(socket_test, resolution_gives_up_at_the_deadline_and_on_stop)
{
    replace_lookup_for_tests(&hanging_lookup);
    address_list addresses;
    std::u16string failed;
    std::int64_t start = monotonic_ns();
    EXPECT_FALSE(resolve_host("slow.test", "443", addresses, failed));
    EXPECT_GE(elapsed_ms(start), 2900);
    EXPECT_LT(elapsed_ms(start), 3600);
    EXPECT_TRUE(addresses.empty());

    std::u16string stopped;
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        stop_all_sockets();
    });
    start = monotonic_ns();
    EXPECT_FALSE(resolve_host("slow.test", "443", addresses, stopped));
    const std::int64_t waited = elapsed_ms(start);
    stopper.join();
    EXPECT_LT(waited, 250 + 100 + 150);
    EXPECT_NE(stopped, failed);  // stopping, not resolve-failed
    clear_stop();

    // The abandoned lookups finish after their callers left; their results are dropped.
    release_hanging_lookups();
    EXPECT_EQ(hanging.calls, 2);
}

bool quick_lookup(const std::string&, const std::string&, address_list& out)
{
    out.assign(1, resolved_address{});
    return true;
}

TEST_F(socket_test, abandoned_lookups_are_bounded_and_their_slots_come_back)
{
    // Lookups an earlier test let go may still be finishing; start from none in flight.
    for (int i = 0; i < 500 && running_lookups_for_tests() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(running_lookups_for_tests(), 0);
    replace_lookup_for_tests(&hanging_lookup);
    const int calls_before = hanging.calls;
    std::vector<std::thread> callers;
    for (int i = 0; i < net_detail::max_running_lookups; ++i) {
        callers.emplace_back([] {
            address_list addresses;
            std::u16string error;
            resolve_host("slow.test", "443", addresses, error);
        });
    }
    bool all_running = false;
    {
        std::unique_lock guard(hanging.lock);
        all_running = hanging.changed.wait_for(guard, std::chrono::seconds(20), [] {
            return hanging.running == net_detail::max_running_lookups;
        });
    }
    stop_all_sockets();  // every caller gives up; the lookups themselves go on
    for (std::thread& t : callers) {
        t.join();
    }
    clear_stop();
    if (!all_running) {
        release_hanging_lookups();
        FAIL() << "the lookups did not all start";
    }

    // With every slot held by an abandoned lookup, one more fails at once without a thread.
    address_list addresses;
    std::u16string error;
    const std::int64_t start = monotonic_ns();
    EXPECT_FALSE(resolve_host("one-more.test", "443", addresses, error));
    EXPECT_LT(elapsed_ms(start), 500);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(hanging.calls, calls_before + net_detail::max_running_lookups);

    // Once they finish, their slots are free again.
    release_hanging_lookups();
    replace_lookup_for_tests(&quick_lookup);
    bool resolved = false;
    for (int attempt = 0; attempt < 50 && !resolved; ++attempt) {
        error.clear();
        resolved = resolve_host("again.test", "443", addresses, error);
        if (!resolved) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    EXPECT_TRUE(resolved);
}

TEST(address_entries, only_stream_entries_with_an_address_are_kept)
{
    // A resolver that ignores the hints may list datagram and raw entries beside the stream ones.
    struct fake_entry {
        int ai_family;
        int ai_socktype;
        int ai_protocol;
        std::size_t ai_addrlen;
        const void* ai_addr;
        const fake_entry* ai_next;
    };
    const std::uint8_t bytes16[16] = {2, 0, 0, 80, 127, 0, 0, 1};
    const int stream = 1;
    const int datagram = 2;
    const fake_entry raw_entry{2, 3, 0, sizeof bytes16, bytes16, nullptr};
    const fake_entry no_address{2, stream, 6, 0, nullptr, &raw_entry};
    const fake_entry second_stream{2, stream, 6, sizeof bytes16, bytes16, &no_address};
    const fake_entry udp{2, datagram, 17, sizeof bytes16, bytes16, &second_stream};
    const fake_entry first_stream{2, stream, 6, sizeof bytes16, bytes16, &udp};
    address_list out;
    net_platform::append_entries(&first_stream, stream, out);
    ASSERT_EQ(out.size(), 2u);
    for (const resolved_address& a : out) {
        EXPECT_EQ(a.socket_type, stream);
        EXPECT_EQ(a.sockaddr_bytes.size(), 16u);
    }
}

TEST_F(socket_test, literals_resolve_without_a_lookup_and_local_addresses_are_told_apart)
{
    replace_lookup_for_tests(&hanging_lookup);  // a literal must never reach the lookup
    const struct {
        const char* host;
        bool local;
    } cases[] = {
        {"127.0.0.1", true},  {"127.255.0.9", true},       {"0.0.0.0", true},
        {"::1", true},        {"::", true},                {"::ffff:127.0.0.1", true},
        {"10.0.0.1", false},  {"128.0.0.1", false},        {"::2", false},
        {"2001:db8::1", false}, {"::ffff:10.0.0.1", false}, {"1.0.0.127", false},
    };
    for (const auto& c : cases) {
        address_list addresses;
        std::u16string error;
        const std::int64_t start = monotonic_ns();
        ASSERT_TRUE(resolve_host(c.host, "80", addresses, error)) << c.host;
        EXPECT_LT(elapsed_ms(start), 500);
        ASSERT_EQ(addresses.size(), 1u);
        EXPECT_EQ(address_is_local(addresses.front()), c.local) << c.host;
    }
}

TEST_F(socket_test, hosts_no_resolver_can_take_fail_without_a_lookup)
{
    replace_lookup_for_tests(&hanging_lookup);  // would hang for 3 s if it were reached
    const int calls_before = hanging.calls;
    const std::string cases[] = {
        std::string(),
        std::string(256, 'a'),
        std::string("127.0.0.1\0.evil.test", 20),  // must not shrink to 127.0.0.1
        std::string("bad\xC3.test"),               // ill-formed UTF-8
    };
    for (const std::string& host : cases) {
        socket_handle s = invalid_socket_handle;
        std::u16string error;
        const std::int64_t start = monotonic_ns();
        EXPECT_FALSE(tcp_connect(host, 80, 1000, 1000, s, error));
        EXPECT_LT(elapsed_ms(start), 500);
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(s, invalid_socket_handle);
    }
    address_list addresses;
    std::u16string error;
    EXPECT_FALSE(resolve_host(std::string("a\0b", 3), "80", addresses, error));
    EXPECT_EQ(hanging.calls, calls_before);
}

}  // namespace
}  // namespace pelto
