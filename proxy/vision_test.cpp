// The Vision frame codec, and the VLESS session's Vision flow over a scripted transport that
// hands out scripted chunks, records every write and every direct switch.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "proxy/vision_codec.h"
#include "proxy/vless_session.h"

namespace pelto {
namespace {

constexpr vless_user_id user = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

bytes frame(const vless_user_id* id, std::uint8_t command, const bytes& content, std::size_t padding)
{
    bytes out;
    byte_writer w(out);
    if (id != nullptr) {
        w.append(*id);  // user id
    }
    w.u8(command);                                       // command
    w.u16(static_cast<std::uint16_t>(content.size()));  // content length
    w.u16(static_cast<std::uint16_t>(padding));          // padding length
    w.append(content);
    w.zeros(padding);
    return out;
}

bytes text(std::string_view s) { return bytes(s.begin(), s.end()); }

bytes concat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

TEST(vision_unframer, byte_by_byte_equals_whole_and_stops_at_the_direct_switch)
{
    const bytes stream = concat({frame(&user, vision_continue, text("hello "), 3),
                                 frame(nullptr, vision_continue, {}, 7),
                                 frame(nullptr, vision_direct, text("world"), 0), text("RAW")});
    vision_unframer whole(user);
    bytes whole_out;
    const std::size_t used = whole.feed(stream, whole_out);
    EXPECT_EQ(whole_out, text("hello world"));
    EXPECT_EQ(used, stream.size() - 3);
    EXPECT_TRUE(whole.direct());

    vision_unframer single(user);
    bytes single_out;
    std::size_t at = 0;
    while (at < stream.size() && single.framed()) {
        at += single.feed(byte_span(stream).subspan(at, 1), single_out);
    }
    EXPECT_EQ(single_out, whole_out);
    EXPECT_EQ(at, used);
    EXPECT_TRUE(single.direct());
}

TEST(vision_unframer, other_first_bytes_pass_through_and_command_one_ends_framing)
{
    vision_unframer stranger(user);
    bytes out;
    const bytes plain = text("0123456789abcdefXYZ");
    const std::size_t used = stranger.feed(plain, out);
    EXPECT_EQ(used, 16u);
    EXPECT_EQ(out, text("0123456789abcdef"));
    EXPECT_FALSE(stranger.framed());
    EXPECT_FALSE(stranger.direct());

    vision_unframer ended(user);
    out.clear();
    const bytes stream = concat({frame(&user, vision_end, text("last"), 2), text("after")});
    EXPECT_EQ(ended.feed(stream, out), stream.size() - 5);
    EXPECT_EQ(out, text("last"));
    EXPECT_FALSE(ended.framed());
    EXPECT_FALSE(ended.direct());
}

TEST(vision_codec, padding_stays_within_its_bounds_over_many_draws)
{
    std::uint32_t x = 1;
    for (int i = 0; i < 20000; ++i) {
        std::array<std::uint8_t, 3> draw{};
        for (auto& b : draw) {
            x = x * 1103515245u + 12345u;
            b = static_cast<std::uint8_t>(x >> 16);
        }
        const std::size_t short_after_hello = vision_padding_length(100, true, draw);
        EXPECT_GE(short_after_hello, 800u);
        EXPECT_LE(short_after_hello, 1299u);
        EXPECT_LE(vision_padding_length(100, false, draw), 255u);
        EXPECT_LE(vision_padding_length(1000, true, draw), 255u);
        EXPECT_LE(vision_padding_length(8000, false, draw) + 8000, 8171u);
    }
    EXPECT_EQ(vision_padding_length(8171, false, std::array<std::uint8_t, 3>{255, 255, 255}), 0u);
}

TEST(vision_codec, inner_tls_observations)
{
    const bytes hello = {0x16, 0x03, 0x01, 0x00, 0x05, 0x01, 0, 0, 1, 0};
    EXPECT_TRUE(vision_is_client_hello(hello));
    EXPECT_FALSE(vision_is_client_hello(bytes(hello.begin(), hello.begin() + 5)));
    const bytes server = {0x16, 0x03, 0x03, 0x00, 0x08, 0x02, 0x00, 0x2b, 0x00, 0x02, 0x03, 0x04, 0x00};
    EXPECT_TRUE(vision_is_tls13_server_hello(server));
    bytes beyond = server;
    beyond[4] = 0x03;  // the marker lies past the record's end
    EXPECT_FALSE(vision_is_tls13_server_hello(beyond));
    const bytes records = {0x17, 0x03, 0x03, 0x00, 0x01, 0xAA, 0x17, 0x03, 0x03, 0x00, 0x00};
    EXPECT_TRUE(vision_is_whole_app_data_records(records));
    EXPECT_FALSE(vision_is_whole_app_data_records(byte_span(records).first(10)));  // cut record
    EXPECT_FALSE(vision_is_whole_app_data_records(byte_span(records).first(8)));   // short remainder
    EXPECT_FALSE(vision_is_whole_app_data_records({}));
}

// A transport whose reads come from a script (an empty chunk is the end of stream) and which
// blocks when the script runs dry until `close`.
class scripted_io final : public byte_io {
public:
    bool write(const std::uint8_t* data, std::int32_t length) override
    {
        std::lock_guard guard(lock_);
        if (closed_) {
            return false;
        }
        writes.push_back({bytes(data, data + length), direct_write});
        return true;
    }
    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override
    {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return closed_ || !script_.empty(); });
        if (closed_ || script_.front().empty()) {
            return 0;
        }
        bytes& chunk = script_.front();
        const std::size_t n = std::min(static_cast<std::size_t>(capacity), chunk.size());
        std::copy(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n), buffer);
        chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
        if (chunk.empty()) {
            script_.pop_front();
        }
        return static_cast<std::int32_t>(n);
    }
    void close() override
    {
        std::lock_guard guard(lock_);
        closed_ = true;
        changed_.notify_all();
    }
    void start_direct_write() override { direct_write = true; }
    void start_direct_read() override { direct_read_at = reads_seen(); }

    void push(bytes chunk)
    {
        std::lock_guard guard(lock_);
        script_.push_back(std::move(chunk));
        changed_.notify_all();
    }
    std::size_t reads_seen() { return script_.size(); }

    struct written {
        bytes data;
        bool direct;
    };
    std::vector<written> writes;
    std::atomic<bool> direct_write{false};
    std::atomic<long> direct_read_at{-1};

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<bytes> script_;
    bool closed_ = false;
};

struct vision_session {
    vision_session()
    {
        auto owned = std::make_unique<scripted_io>();
        io = owned.get();
        session = std::make_unique<vless_session>(std::move(owned), user, vless_session::flow::vision);
    }
    scripted_io* io;
    std::unique_ptr<vless_session> session;
};

std::string read_some(vless_session& s)
{
    std::uint8_t buffer[256];
    const std::int32_t n = s.read(buffer, sizeof buffer);
    return std::string(buffer, buffer + std::max(n, 0));
}

TEST(vless_vision_session, request_and_splits_writes_into_frames_of_8000)
{
    vision_session v;
    std::u16string error;
    ASSERT_TRUE(v.session->send_request("example.test", 443, {}, error));
    ASSERT_EQ(v.io->writes.size(), 1u);
    EXPECT_EQ(v.io->writes[0].data.size(), 41u + 12u);  // with the 18 addon bytes
    const bytes data(8001, 0x55);
    ASSERT_TRUE(v.session->write(data.data(), static_cast<std::int32_t>(data.size())));
    ASSERT_EQ(v.io->writes.size(), 3u);
    vision_unframer server_side(user);
    bytes content;
    EXPECT_EQ(server_side.feed(v.io->writes[1].data, content), v.io->writes[1].data.size());
    EXPECT_EQ(content.size(), 8000u);
    EXPECT_EQ(server_side.feed(v.io->writes[2].data, content), v.io->writes[2].data.size());
    EXPECT_EQ(content, data);
    // Only the first frame carries the user id.
    EXPECT_TRUE(std::equal(user.begin(), user.end(), v.io->writes[1].data.begin()));
    EXPECT_EQ(v.io->writes[2].data[0], vision_continue);
}

TEST(vless_vision_session, inner_tls13_switches_both_directions_to_direct)
{
    vision_session v;
    const bytes client_hello = {0x16, 0x03, 0x01, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00};
    ASSERT_TRUE(v.session->write(client_hello.data(), static_cast<std::int32_t>(client_hello.size())));
    // The server answers a TLS 1.3 ServerHello, framed, behind the response header.
    const bytes server_hello = {0x16, 0x03, 0x03, 0x00, 0x06, 0x00, 0x2b, 0x00, 0x02, 0x03, 0x04};
    v.io->push(concat({{0x00, 0x00}, frame(&user, vision_continue, server_hello, 5)}));
    EXPECT_EQ(read_some(*v.session), std::string(server_hello.begin(), server_hello.end()));

    // Whole application-data records: the frame says "direct" and the layer drops its protection.
    const bytes records = {0x17, 0x03, 0x03, 0x00, 0x02, 0xAB, 0xCD};
    ASSERT_TRUE(v.session->write(records.data(), static_cast<std::int32_t>(records.size())));
    ASSERT_EQ(v.io->writes.size(), 2u);
    EXPECT_EQ(v.io->writes[1].data[0], vision_direct);
    EXPECT_FALSE(v.io->writes[1].direct);
    EXPECT_TRUE(v.io->direct_write.load());
    ASSERT_TRUE(v.session->write(records.data(), static_cast<std::int32_t>(records.size())));
    EXPECT_EQ(v.io->writes[2].data, records);  // unframed, raw
    EXPECT_TRUE(v.io->writes[2].direct);

    // The server's command 2, with raw bytes behind it in the same read: the layer is switched
    // before any raw byte is read, and those bytes come out unchanged.
    v.io->push(concat({frame(nullptr, vision_direct, text("last-framed"), 4), text("raw-one")}));
    v.io->push(text("raw-two"));
    EXPECT_EQ(read_some(*v.session), "last-framed");
    EXPECT_EQ(v.io->direct_read_at.load(), 1);  // "raw-two" not yet read
    EXPECT_EQ(read_some(*v.session), "raw-one");
    EXPECT_EQ(read_some(*v.session), "raw-two");
}

TEST(vless_vision_session, bytes_held_for_the_user_id_come_out_before_the_end)
{
    vision_session v;
    v.io->push(concat({{0x00, 0x00}, text("short")}));
    v.io->push({});  // end of stream before 16 bytes
    EXPECT_EQ(read_some(*v.session), "short");
    EXPECT_EQ(read_some(*v.session), "");
}

TEST(vless_vision_session, close_from_another_thread_wakes_a_blocked_read_and_keeps_the_layer)
{
    vision_session v;
    std::atomic<std::int32_t> result{-1};
    std::thread reader([&] {
        std::uint8_t buffer[16];
        result = v.session->read(buffer, sizeof buffer);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    v.session->close();
    reader.join();
    EXPECT_EQ(result.load(), 0);
    // The layer still exists after close: later calls fail instead of touching freed memory.
    const std::uint8_t byte = 1;
    EXPECT_FALSE(v.session->write(&byte, 1));
    std::uint8_t buffer[4];
    EXPECT_EQ(v.session->read(buffer, sizeof buffer), 0);
}

}  // namespace
}  // namespace pelto
