// The loopback HTTP proxy on real sockets: tunnels and forwarded requests to local origins,
// requests it must refuse, failing destinations, the port range, the connection cap and the
// session stop. Runs on both platforms.
#include "engine/listener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_state.h"
#include "engine/service_domain.h"
#include "engine/system_proxy.h"
#include "net/tcp_listener.h"
#include "net/testing/loopback.h"

namespace pelto {
namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// An origin that records what it receives and echoes it back, for any number of connections.
class echo_origin {
public:
    explicit echo_origin(testing::loopback_family family = testing::loopback_family::ipv4)
        : listener_(16, family)
    {
        if (listener_.ok()) {
            acceptor_ = std::thread([this] { run(); });
        }
    }
    ~echo_origin()
    {
        stopping_ = true;
        acceptor_.join();
        for (std::thread& t : workers_) {
            t.join();
        }
    }
    bool ok() const { return listener_.ok(); }
    std::uint16_t port() const { return listener_.port(); }
    std::string received()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    void run()
    {
        while (!stopping_) {
            const socket_handle s = listener_.accept(100);
            if (s != invalid_socket_handle) {
                workers_.emplace_back([this, s] { serve(s); });
            }
        }
    }
    void serve(socket_handle s)
    {
        std::uint8_t buffer[4096];
        for (;;) {
            const std::int32_t n = recv_some(s, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                received_.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
            }
            if (!send_all(s, buffer, n)) {
                break;
            }
        }
        testing::close_unregistered(s);
    }

    testing::loopback_listener listener_;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::string received_;
};

// A local client of the proxy.
class client {
public:
    explicit client(std::int32_t port)
    {
        std::u16string error;
        ok_ = tcp_connect("127.0.0.1", static_cast<std::uint16_t>(port), 2000, 5000, socket_, error);
    }
    ~client() { close_socket(socket_); }
    bool ok() const { return ok_; }
    bool send(std::string_view text)
    {
        return send_all(socket_, reinterpret_cast<const std::uint8_t*>(text.data()),
                        static_cast<std::int32_t>(text.size()));
    }
    // Reads until `n` bytes arrived or the connection ended; what arrived.
    std::string receive(std::size_t n)
    {
        std::string out;
        std::uint8_t buffer[4096];
        while (out.size() < n) {
            const std::int32_t got = recv_some(socket_, buffer,
                                               static_cast<std::int32_t>(std::min<std::size_t>(sizeof buffer, n - out.size())));
            if (got <= 0) {
                break;
            }
            out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(got));
        }
        return out;
    }
    // True when the proxy ends the connection (end of stream or reset) without sending anything,
    // within 3 s. The receive time-out is 5 s, so a silent proxy that keeps the connection open
    // fails this instead of passing as "closed".
    bool closed_without_reply()
    {
        std::uint8_t byte;
        const auto start = steady::now();
        const std::int32_t n = recv_some(socket_, &byte, 1);
        return n <= 0 && steady::now() - start < 3s;
    }

private:
    socket_handle socket_ = invalid_socket_handle;
    bool ok_ = false;
};

std::vector<std::u16string> logged_lines;
std::mutex logged_mutex;

void collect_line(const std::u16string& line)
{
    const std::lock_guard<std::mutex> lock(logged_mutex);
    logged_lines.push_back(line);
}

void reset_engine()
{
    engine_shared& g = engine_globals();
    set_engine_flag(g.session_stop_flag, false);
    set_engine_flag(g.quit_flag, false);
    {
        const std::lock_guard<std::mutex> lock(g.engine_mutex);
        g.tun_enabled = false;
        g.prefs.option_flag = false;
        g.session_active = false;
    }
    clear_stop();
    set_service_domain_for_testing("service.test");
    node_record trojan;
    trojan.protocol = node_protocol::trojan;
    trojan.server = "127.0.0.1";
    trojan.port = 9;
    g.current_node.replace(trojan);
}

class listener : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_engine();
        ASSERT_TRUE(net_startup());
        ASSERT_TRUE(start_listener());
        port_ = local_proxy_port();
        ASSERT_GE(port_, listener_first_port);
        ASSERT_LE(port_, listener_last_port);
        loop_ = std::thread([] { accept_loop(); });
    }
    void TearDown() override { end_session(); }

    // What the engine does when a session ends; returns how long it took.
    std::chrono::milliseconds end_session()
    {
        if (!loop_.joinable()) {
            return 0ms;
        }
        const auto start = steady::now();
        set_engine_flag(engine_globals().session_stop_flag, true);
        stop_all_sockets();
        close_listener();
        loop_.join();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start);
        restore_system_proxy();
        reset_engine();
        return took;
    }

    std::int32_t port_ = 0;
    std::thread loop_;
};

std::string connect_head(const std::string& authority)
{
    return "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
}

const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";

TEST_F(listener, points_the_system_proxy_at_its_port_while_the_session_runs)
{
    proxy_settings now;
    std::u16string error;
    ASSERT_TRUE(read_proxy_settings(now, error));
    EXPECT_TRUE(now.flags & proxy_type_proxy);
    const std::string port_text = std::to_string(port_);
    EXPECT_NE(now.server.find(std::u16string(port_text.begin(), port_text.end())), std::u16string::npos);
}

TEST_F(listener, tunnels_to_the_authority_and_delivers_early_data_after_the_reply)
{
    echo_origin origin;
    ASSERT_TRUE(origin.ok());
    client c(port_);
    ASSERT_TRUE(c.ok());
    const std::string authority = "127.0.0.1:" + std::to_string(origin.port());
    ASSERT_TRUE(c.send(connect_head(authority) + "early bytes"));
    EXPECT_EQ(c.receive(established.size()), established);
    EXPECT_EQ(c.receive(11), "early bytes");
    const std::string big(100000, 'x');
    ASSERT_TRUE(c.send(big));
    EXPECT_EQ(c.receive(big.size()), big);
    EXPECT_EQ(origin.received(), "early bytes" + big);
}

TEST_F(listener, tunnels_to_a_bracketed_ipv6_authority)
{
    echo_origin origin(testing::loopback_family::ipv6);
    if (!origin.ok()) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    client c(port_);
    ASSERT_TRUE(c.send(connect_head("[::1]:" + std::to_string(origin.port())) + "v6"));
    EXPECT_EQ(c.receive(established.size() + 2), established + "v6");
}

TEST_F(listener, forwards_one_request_per_connection_to_the_host_header)
{
    echo_origin origin;
    ASSERT_TRUE(origin.ok());
    const std::string authority = "127.0.0.1:" + std::to_string(origin.port());
    // Optional white space around the Host value: spaces, tabs, trailing blanks.
    for (const std::string& host_line : {"hOsT:   " + authority, "Host:\t" + authority + " \t"}) {
        client c(port_);
        const std::string request = "GET http://" + authority + "/path?q=1 HTTP/1.1\r\n"
                                    "User-Agent: test\r\n" +
                                    host_line + "\r\n"
                                    "Proxy-Connection: keep-alive\r\n"
                                    "Connection: keep-alive\r\n"
                                    "Keep-Alive: timeout=5\r\n"
                                    "Accept: */*\r\n\r\nbody";
        // The hop-by-hop connection headers go; "Connection: close" makes the origin end the
        // connection after this one request, so a later request on the client's connection can
        // never reach this destination. Everything else passes byte for byte.
        const std::string expected = "GET http://" + authority + "/path?q=1 HTTP/1.1\r\n"
                                     "User-Agent: test\r\n" +
                                     host_line + "\r\n"
                                     "Accept: */*\r\n"
                                     "Connection: close\r\n\r\nbody";
        ASSERT_TRUE(c.send(request));
        EXPECT_EQ(c.receive(expected.size()), expected);  // the origin echoes exactly what it got
    }
}

TEST_F(listener, answers_a_request_for_its_own_port_without_dialling_itself)
{
    const std::string own = std::to_string(port_);
    const std::string heads[] = {
        connect_head("127.0.0.1:" + own),
        connect_head("localhost:" + own),
        connect_head("[::1]:" + own),
        "GET http://127.0.0.2:" + own + "/img.png HTTP/1.1\r\nHost: 127.0.0.2:" + own + "\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: 0.0.0.0:" + own + "\r\n\r\n",
    };
    for (const std::string& head : heads) {
        client c(port_);
        ASSERT_TRUE(c.send(head));
        const auto start = steady::now();
        const std::string reply = c.receive(4096);
        EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 502") << head;
        EXPECT_LT(steady::now() - start, 3s) << head;
    }
    // Had it dialled itself, each hop would hold a slot; all 128 are still free.
    echo_origin origin;  // outlives the tunnels: its workers end when they close
    std::vector<std::unique_ptr<client>> tunnels;
    for (std::size_t i = 0; i < max_connection_threads; ++i) {
        tunnels.push_back(std::make_unique<client>(port_));
        ASSERT_TRUE(tunnels.back()->send(connect_head("127.0.0.1:" + std::to_string(origin.port()))));
    }
    for (auto& t : tunnels) {
        ASSERT_EQ(t->receive(established.size()), established);
    }
}

TEST_F(listener, closes_requests_it_cannot_route_without_a_reply)
{
    const std::string refused[] = {
        "GET / HTTP/1.1\r\nUser-Agent: no host header\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: \r\n\r\n",
        connect_head("127.0.0.1:0"),
        connect_head("127.0.0.1:65536"),
        connect_head("::1:443"),                     // a bare IPv6 literal is ambiguous
        "GET /host: HTTP/1.1\r\nX: y\r\n\r\n",      // "host:" only in the request line
    };
    for (const std::string& head : refused) {
        client c(port_);
        ASSERT_TRUE(c.send(head));
        EXPECT_TRUE(c.closed_without_reply()) << head;
    }
}

TEST_F(listener, closes_a_head_that_reaches_16384_bytes_without_ending)
{
    client c(port_);
    ASSERT_TRUE(c.send("GET / HTTP/1.1\r\nX-Long: " + std::string(max_request_head, 'a')));
    EXPECT_TRUE(c.closed_without_reply());
}

TEST_F(listener, answers_with_the_failure_response_when_the_destination_cannot_be_reached)
{
    // A port nobody listens on: bind one, close it, use its number.
    std::uint16_t dead_port;
    {
        testing::loopback_listener l;
        ASSERT_TRUE(l.ok());
        dead_port = l.port();
    }
    for (const std::string& authority : {"127.0.0.1:" + std::to_string(dead_port),
                                         std::string("www.service.test:443")}) {
        client c(port_);
        ASSERT_TRUE(c.send(connect_head(authority)));
        const std::string reply = c.receive(4096);  // everything up to the close
        EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 502") << authority;
        EXPECT_TRUE(reply.ends_with("\r\n\r\n")) << reply;
    }
}

TEST_F(listener, refuses_the_129th_live_connection_and_the_session_end_cuts_every_one)
{
    std::vector<std::unique_ptr<client>> idle;
    for (std::size_t i = 0; i < max_connection_threads; ++i) {
        idle.push_back(std::make_unique<client>(port_));
        ASSERT_TRUE(idle.back()->ok());
        ASSERT_TRUE(idle.back()->send("GET / HTTP/1.1\r\n"));  // an unfinished head keeps it open
    }
    // Wait until the loop has accepted all of them, then one more is refused at once.
    client extra(port_);
    const auto start = steady::now();
    EXPECT_TRUE(extra.closed_without_reply());
    EXPECT_LT(steady::now() - start, 3s);

    // When those clients leave, their slots come back: a new tunnel works again.
    idle.clear();
    echo_origin origin;
    ASSERT_TRUE(origin.ok());
    bool tunnelled = false;
    const auto deadline = steady::now() + 3s;
    while (!tunnelled && steady::now() < deadline) {
        client again(port_);
        ASSERT_TRUE(again.send(connect_head("127.0.0.1:" + std::to_string(origin.port()))));
        tunnelled = again.receive(established.size()) == established;
    }
    EXPECT_TRUE(tunnelled);

    std::vector<std::unique_ptr<client>> more;
    for (int i = 0; i < 8; ++i) {
        more.push_back(std::make_unique<client>(port_));
        ASSERT_TRUE(more.back()->send("GET / HTTP/1.1\r\n"));
    }
    const auto took = end_session();
    EXPECT_LT(took, 3s);
    for (auto& c : more) {
        EXPECT_TRUE(c->closed_without_reply());
    }
}

TEST_F(listener, the_session_end_stops_running_relays)
{
    echo_origin origin;
    std::vector<std::unique_ptr<client>> tunnels;
    for (int i = 0; i < 4; ++i) {
        tunnels.push_back(std::make_unique<client>(port_));
        ASSERT_TRUE(tunnels.back()->send(connect_head("127.0.0.1:" + std::to_string(origin.port()))));
        ASSERT_EQ(tunnels.back()->receive(established.size()), established);
    }
    EXPECT_LT(end_session(), 3s);
    for (auto& c : tunnels) {
        EXPECT_TRUE(c->closed_without_reply());
    }
}

TEST(listener_ports, no_listener_starts_when_every_port_is_taken)
{
    reset_engine();
    ASSERT_TRUE(net_startup());
    std::vector<socket_handle> taken;
    for (std::uint32_t p = listener_first_port; p <= listener_last_port; ++p) {
        const socket_handle s = open_loopback_listener(static_cast<std::uint16_t>(p), 1);
        if (s != invalid_socket_handle) {
            taken.push_back(s);
        }
    }
    set_message_callback(collect_line);
    {
        const std::lock_guard<std::mutex> lock(logged_mutex);
        logged_lines.clear();
    }
    EXPECT_FALSE(start_listener());
    EXPECT_EQ(local_proxy_port(), 0);
    set_message_callback(nullptr);
    for (socket_handle s : taken) {
        close_listener_socket(s);
    }
    const std::lock_guard<std::mutex> lock(logged_mutex);
    ASSERT_EQ(logged_lines.size(), 1u);
    EXPECT_TRUE(is_error_line(logged_lines[0]));
}

TEST(listener_routing, sends_only_the_service_domain_and_its_subdomains_through_the_node)
{
    set_service_domain_for_testing("service.test");
    EXPECT_TRUE(is_proxied_host("service.test"));
    EXPECT_TRUE(is_proxied_host("WWW.Service.Test"));
    EXPECT_TRUE(is_proxied_host("a.b.service.test"));
    EXPECT_FALSE(is_proxied_host("myservice.test"));  // ends with the domain, but no dot
    EXPECT_FALSE(is_proxied_host(".service.test"));   // nothing before the dot
    EXPECT_FALSE(is_proxied_host("service.test.evil"));
    EXPECT_TRUE(is_proxied_host("www.service.test."));  // the root's dot: the same name
    EXPECT_TRUE(is_proxied_host("service.test."));
    EXPECT_FALSE(is_proxied_host("www.service.test.."));
    EXPECT_FALSE(is_proxied_host("."));
    EXPECT_FALSE(is_proxied_host(""));
}

}  // namespace
}  // namespace pelto
