// The loopback proxy end to end with real programs: curl as the browser, Python's http.server and
// openssl s_server as origins, and the independent Shadowsocks 2022 server as the node for hosts
// of the service domain. Everything listens on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crypto/encoding.h"
#include "engine/engine_state.h"
#include "engine/listener.h"
#include "engine/service_domain.h"
#include "engine/system_proxy.h"
#include "net/socket.h"
#include "net/testing/loopback.h"
#include "tests/support/child_process.h"
#include "tests/support/gsettings_sandbox.h"

namespace pelto {
namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

const testing::gsettings_sandbox sandbox;

std::uint16_t free_port()
{
    testing::loopback_listener l;
    return l.port();
}

// Waits until something accepts connections on 127.0.0.1:`port`.
bool wait_listening(std::uint16_t port)
{
    const auto deadline = steady::now() + 15s;
    while (steady::now() < deadline) {
        socket_handle s = invalid_socket_handle;
        std::u16string error;
        if (tcp_connect("127.0.0.1", port, 500, 500, s, error)) {
            close_socket(s);
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

bytes test_key()
{
    bytes key(16);
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint8_t>(0xA0 + i * 7);
    }
    return key;
}

class proxy_e2e : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::random_device random;
        dir_ = new std::filesystem::path(std::filesystem::temp_directory_path() /
                                         ("pelto-e2e-" + std::to_string(random())));
        std::filesystem::create_directories(*dir_);
        std::ofstream(*dir_ / "page.txt") << page_text;
        {
            std::ofstream big(*dir_ / "big.bin", std::ios::binary);
            std::mt19937 bytes_source(7);
            for (std::size_t i = 0; i < big_size; ++i) {
                big.put(static_cast<char>(bytes_source() & 0xFF));
            }
        }

        // A self-signed certificate for the TLS origin.
        std::string ignored;
        ASSERT_EQ(testing::run_command({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec",
                                        "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                                        "-subj", "/CN=www.service.test",
                                        "-keyout", (*dir_ / "key.pem").string(),
                                        "-out", (*dir_ / "cert.pem").string()},
                                       ignored, 30s),
                  0);

        http_ = new testing::child_process;
        ASSERT_TRUE(http_->start({"/usr/bin/python3", PELTO_SOURCE_DIR "/tests/peers/http_origin.py",
                                  "--directory", dir_->string()}));
        const std::string first = http_->wait_for_line("listening ", 15s);
        ASSERT_FALSE(first.empty());
        http_port_ = static_cast<std::uint16_t>(std::stoi(first.substr(10)));
        tls_port_ = free_port();
        tls_ = new testing::child_process;
        ASSERT_TRUE(tls_->start({"/usr/bin/openssl", "s_server", "-quiet", "-www",
                                 "-accept", "127.0.0.1:" + std::to_string(tls_port_),
                                 "-cert", (*dir_ / "cert.pem").string(),
                                 "-key", (*dir_ / "key.pem").string()}));
        ASSERT_TRUE(wait_listening(http_port_));
        ASSERT_TRUE(wait_listening(tls_port_));
    }

    static void TearDownTestSuite()
    {
        delete http_;
        delete tls_;
        std::error_code ignored;
        std::filesystem::remove_all(*dir_, ignored);
        delete dir_;
    }

    void SetUp() override
    {
        ASSERT_TRUE(net_startup());
        engine_shared& g = engine_globals();
        set_engine_flag(g.session_stop_flag, false);
        set_engine_flag(g.quit_flag, false);
        clear_stop();
        set_service_domain_for_testing("service.test");
    }

    void TearDown() override
    {
        stop_session();
        if (peer_.running()) {
            EXPECT_EQ(peer_.stop(), 0);
        }
    }

    // Starts the Shadowsocks server with extra arguments and makes it the current node.
    void start_node(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> argv = {"/usr/bin/python3",
                                         PELTO_SOURCE_DIR "/tests/peers/ss2022_server.py",
                                         "--port", "0", "--psk", base64_encode(test_key()),
                                         "--map", "www.service.test=127.0.0.1"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_TRUE(peer_.start(argv));
        const std::string first = peer_.wait_for_line("listening ", 15s);
        ASSERT_FALSE(first.empty());
        node_record node;
        node.protocol = node_protocol::shadowsocks;
        node.name = u"loopback node";
        node.server = "127.0.0.1";
        node.port = static_cast<std::uint16_t>(std::stoi(first.substr(10)));
        node.user_key = test_key();
        engine_globals().current_node.replace(node);
    }

    void start_session()
    {
        ASSERT_TRUE(start_listener());
        port_ = local_proxy_port();
        loop_ = std::thread([] { accept_loop(); });
    }

    void stop_session()
    {
        if (!loop_.joinable()) {
            return;
        }
        set_engine_flag(engine_globals().session_stop_flag, true);
        stop_all_sockets();
        close_listener();
        loop_.join();
        restore_system_proxy();
    }

    // curl through the proxy; returns its exit status and fills `out_body`.
    int curl(const std::string& url, std::string& out_body, std::chrono::seconds limit = 20s)
    {
        return testing::run_command({"/usr/bin/curl", "-sS", "-k", "--fail", "--max-time", "15",
                                     "--proxy", "http://127.0.0.1:" + std::to_string(port_), url},
                                    out_body, limit);
    }

    static constexpr const char* page_text = "a page served by the local origin\n";
    static constexpr std::size_t big_size = 1 << 20;
    static inline std::filesystem::path* dir_ = nullptr;
    static inline testing::child_process* http_ = nullptr;
    static inline testing::child_process* tls_ = nullptr;
    static inline std::uint16_t http_port_ = 0;
    static inline std::uint16_t tls_port_ = 0;

    testing::child_process peer_;
    std::int32_t port_ = 0;
    std::thread loop_;
};

TEST_F(proxy_e2e, ordinary_hosts_are_reached_directly_by_forwarding_and_by_tunnel)
{
    start_session();
    std::string body;
    EXPECT_EQ(curl("http://127.0.0.1:" + std::to_string(http_port_) + "/page.txt", body), 0);
    EXPECT_EQ(body, page_text);

    body.clear();
    EXPECT_EQ(curl("https://127.0.0.1:" + std::to_string(tls_port_) + "/", body), 0);
    EXPECT_NE(body.find("s_server"), std::string::npos) << body;
}

TEST_F(proxy_e2e, service_hosts_go_through_the_shadowsocks_node)
{
    start_node();
    start_session();
    std::string body;
    EXPECT_EQ(curl("http://www.service.test:" + std::to_string(http_port_) + "/page.txt", body), 0);
    EXPECT_EQ(body, page_text);
    EXPECT_FALSE(peer_.wait_for_line("connect www.service.test " + std::to_string(http_port_), 5s).empty());

    body.clear();
    EXPECT_EQ(curl("https://www.service.test:" + std::to_string(tls_port_) + "/", body), 0);
    EXPECT_NE(body.find("s_server"), std::string::npos) << body;
    EXPECT_FALSE(peer_.wait_for_line("connect www.service.test " + std::to_string(tls_port_), 5s).empty());
}

TEST_F(proxy_e2e, each_request_of_a_kept_alive_client_connection_reaches_its_own_destination)
{
    // An HTTP/1.1 origin that keeps connections open, and one curl run that fetches an ordinary
    // URL and then a service URL: curl would send both over one proxy connection if it stayed
    // open, and the service request (with its cookies) would go straight to the first host.
    testing::child_process keep_alive;
    ASSERT_TRUE(keep_alive.start({"/usr/bin/python3", PELTO_SOURCE_DIR "/tests/peers/http_origin.py",
                                  "--directory", dir_->string(), "--keep-alive"}));
    const std::string first = keep_alive.wait_for_line("listening ", 15s);
    ASSERT_FALSE(first.empty());
    const std::string port = first.substr(10);
    start_node();
    start_session();
    std::string body;
    EXPECT_EQ(testing::run_command({"/usr/bin/curl", "-sS", "--fail", "--max-time", "15", "--proxy",
                                    "http://127.0.0.1:" + std::to_string(port_),
                                    "http://127.0.0.1:" + port + "/page.txt",
                                    "http://www.service.test:" + port + "/page.txt"},
                                   body, 20s),
              0);
    EXPECT_EQ(body, std::string(page_text) + page_text);
    EXPECT_FALSE(peer_.wait_for_line("connect www.service.test " + port, 5s).empty());
}

TEST_F(proxy_e2e, a_node_that_sends_empty_payloads_carries_a_whole_mebibyte)
{
    // Real servers seal empty payloads too: after a header announcing none, and as chunks of
    // length 0. Each must be read and checked, or the stream falls a nonce behind and dies.
    for (const std::vector<std::string>& form :
         {std::vector<std::string>{"--zero-chunks"}, std::vector<std::string>{"--empty-first-payload"}}) {
        SCOPED_TRACE(form.front());
        start_node(form);
        start_session();
        std::string body;
        EXPECT_EQ(curl("http://www.service.test:" + std::to_string(http_port_) + "/big.bin", body), 0);
        std::ifstream expected_file(*dir_ / "big.bin", std::ios::binary);
        const std::string expected((std::istreambuf_iterator<char>(expected_file)), std::istreambuf_iterator<char>());
        EXPECT_EQ(body.size(), big_size);
        EXPECT_TRUE(body == expected);
        stop_session();
        EXPECT_EQ(peer_.stop(), 0);
        SetUp();
    }
}

TEST_F(proxy_e2e, a_node_that_misbehaves_fails_the_request_promptly)
{
    for (const char* fault : {"bad-salt-echo", "corrupt-header-tag", "early-close"}) {
        SCOPED_TRACE(fault);
        start_node({"--misbehave", fault});
        start_session();
        std::string body;
        const auto start = steady::now();
        EXPECT_NE(curl("http://www.service.test:" + std::to_string(http_port_) + "/page.txt", body), 0);
        EXPECT_LT(steady::now() - start, 10s);
        EXPECT_EQ(body.find(page_text), std::string::npos);
        stop_session();
        EXPECT_EQ(peer_.stop(), 0);
        SetUp();
    }
}

TEST_F(proxy_e2e, the_system_proxy_points_at_the_listener_and_is_restored_after_the_session)
{
    proxy_settings before;
    std::u16string error;
    ASSERT_TRUE(read_proxy_settings(before, error));
    start_session();
    proxy_settings during;
    ASSERT_TRUE(read_proxy_settings(during, error));
    const std::string port_text = std::to_string(port_);
    EXPECT_NE(during.server.find(std::u16string(port_text.begin(), port_text.end())), std::u16string::npos);
    stop_session();
    proxy_settings after;
    ASSERT_TRUE(read_proxy_settings(after, error));
    EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace pelto
