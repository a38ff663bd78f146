// Trojan and VLESS (raw TCP, TLS, WebSocket+TLS) through dial_node against Debian's trojan and
// v2ray servers, with the echo origins of tests/peers behind them. The wrapper script starts
// everything and names the ports; a server that is not installed leaves its tests skipped.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crypto/encoding.h"
#include "crypto/sha256.h"
#include "net/socket.h"
#include "proxy/dial.h"
#include "tests/tls/tls_test_support.h"

namespace pelto {
namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr const char* trojan_password = "pelto-trojan-secret";
// 5f1e3b0a-9c2d-4e8f-a1b2-c3d4e5f60718, the id the v2ray configuration admits.
constexpr std::array<std::uint8_t, 16> vless_id = {0x5f, 0x1e, 0x3b, 0x0a, 0x9c, 0x2d, 0x4e, 0x8f,
                                                   0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07, 0x18};

std::uint16_t port_or_skip(const char* name)
{
    return testing::tls_peer_port(name);
}

// Reads until `n` bytes arrived or the stream ended.
std::string read_bytes(stream& s, std::size_t n)
{
    std::string out;
    std::vector<std::uint8_t> buffer(16384);
    while (out.size() < n) {
        const std::int32_t got = s.read(buffer.data(), static_cast<std::int32_t>(std::min(buffer.size(), n - out.size())));
        if (got < 1) {
            break;
        }
        out.append(buffer.begin(), buffer.begin() + got);
    }
    return out;
}

std::string read_line(stream& s)
{
    std::string out;
    std::uint8_t c = 0;
    while (out.size() < 200 && s.read(&c, 1) == 1) {
        out += static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    return out;
}

// Sends 1 MiB on one thread while reading its echo on this one; compares by hash.
void exchange_a_mebibyte(stream& s)
{
    constexpr std::size_t total = 1 << 20;
    bytes sent(total);
    for (std::size_t i = 0; i < total; ++i) {
        sent[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 11);
    }
    std::atomic<bool> written{true};
    std::thread writer([&] {
        for (std::size_t at = 0; at < total; at += 16384) {
            if (!s.write(sent.data() + at, 16384)) {
                written = false;
                return;
            }
        }
    });
    const std::string echoed = read_bytes(s, total);
    writer.join();
    EXPECT_TRUE(written);
    ASSERT_EQ(echoed.size(), total);
    EXPECT_EQ(sha256(as_bytes(echoed)), sha256(sent));
}

// The origin closes after echoing "QUIT\n": the stream then ends promptly (not by time-out).
void server_close_ends_the_stream(stream& s)
{
    const std::string quit = "QUIT\n";
    ASSERT_TRUE(s.write(reinterpret_cast<const std::uint8_t*>(quit.data()), 5));
    EXPECT_EQ(read_bytes(s, 5), quit);
    const auto start = steady::now();
    std::uint8_t byte = 0;
    EXPECT_EQ(s.read(&byte, 1), 0);
    EXPECT_EQ(s.read(&byte, 1), 0);
    EXPECT_LT(steady::now() - start, 8s);
}

class protocols_interop : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(net_startup());
        ASSERT_TRUE(testing::trust_test_ca());
    }
    void SetUp() override
    {
        clear_stop();
        origin_ = testing::tls_peer_port("origin");
        ASSERT_NE(origin_, 0);
    }

    node_record trojan_node(std::uint16_t port, std::string password = trojan_password) const
    {
        node_record node;
        node.protocol = node_protocol::trojan;
        node.name = u"trojan test node";
        node.server = "127.0.0.1";
        node.port = port;
        node.tls_server_name = "node.test";
        node.password = std::move(password);
        return node;
    }

    node_record vless_node(std::uint16_t port, vless_transport transport) const
    {
        node_record node;
        node.protocol = node_protocol::vless;
        node.name = u"vless test node";
        node.server = "127.0.0.1";
        node.port = port;
        node.vless.uuid = vless_id;
        node.vless.transport = transport;
        node.vless.sni = "node.test";
        node.vless.ws_path = "/pelto-ws";
        return node;
    }

    std::unique_ptr<stream> dial(const node_record& node, const std::string& host = "127.0.0.1",
                                 const bytes& payload = {})
    {
        error_.clear();
        return dial_node(node, host, origin_, 8000, 15000, payload, error_);
    }

    std::uint16_t origin_ = 0;
    std::u16string error_;
};

TEST_F(protocols_interop, trojan_carries_a_mebibyte_each_way_with_tls_1_2_and_1_3)
{
    for (const char* server : {"trojan", "trojan12"}) {
        SCOPED_TRACE(server);
        const std::uint16_t port = port_or_skip(server);
        if (port == 0) {
            GTEST_SKIP() << "the trojan server is not installed";
        }
        auto s = dial(trojan_node(port));
        ASSERT_NE(s, nullptr) << testing::narrow(error_);
        EXPECT_EQ(read_line(*s), "origin main\n");
        exchange_a_mebibyte(*s);
        server_close_ends_the_stream(*s);
    }
}

TEST_F(protocols_interop, trojan_reaches_address_and_name_destinations_with_the_payload_in_front)
{
    const std::uint16_t port = port_or_skip("trojan");
    if (port == 0) {
        GTEST_SKIP() << "the trojan server is not installed";
    }
    for (const char* host : {"127.0.0.1", "::1", "localhost"}) {
        SCOPED_TRACE(host);
        auto s = dial(trojan_node(port), host, bytes{'f', 'i', 'r', 's', 't', '\n'});
        ASSERT_NE(s, nullptr) << testing::narrow(error_);
        EXPECT_EQ(read_line(*s), "origin main\n");
        EXPECT_EQ(read_line(*s), "first\n");
    }
}

TEST_F(protocols_interop, a_wrong_trojan_password_reaches_the_fallback_and_never_the_target)
{
    const std::uint16_t port = port_or_skip("trojan");
    if (port == 0) {
        GTEST_SKIP() << "the trojan server is not installed";
    }
    auto s = dial(trojan_node(port, "not the password"));
    ASSERT_NE(s, nullptr) << testing::narrow(error_);  // Trojan has no response to refuse with
    EXPECT_EQ(read_line(*s), "origin fallback\n");
}

TEST_F(protocols_interop, vless_carries_a_mebibyte_each_way_over_every_transport)
{
    struct transport {
        const char* port_name;
        vless_transport kind;
    };
    for (const transport& t : {transport{"vless_raw", vless_transport::raw_tcp},
                               transport{"vless_tls", vless_transport::tls},
                               transport{"vless_ws", vless_transport::tls_websocket}}) {
        SCOPED_TRACE(t.port_name);
        const std::uint16_t port = port_or_skip(t.port_name);
        if (port == 0) {
            GTEST_SKIP() << "the v2ray server is not installed";
        }
        auto s = dial(vless_node(port, t.kind), "localhost", bytes{'h', 'i', '\n'});
        ASSERT_NE(s, nullptr) << testing::narrow(error_);
        EXPECT_EQ(read_line(*s), "origin main\n");
        EXPECT_EQ(read_line(*s), "hi\n");
        exchange_a_mebibyte(*s);
        server_close_ends_the_stream(*s);
    }
}

TEST_F(protocols_interop, vless_websocket_takes_the_configured_path_with_or_without_its_slash)
{
    const std::uint16_t port = port_or_skip("vless_ws");
    if (port == 0) {
        GTEST_SKIP() << "the v2ray server is not installed";
    }
    node_record node = vless_node(port, vless_transport::tls_websocket);
    node.vless.ws_path = "pelto-ws";
    node.vless.ws_host = "cdn.node.test";  // the Host header only; the TLS name stays the SNI
    auto s = dial(node);
    ASSERT_NE(s, nullptr) << testing::narrow(error_);
    EXPECT_EQ(read_line(*s), "origin main\n");

    node.vless.ws_path = "/elsewhere";
    EXPECT_EQ(dial(node), nullptr);
    EXPECT_FALSE(error_.empty());
}

TEST_F(protocols_interop, vless_with_an_unknown_id_ends_without_reaching_the_target)
{
    const std::uint16_t port = port_or_skip("vless_tls");
    if (port == 0) {
        GTEST_SKIP() << "the v2ray server is not installed";
    }
    node_record node = vless_node(port, vless_transport::tls);
    node.vless.uuid[0] ^= 0xFF;
    auto s = dial(node);
    ASSERT_NE(s, nullptr) << testing::narrow(error_);
    const auto start = steady::now();
    std::uint8_t byte = 0;
    EXPECT_EQ(s->read(&byte, 1), 0);
    EXPECT_LT(steady::now() - start, 8s);
}

TEST_F(protocols_interop, a_node_whose_certificate_does_not_match_is_refused)
{
    const std::uint16_t port = port_or_skip("trojan");
    if (port == 0) {
        GTEST_SKIP() << "the trojan server is not installed";
    }
    node_record node = trojan_node(port);
    node.tls_server_name = "other.test";
    EXPECT_EQ(dial(node), nullptr);
    EXPECT_FALSE(error_.empty());
}

// Every path hands the TLS layer the server name decoded from UTF-8, so a non-ASCII name goes out
// as SNI in its own UTF-8 bytes (not each byte widened to a character on its own), and an address
// goes out without SNI. The TLS peer logs the server name of each ClientHello it receives.
TEST_F(protocols_interop, server_names_are_sent_as_their_utf8_bytes_and_addresses_without_sni)
{
#ifdef _WIN32
    GTEST_SKIP() << "Schannel encodes the server name itself";
#endif
    const std::uint16_t port = testing::tls_peer_port("echo13");
    ASSERT_NE(port, 0);
    const std::string trojan_name = "tr\xC3\xB6jan.test";
    const std::string vless_name = "vl\xC3\xABss.test";
    const std::string ws_name = "w\xC3\xA9" "bsocket.test";

    node_record trojan = trojan_node(port);
    trojan.tls_server_name = trojan_name;
    EXPECT_EQ(dial(trojan), nullptr);  // the certificate does not name it
    node_record vless = vless_node(port, vless_transport::tls);
    vless.vless.sni = vless_name;
    EXPECT_EQ(dial(vless), nullptr);
    node_record ws = vless_node(port, vless_transport::tls_websocket);
    ws.vless.sni.clear();
    ws.vless.ws_host = ws_name;  // the TLS name falls back to the WebSocket host
    EXPECT_EQ(dial(ws), nullptr);
    trojan.tls_server_name = "127.0.0.1";
    EXPECT_NE(dial(trojan), nullptr) << testing::narrow(error_);

    std::ifstream log(testing::environment("PELTO_TEST_WORK") + "/tls_peer.out");
    const std::string sent((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    for (const std::string& name : {trojan_name, vless_name, ws_name}) {
        EXPECT_NE(sent.find("sni " + hex_encode(as_bytes(name)) + "\n"), std::string::npos) << name;
    }
    EXPECT_NE(sent.find("sni none\n"), std::string::npos);
}

}  // namespace
}  // namespace pelto
