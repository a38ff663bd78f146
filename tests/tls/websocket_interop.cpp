// The WebSocket layer over the TLS layer against a Python server that misbehaves on purpose
// (tests/peers/tls_peer.py, the "websocket" services): masked server frames, fragments with a
// ping in between, a close frame, an oversized ping, and pings all through a 10 MiB two-way
// transfer whose framing the server checks frame by frame.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crypto/sha256.h"
#include "net/socket.h"
#include "proxy/transport_layers.h"
#include "tests/tls/tls_test_support.h"

namespace pelto {
namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

std::string read_bytes(byte_io& io, std::size_t n)
{
    std::string out;
    std::vector<std::uint8_t> buffer(16384);
    while (out.size() < n) {
        const std::int32_t got = io.read(buffer.data(), static_cast<std::int32_t>(std::min(buffer.size(), n - out.size())));
        if (got < 1) {
            break;
        }
        out.append(buffer.begin(), buffer.begin() + got);
    }
    return out;
}

class websocket_interop : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(net_startup());
        ASSERT_TRUE(testing::trust_test_ca());
    }
    void SetUp() override { clear_stop(); }

    std::unique_ptr<ws_io> open(const std::string& path)
    {
        socket_handle socket = invalid_socket_handle;
        std::u16string error;
        EXPECT_TRUE(tcp_connect("127.0.0.1", testing::tls_peer_port("websocket12"), 5000, 10000, socket, error));
        auto tls = std::make_unique<tls_io>();
        if (!tls->connect(socket, "node.test", error)) {
            ADD_FAILURE() << testing::narrow(error);
            return nullptr;
        }
        auto ws = std::make_unique<ws_io>(std::move(tls));
        if (!ws->open("node.test", path, error)) {
            ADD_FAILURE() << testing::narrow(error);
            return nullptr;
        }
        return ws;
    }

    // The stream ends now and stays ended, well within the 10 s read time-out.
    static void expect_prompt_end(byte_io& io)
    {
        const auto start = steady::now();
        std::uint8_t byte = 0;
        EXPECT_EQ(io.read(&byte, 1), 0);
        EXPECT_EQ(io.read(&byte, 1), 0);
        EXPECT_LT(steady::now() - start, 5s);
    }
};

TEST_F(websocket_interop, masked_server_frames_are_unmasked_and_a_close_frame_ends)
{
    auto ws = open("/masked");
    ASSERT_NE(ws, nullptr);
    EXPECT_EQ(read_bytes(*ws, 11), "masked data");
    expect_prompt_end(*ws);
}

TEST_F(websocket_interop, fragments_join_around_a_ping_that_is_answered)
{
    auto ws = open("/fragments");
    ASSERT_NE(ws, nullptr);
    EXPECT_EQ(read_bytes(*ws, 16), "fragment pong ok");
    expect_prompt_end(*ws);
}

TEST_F(websocket_interop, nothing_after_a_close_frame_is_read)
{
    auto ws = open("/close");
    ASSERT_NE(ws, nullptr);
    EXPECT_EQ(read_bytes(*ws, 3), "bye");
    expect_prompt_end(*ws);
}

TEST_F(websocket_interop, an_oversized_ping_ends_the_stream)
{
    auto ws = open("/oversized_ping");
    ASSERT_NE(ws, nullptr);
    EXPECT_EQ(read_bytes(*ws, 6), "before");
    expect_prompt_end(*ws);
}

TEST_F(websocket_interop, pings_during_a_ten_mebibyte_two_way_transfer_keep_the_framing_intact)
{
    constexpr std::size_t total = 10 << 20;
    auto ws = open("/pings/" + std::to_string(total));
    ASSERT_NE(ws, nullptr);
    bytes sent(total);
    for (std::size_t i = 0; i < total; ++i) {
        sent[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 9);
    }
    std::atomic<bool> written{true};
    std::thread writer([&] {
        // Writes of 16392 bytes: a full frame plus a small one, so frames straddle TLS records.
        for (std::size_t at = 0; at < total; at += 16392) {
            const auto piece = static_cast<std::int32_t>(std::min<std::size_t>(16392, total - at));
            if (!ws->write(sent.data() + at, piece)) {
                written = false;
                return;
            }
        }
    });
    const std::string echoed = read_bytes(*ws, total);
    writer.join();
    EXPECT_TRUE(written);
    ASSERT_EQ(echoed.size(), total);
    EXPECT_EQ(sha256(as_bytes(echoed)), sha256(sent));
    std::string report;
    std::uint8_t c = 0;
    while (report.size() < 100 && ws->read(&c, 1) == 1 && c != '\n') {
        report += static_cast<char>(c);
    }
    EXPECT_EQ(report.rfind("framing intact, ", 0), 0u) << report;
}

}  // namespace
}  // namespace pelto
