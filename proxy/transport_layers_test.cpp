// The transport layers over a scripted inner transport that delivers the server's bytes in
// awkward pieces and records every write, and raw_io over a loopback connection.

#include "proxy/transport_layers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"
#include "net/testing/loopback.h"
#include "proxy/vless_session.h"
#include "proxy/ws_codec.h"

namespace pelto {
namespace {

using namespace std::chrono_literals;

// What the scripted transport saw; shared with the test after the layer took the transport.
struct script_log {
    std::mutex lock;
    std::vector<bytes> writes;
    bool closed = false;
    bool slow_writes = false;  // each write takes a while, as a socket send may
};

class scripted_io final : public byte_io {
public:
    scripted_io(bytes input, std::size_t piece, std::shared_ptr<script_log> log)
        : input_(std::move(input)), piece_(piece), log_(std::move(log))
    {
    }
    bool write(const std::uint8_t* data, std::int32_t length) override
    {
        if (length < 0) {
            return false;
        }
        if (log_->slow_writes) {
            std::this_thread::sleep_for(200us);
        }
        std::lock_guard guard(log_->lock);
        log_->writes.emplace_back(data, data + length);
        return !log_->closed;
    }
    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override
    {
        const std::size_t n = std::min({static_cast<std::size_t>(capacity), piece_, input_.size() - at_});
        std::copy_n(input_.data() + at_, n, buffer);
        at_ += n;
        return static_cast<std::int32_t>(n);  // 0 once the script is exhausted: end of stream
    }
    void close() override
    {
        std::lock_guard guard(log_->lock);
        log_->closed = true;
    }

private:
    bytes input_;
    std::size_t piece_;
    std::size_t at_ = 0;
    std::shared_ptr<script_log> log_;
};

// An unmasked server frame.
bytes frame(std::uint8_t first, std::string_view payload)
{
    bytes out = {first};
    if (payload.size() <= 125) {
        out.push_back(static_cast<std::uint8_t>(payload.size()));
    } else {
        out.push_back(126);
        out.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(payload.size()));
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

bytes masked_frame(std::uint8_t first, std::string_view payload, const ws_mask& mask)
{
    bytes out = {first, static_cast<std::uint8_t>(0x80 | payload.size())};
    out.insert(out.end(), mask.begin(), mask.end());
    const std::size_t at = out.size();
    out.insert(out.end(), payload.begin(), payload.end());
    ws_apply_mask(std::span<std::uint8_t>(out).subspan(at), mask, 0);
    return out;
}

bytes join(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

std::string read_all(byte_io& io, std::int32_t capacity = 7)
{
    std::string out;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(capacity));
    for (;;) {
        const std::int32_t n = io.read(buffer.data(), capacity);
        if (n < 1) {
            return out;
        }
        out.append(buffer.begin(), buffer.begin() + n);
    }
}

// Frames the client wrote, unmasked: (opcode, payload), or empty when the writes do not parse as
// a sequence of whole frames.
std::vector<std::pair<std::uint8_t, std::string>> client_frames(const std::vector<bytes>& writes)
{
    bytes all;
    for (const bytes& w : writes) {
        all.insert(all.end(), w.begin(), w.end());
    }
    std::vector<std::pair<std::uint8_t, std::string>> out;
    std::size_t at = 0;
    while (at < all.size()) {
        ws_frame_header h;
        if (ws_parse_frame_header(byte_span(all).subspan(at), h) != ws_parse_status::complete || !h.masked ||
            !h.fin || at + h.header_size + h.payload_length > all.size()) {
            return {};
        }
        bytes payload(all.begin() + static_cast<std::ptrdiff_t>(at + h.header_size),
                      all.begin() + static_cast<std::ptrdiff_t>(at + h.header_size + h.payload_length));
        ws_apply_mask(payload, h.mask, 0);
        out.emplace_back(h.opcode, std::string(payload.begin(), payload.end()));
        at += h.header_size + h.payload_length;
    }
    return out;
}

const std::string upgrade_reply = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n";

std::unique_ptr<ws_io> opened_ws(const bytes& frames, std::size_t piece, std::shared_ptr<script_log> log)
{
    bytes input(upgrade_reply.begin(), upgrade_reply.end());
    input.insert(input.end(), frames.begin(), frames.end());
    auto ws = std::make_unique<ws_io>(std::make_unique<scripted_io>(input, piece, log));
    std::u16string error;
    EXPECT_TRUE(ws->open("node.test", "ws", error));
    return ws;
}

TEST(ws_io, sends_the_upgrade_with_a_slash_path_and_keeps_frames_behind_the_reply)
{
    auto log = std::make_shared<script_log>();
    auto ws = opened_ws(frame(0x82, "early"), 4096, log);
    {
        std::lock_guard guard(log->lock);
        ASSERT_EQ(log->writes.size(), 1u);
        const std::string request(log->writes[0].begin(), log->writes[0].end());
        EXPECT_EQ(request.rfind("GET /ws HTTP/1.1\r\nHost: node.test\r\n", 0), 0u) << request;
    }
    EXPECT_EQ(read_all(*ws), "early");
}

TEST(ws_io, the_upgrade_fails_on_a_status_other_than_101_or_an_endless_header)
{
    for (const std::string& reply : {std::string("HTTP/1.1 200 OK\r\nX: 101\r\n\r\n"),
                                    std::string("HTTP/1.1 101 ok\r\nX: ") + std::string(9000, 'a'),
                                    std::string("HTTP/1.1 101 cut short\r\n")}) {
        auto log = std::make_shared<script_log>();
        ws_io ws(std::make_unique<scripted_io>(bytes(reply.begin(), reply.end()), 300, log));
        std::u16string error;
        EXPECT_FALSE(ws.open("node.test", "/", error));
        EXPECT_FALSE(error.empty());
    }
}

// Fragments concatenate, an empty data frame is skipped rather than read as the end, masked
// server frames are unmasked, a ping in between is answered with the same payload, and all of it
// whether the bytes arrive whole or one at a time.
TEST(ws_io, reads_data_across_fragments_pings_and_empty_frames)
{
    const ws_mask mask = {9, 8, 7, 6};
    const bytes frames = join({frame(0x82, ""), frame(0x02, "ab"), frame(0x89, "p1"), frame(0x00, ""),
                               frame(0x80, "cd"), masked_frame(0x82, "efgh", mask), frame(0x8A, "pong"),
                               frame(0x82, std::string(300, 'z'))});
    for (const std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{4096}}) {
        SCOPED_TRACE(piece);
        auto log = std::make_shared<script_log>();
        auto ws = opened_ws(frames, piece, log);
        EXPECT_EQ(read_all(*ws), "abcdefgh" + std::string(300, 'z'));
        std::lock_guard guard(log->lock);
        const std::vector<bytes> after_upgrade(log->writes.begin() + 1, log->writes.end());
        const auto sent = client_frames(after_upgrade);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].first, ws_opcode::pong);
        EXPECT_EQ(sent[0].second, "p1");
    }
}

TEST(ws_io, protocol_errors_and_close_frames_end_the_stream_for_good)
{
    const std::vector<bytes> endings = {
        frame(0x88, ""),                                 // close
        frame(0x89, std::string(126, 'p')),             // ping over 125 bytes
        frame(0x09, "p"),                                // fragmented ping
        frame(0x83, "x"),                                // reserved opcode
        frame(0xC2, "x"),                                // RSV1
        bytes{0x82, 0x7F, 0, 0, 0, 0, 0, 0x80, 0, 1},    // over 8 MiB
    };
    for (const bytes& ending : endings) {
        SCOPED_TRACE(int(ending[0]));
        auto log = std::make_shared<script_log>();
        auto ws = opened_ws(join({frame(0x82, "ok"), ending, frame(0x82, "after")}), 4096, log);
        EXPECT_EQ(read_all(*ws), "ok");
        std::uint8_t byte = 0;
        EXPECT_EQ(ws->read(&byte, 1), 0);
        std::lock_guard guard(log->lock);
        EXPECT_EQ(log->writes.size(), 1u);  // no pong for a malformed ping
    }
}

TEST(ws_io, writes_single_masked_binary_frames_of_at_most_16384_bytes)
{
    auto log = std::make_shared<script_log>();
    auto ws = opened_ws({}, 4096, log);
    std::string data(16384 + 126, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i % 251);
    }
    EXPECT_TRUE(ws->write(nullptr, 0));
    EXPECT_FALSE(ws->write(reinterpret_cast<const std::uint8_t*>(data.data()), -1));
    ASSERT_TRUE(ws->write(reinterpret_cast<const std::uint8_t*>(data.data()), static_cast<std::int32_t>(data.size())));
    std::lock_guard guard(log->lock);
    const std::vector<bytes> after_upgrade(log->writes.begin() + 1, log->writes.end());
    EXPECT_EQ(after_upgrade.size(), 2u);  // one inner write per frame
    const auto sent = client_frames(after_upgrade);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].first, ws_opcode::binary);
    EXPECT_EQ(sent[0].second, data.substr(0, 16384));
    EXPECT_EQ(sent[1].second, data.substr(16384));
}

// The reader answers pings while the writer sends large frames: every frame reaches the inner
// transport whole, so the byte stream still parses frame by frame. Pongs that had to wait for the
// writer may be thinned out, but they stay in order and the latest ping is answered.
TEST(ws_io, pongs_never_land_inside_a_writer_frame)
{
    bytes pings;
    for (int i = 0; i < 200; ++i) {
        const bytes ping = frame(0x89, "ping " + std::to_string(i));
        pings.insert(pings.end(), ping.begin(), ping.end());
    }
    auto log = std::make_shared<script_log>();
    log->slow_writes = true;
    auto ws = opened_ws(pings, 3, log);
    const std::string payload(16392, 'w');
    std::thread writer([&] {
        for (int i = 0; i < 100; ++i) {
            ws->write(reinterpret_cast<const std::uint8_t*>(payload.data()), static_cast<std::int32_t>(payload.size()));
        }
    });
    EXPECT_EQ(read_all(*ws), "");
    writer.join();
    std::lock_guard guard(log->lock);
    const std::vector<bytes> after_upgrade(log->writes.begin() + 1, log->writes.end());
    const auto sent = client_frames(after_upgrade);
    int last_answered = -1;
    std::size_t data = 0;
    for (const auto& [opcode, body] : sent) {
        if (opcode == ws_opcode::pong) {
            ASSERT_EQ(body.rfind("ping ", 0), 0u) << body;
            const int number = std::stoi(body.substr(5));
            EXPECT_GT(number, last_answered);
            last_answered = number;
        } else {
            data += body.size();
        }
    }
    EXPECT_EQ(last_answered, 199);
    EXPECT_EQ(data, 100 * payload.size());
}

TEST(raw_io, destroying_the_layer_closes_its_socket)
{
    ASSERT_TRUE(net_startup());
    clear_stop();
    socket_handle client = invalid_socket_handle;
    socket_handle server = invalid_socket_handle;
    ASSERT_TRUE(testing::loopback_pair(client, server, 5000));
    {
        raw_io io(client);
        EXPECT_TRUE(io.write(nullptr, 0));
        EXPECT_FALSE(io.write(reinterpret_cast<const std::uint8_t*>("x"), -1));
        ASSERT_TRUE(io.write(reinterpret_cast<const std::uint8_t*>("hi"), 2));
    }
    std::uint8_t buffer[4] = {};
    EXPECT_TRUE(recv_exact(server, buffer, 2));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(recv_some(server, buffer, 4), 0);  // the end, not the 5 s time-out
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    close_socket(server);
}

TEST(vless_session, reads_the_response_header_in_pieces_then_the_data)
{
    const vless_user_id user{};
    for (const std::size_t piece : {std::size_t{1}, std::size_t{4096}}) {
        auto log = std::make_shared<script_log>();
        const bytes input = {0x00, 0x02, 0xEE, 0xEE, 'd', 'a', 't', 'a'};
        vless_session session(std::make_unique<scripted_io>(input, piece, log), user);
        std::u16string error;
        ASSERT_TRUE(session.send_request("www.service.test", 443, bytes{'G', 'E', 'T'}, error));
        std::string got;
        std::uint8_t buffer[16];
        for (std::int32_t n; (n = session.read(buffer, sizeof buffer)) > 0;) {
            got.append(buffer, buffer + n);
        }
        EXPECT_EQ(got, "data");
        std::lock_guard guard(log->lock);
        ASSERT_EQ(log->writes.size(), 1u);  // header and first payload in one write
        EXPECT_EQ(log->writes[0].size(), 23u + 16u + 3u);
    }
    auto log = std::make_shared<script_log>();
    vless_session wrong(std::make_unique<scripted_io>(bytes{0x01, 0x00, 'x'}, 4096, log), user);
    std::uint8_t byte = 0;
    EXPECT_EQ(wrong.read(&byte, 1), 0);
    wrong.close();
    EXPECT_TRUE(log->closed);
    EXPECT_FALSE(wrong.write(&byte, 1));
}

}  // namespace
}  // namespace pelto
