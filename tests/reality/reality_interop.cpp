// VLESS over REALITY (with and without Vision) and over TLS with Vision, through dial_node, against
// the independent Python peer (tests/peers/reality_peer.py) with an echo origin behind it; and
// every deliberate misbehaviour of the peer failing cleanly. The wrapper script starts the peer
// and names its listeners; it runs natively and under Wine.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "crypto/sha256.h"
#include "crypto/x25519.h"
#include "proxy/dial.h"
#include "tests/tls/tls_test_support.h"

namespace pelto {
namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// The keys run_reality_peers.sh gives the peer.
constexpr x25519_bytes reality_private = {0x98, 0xff, 0x1e, 0x5a, 0xd0, 0xa7, 0xc1, 0xf2, 0xa3, 0xb4, 0xc5,
                                          0xd6, 0xe7, 0xf8, 0x09, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0x6f, 0x70,
                                          0x81, 0x92, 0xa3, 0xb4, 0xc5, 0xd6, 0xe7, 0xf8, 0x09, 0x4b};
constexpr std::array<std::uint8_t, 8> short_id = {0x5e, 0x1f, 0, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 16> user_id = {0x5f, 0x1e, 0x3b, 0x0a, 0x9c, 0x2d, 0x4e, 0x8f,
                                                  0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07, 0x18};
constexpr std::int32_t io_timeout_ms = 8000;

using flow = vless_flow;

node_record reality_node(std::uint16_t port, flow mode)
{
    node_record node;
    node.protocol = node_protocol::vless;
    node.server = "127.0.0.1";
    node.port = port;
    node.vless.uuid = user_id;
    node.vless.transport = vless_transport::reality;
    node.vless.flow = mode;
    node.vless.sni = "reality.test";
    x25519_bytes base{9};
    node.vless.reality_public_key = x25519(reality_private, base);
    node.vless.reality_short_id = short_id;
    return node;
}

node_record tls_vision_node(std::uint16_t port)
{
    node_record node;
    node.protocol = node_protocol::vless;
    node.server = "127.0.0.1";
    node.port = port;
    node.vless.uuid = user_id;
    node.vless.transport = vless_transport::tls;
    node.vless.flow = vless_flow::vision;
    node.vless.sni = "node.test";
    return node;
}

std::uint16_t origin_port()
{
    return testing::tls_peer_port("origin");
}

std::unique_ptr<stream> dial(const node_record& node, std::u16string& error)
{
    return dial_node(node, "127.0.0.1", origin_port(), 5000, io_timeout_ms, {}, error);
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

bool read_exact(stream& s, std::uint8_t* out, std::size_t n)
{
    std::size_t got = 0;
    while (got < n) {
        const std::int32_t r = s.read(out + got, static_cast<std::int32_t>(std::min<std::size_t>(n - got, 65536)));
        if (r < 1) {
            return false;
        }
        got += static_cast<std::size_t>(r);
    }
    return true;
}

bytes pattern(std::size_t n, std::uint32_t seed)
{
    bytes out(n);
    std::uint32_t x = seed;
    for (auto& b : out) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

// What an inner TLS 1.3 session looks like to Vision: a ClientHello record that also offers TLS
// 1.3 (echoed back, it reads as the server's hello), then application-data records.
bytes inner_hello()
{
    bytes hello = {0x16, 0x03, 0x03, 0x00, 0x2a, 0x01, 0x00, 0x00, 0x26, 0x03, 0x03};
    hello.resize(5 + 0x2a - 6, 0x42);
    const std::uint8_t versions[] = {0x00, 0x2b, 0x00, 0x02, 0x03, 0x04};
    hello.insert(hello.end(), std::begin(versions), std::end(versions));
    return hello;
}

bytes as_app_records(const bytes& payload)
{
    bytes out;
    for (std::size_t at = 0; at < payload.size(); at += 16000) {
        const std::size_t n = std::min<std::size_t>(16000, payload.size() - at);
        out.insert(out.end(), {0x17, 0x03, 0x03, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
        out.insert(out.end(), payload.begin() + static_cast<std::ptrdiff_t>(at),
                   payload.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    return out;
}

// Sends `data` on one thread in uneven pieces while reading its echo; compares by hash.
void echo_round_trip(stream& s, const bytes& data)
{
    std::atomic<bool> written{true};
    std::thread writer([&] {
        std::size_t at = 0;
        std::size_t piece = 1000;
        while (at < data.size()) {
            const std::size_t n = std::min(piece, data.size() - at);
            if (!s.write(data.data() + at, static_cast<std::int32_t>(n))) {
                written = false;
                return;
            }
            at += n;
            piece = piece * 7 % 70001 + 1;
        }
    });
    bytes back(data.size());
    const bool complete = read_exact(s, back.data(), back.size());
    writer.join();
    ASSERT_TRUE(written.load());
    ASSERT_TRUE(complete) << "the echo ended early";
    EXPECT_EQ(sha256(back), sha256(data));
}

// The inner-TLS exchange that moves Vision to its direct mode both ways, then 10 MiB each way as
// whole records (written record by record, so each write is whole records).
void vision_exchange(stream& s)
{
    const bytes hello = inner_hello();
    ASSERT_TRUE(s.write(hello.data(), static_cast<std::int32_t>(hello.size())));
    bytes echoed(hello.size());
    ASSERT_TRUE(read_exact(s, echoed.data(), echoed.size()));
    ASSERT_EQ(echoed, hello);
    // One record alone: its echo comes back as one chunk of whole records, so both sides switch.
    const bytes first = as_app_records(pattern(300, 1));
    ASSERT_TRUE(s.write(first.data(), static_cast<std::int32_t>(first.size())));
    bytes first_back(first.size());
    ASSERT_TRUE(read_exact(s, first_back.data(), first_back.size()));
    ASSERT_EQ(first_back, first);
    echo_round_trip(s, as_app_records(pattern(10 << 20, 2)));
}

TEST(reality_interop, carries_ten_mebibytes_each_way_without_a_flow)
{
    std::u16string error;
    auto s = dial(reality_node(testing::tls_peer_port("reality"), flow::plain), error);
    ASSERT_TRUE(s) << testing::narrow(error);
    EXPECT_EQ(read_line(*s), "origin main\n");
    echo_round_trip(*s, pattern(10 << 20, 3));
}

TEST(reality_interop, vision_over_reality_switches_to_direct_both_ways)
{
    std::u16string error;
    auto s = dial(reality_node(testing::tls_peer_port("reality"), flow::vision), error);
    ASSERT_TRUE(s) << testing::narrow(error);
    EXPECT_EQ(read_line(*s), "origin main\n");
    vision_exchange(*s);
}

TEST(reality_interop, vision_over_reality_with_plain_data_stays_framed)
{
    std::u16string error;
    auto s = dial(reality_node(testing::tls_peer_port("reality"), flow::vision), error);
    ASSERT_TRUE(s) << testing::narrow(error);
    EXPECT_EQ(read_line(*s), "origin main\n");
    echo_round_trip(*s, pattern(1 << 20, 4));
}

TEST(reality_interop, vision_over_tls_switches_to_direct_both_ways)
{
    ASSERT_TRUE(testing::trust_test_ca());
    std::u16string error;
    auto s = dial(tls_vision_node(testing::tls_peer_port("tls")), error);
    ASSERT_TRUE(s) << testing::narrow(error);
    EXPECT_EQ(read_line(*s), "origin main\n");
    vision_exchange(*s);
}

TEST(reality_interop, key_updates_and_empty_records_mid_stream)
{
    std::u16string error;
    auto s = dial(reality_node(testing::tls_peer_port("key_update"), flow::plain), error);
    ASSERT_TRUE(s) << testing::narrow(error);
    EXPECT_EQ(read_line(*s), "origin main\n");
    echo_round_trip(*s, pattern(1 << 20, 5));
}

TEST(reality_interop, server_close_ends_the_stream_promptly)
{
    std::u16string error;
    auto s = dial(reality_node(testing::tls_peer_port("close_after_data"), flow::plain), error);
    ASSERT_TRUE(s) << testing::narrow(error);
    const bytes data = pattern(4096, 6);
    ASSERT_TRUE(s->write(data.data(), static_cast<std::int32_t>(data.size())));
    const auto start = steady::now();
    std::vector<std::uint8_t> buffer(65536);
    std::size_t total = 0;
    while (true) {
        const std::int32_t n = s->read(buffer.data(), static_cast<std::int32_t>(buffer.size()));
        if (n < 1) {
            break;
        }
        total += static_cast<std::size_t>(n);
    }
    EXPECT_GE(total, 1024u);
    EXPECT_LT(steady::now() - start, std::chrono::milliseconds(io_timeout_ms / 2)) << "a time-out, not the end";
}

// Today's servers answer with the hybrid group or X25519 and any of the three suites: each
// combination carries 10 MiB each way, with and without Vision.
struct server_choice {
    const char* listener;
    flow mode;
};

void PrintTo(const server_choice& choice, std::ostream* out)
{
    *out << choice.listener << (choice.mode == flow::vision ? "_vision" : "_plain");
}

class reality_server_choices : public ::testing::TestWithParam<server_choice> {};

TEST_P(reality_server_choices, carry_ten_mebibytes_each_way)
{
    const server_choice choice = GetParam();
    std::u16string error;
    auto s = dial(reality_node(testing::tls_peer_port(choice.listener), choice.mode), error);
    ASSERT_TRUE(s) << testing::narrow(error);
    EXPECT_EQ(read_line(*s), "origin main\n");
    if (choice.mode == flow::vision) {
        vision_exchange(*s);
    } else {
        echo_round_trip(*s, pattern(10 << 20, 8));
    }
}

INSTANTIATE_TEST_SUITE_P(
    peer, reality_server_choices,
    ::testing::Values(server_choice{"reality_1301", flow::plain}, server_choice{"reality_1301", flow::vision},
                      server_choice{"reality_1302", flow::plain}, server_choice{"reality_1302", flow::vision},
                      server_choice{"reality_1303", flow::plain}, server_choice{"reality_1303", flow::vision},
                      server_choice{"reality_x25519", flow::plain}, server_choice{"reality_x25519", flow::vision}),
    [](const ::testing::TestParamInfo<server_choice>& info) {
        return std::string(info.param.listener) + (info.param.mode == flow::vision ? "_vision" : "_plain");
    });

// A node whose key does not match: the server takes the hello for an ordinary browser's and relays
// it to the site it imitates, whose certificate the client must name as such.
TEST(reality_interop, a_wrong_public_key_is_reported_as_the_imitated_site_answering)
{
    node_record node = reality_node(testing::tls_peer_port("reality"), flow::plain);
    node.vless.reality_public_key[0] ^= 0x40;
    std::u16string error;
    auto s = dial(node, error);
    EXPECT_FALSE(s);
    EXPECT_NE(testing::narrow(error).find("answered as the web site it imitates"), std::string::npos)
        << testing::narrow(error);
}

// Misbehaviour in the handshake: dialling fails with the step's message, before any user data.
struct handshake_fault {
    const char* listener;
    const char* message_part;
};

void PrintTo(const handshake_fault& fault, std::ostream* out)
{
    *out << fault.listener;
}

class reality_handshake_faults : public ::testing::TestWithParam<handshake_fault> {};

TEST_P(reality_handshake_faults, fail_cleanly_with_the_step_named)
{
    const handshake_fault fault = GetParam();
    std::u16string error;
    const auto start = steady::now();
    auto s = dial(reality_node(testing::tls_peer_port(fault.listener), flow::vision), error);
    EXPECT_FALSE(s);
    const std::string text = testing::narrow(error);
    EXPECT_NE(text.find(fault.message_part), std::string::npos) << fault.listener << ": " << text;
    EXPECT_LT(steady::now() - start, std::chrono::milliseconds(io_timeout_ms / 2)) << "a time-out, not a failure";
}

INSTANTIATE_TEST_SUITE_P(
    peer, reality_handshake_faults,
    ::testing::Values(handshake_fault{"bad_cert_hmac", "imitates"}, handshake_fault{"ecdsa_cert", "imitates"},
                      handshake_fault{"wrong_short_id", "imitates"},
                      handshake_fault{"no_certificate", "out of order"},
                      handshake_fault{"finished_short", "Finished"}, handshake_fault{"finished_long", "Finished"},
                      handshake_fault{"finished_mac", "Finished"},
                      // Names 1302 but protects with another suite's keys.
                      handshake_fault{"suite_1302", "forged"},
                      handshake_fault{"hello_retry", "HelloRetryRequest"},
                      handshake_fault{"hello_retry_request", "HelloRetryRequest"},
                      handshake_fault{"suite_not_offered", "did not offer"},
                      handshake_fault{"hybrid_share_short", "wrong length"},
                      handshake_fault{"hybrid_share_long", "wrong length"},
                      // Implicit rejection yields another secret: the server's first protected
                      // record cannot be opened, and nothing succeeds.
                      handshake_fault{"mlkem_ciphertext_altered", "forged"},
                      handshake_fault{"split_server_hello", "ServerHello is malformed"},
                      handshake_fault{"low_order_share", "low order"},
                      handshake_fault{"no_key_share", "key share"},
                      handshake_fault{"truncated_handshake", "closed the connection"},
                      handshake_fault{"handshake_after_finished", "after its Finished"},
                      handshake_fault{"oversized_message", "too large"},
                      handshake_fault{"server_hello_with_more", "ServerHello is malformed"}),
    [](const ::testing::TestParamInfo<handshake_fault>& info) { return std::string(info.param.listener); });

// Misbehaviour after the handshake: the stream ends (not a time-out) and nothing false comes out.
class reality_stream_faults : public ::testing::TestWithParam<const char*> {};

TEST_P(reality_stream_faults, end_the_stream_promptly)
{
    std::u16string error;
    auto s = dial(reality_node(testing::tls_peer_port(GetParam()), flow::plain), error);
    ASSERT_TRUE(s) << testing::narrow(error);
    const bytes data = pattern(4096, 7);
    s->write(data.data(), static_cast<std::int32_t>(data.size()));
    const auto start = steady::now();
    std::string received;
    std::vector<std::uint8_t> buffer(65536);
    while (true) {
        const std::int32_t n = s->read(buffer.data(), static_cast<std::int32_t>(buffer.size()));
        if (n < 1) {
            break;
        }
        received.append(buffer.begin(), buffer.begin() + n);
    }
    EXPECT_LT(steady::now() - start, std::chrono::milliseconds(io_timeout_ms / 2)) << "a time-out, not the end";
    // Whatever came out is a prefix of the banner and the echo.
    std::string expected = "origin main\n";
    expected.append(data.begin(), data.end());
    EXPECT_EQ(expected.compare(0, received.size(), received), 0);
}

INSTANTIATE_TEST_SUITE_P(peer, reality_stream_faults,
                         ::testing::Values("record_too_long", "record_too_short", "alert_mid_stream",
                                           "plaintext_after_handshake", "ccs_after_handshake"));

}  // namespace
}  // namespace pelto
