#include "proxy/relay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/bytes.h"
#include "net/socket.h"
#include "net/testing/loopback.h"
#include "proxy/direct_stream.h"
#include "proxy/relay_seam.h"

namespace pelto {
namespace {

// Plays a script of read chunks (a chunk larger than the reader's capacity is handed out in
// pieces), then ends; records every write.
class scripted_stream final : public stream {
public:
    explicit scripted_stream(std::vector<bytes> chunks = {}) : chunks_(chunks.begin(), chunks.end()) {}

    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override
    {
        std::lock_guard guard(lock_);
        ++reads;
        max_capacity_seen = std::max(max_capacity_seen, capacity);
        if (closed_ || chunks_.empty()) {
            return 0;
        }
        bytes& front = chunks_.front();
        const std::size_t n = std::min<std::size_t>(front.size(), static_cast<std::size_t>(capacity));
        std::copy_n(front.begin(), n, buffer);
        front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
        if (front.empty()) {
            chunks_.pop_front();
        }
        return static_cast<std::int32_t>(n);
    }

    bool write(const std::uint8_t* data, std::int32_t length) override
    {
        std::lock_guard guard(lock_);
        if (closed_ || writes_allowed == 0) {
            return false;
        }
        --writes_allowed;
        write_sizes.push_back(length);
        written.insert(written.end(), data, data + length);
        return true;
    }

    void close() override
    {
        std::lock_guard guard(lock_);
        closed_ = true;
        ++closes;
    }

    bool closed()
    {
        std::lock_guard guard(lock_);
        return closed_;
    }

    int reads = 0;
    int closes = 0;
    int writes_allowed = 1 << 30;
    std::int32_t max_capacity_seen = 0;
    std::vector<std::int32_t> write_sizes;
    bytes written;

private:
    std::mutex lock_;
    std::deque<bytes> chunks_;
    bool closed_ = false;
};

bytes pattern(std::size_t size, std::uint8_t seed)
{
    bytes out(size);
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 8));
    }
    return out;
}

TEST(pump, copies_awkwardly_split_reads_in_order_and_closes_both)
{
    const std::vector<std::size_t> sizes = {1, 16383, 16384, 16385, 40000, 7, 2};
    std::vector<bytes> chunks;
    bytes expected;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        chunks.push_back(pattern(sizes[i], static_cast<std::uint8_t>(i)));
        expected.insert(expected.end(), chunks.back().begin(), chunks.back().end());
    }
    scripted_stream source(chunks);
    scripted_stream destination;
    pump(source, destination, {});

    EXPECT_EQ(destination.written, expected);
    EXPECT_EQ(source.max_capacity_seen, pump_chunk_size);
    for (const std::int32_t size : destination.write_sizes) {
        EXPECT_LE(size, pump_chunk_size);
    }
    EXPECT_EQ(source.closes, 1);
    EXPECT_EQ(destination.closes, 1);
}

TEST(pump, a_failed_write_ends_the_copy_and_closes_both)
{
    scripted_stream source({pattern(10, 1), pattern(10, 2), pattern(10, 3)});
    scripted_stream destination;
    destination.writes_allowed = 1;
    pump(source, destination, {});
    EXPECT_EQ(destination.written, pattern(10, 1));
    EXPECT_EQ(source.reads, 2);  // the third chunk is never asked for
    EXPECT_TRUE(source.closed());
    EXPECT_TRUE(destination.closed());
}

TEST(pump, a_set_stop_flag_prevents_any_read)
{
    std::atomic<bool> quit{true};
    std::atomic<bool> session_stop{false};
    scripted_stream idle_source({pattern(5, 0)});
    scripted_stream idle_destination;
    pump(idle_source, idle_destination, {&quit, &session_stop});
    EXPECT_EQ(idle_source.reads, 0);
    EXPECT_TRUE(idle_source.closed());
    EXPECT_TRUE(idle_destination.closed());

}

// Two loopback connections around a relay: app <-> client stream, outbound stream <-> remote.
class relay_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(net_startup());
        clear_stop();
        // Winsock needs its start-up before the first socket.
        listener_ = std::make_unique<testing::loopback_listener>();
        ASSERT_TRUE(listener_->ok());
        connect_client(app_, client_);
        connect_outbound(outbound_, remote_);
    }
    void TearDown() override
    {
        close_socket(app_);
        close_socket(remote_);
        refuse_relay_threads_for_tests(false);
        clear_stop();
        net_cleanup();
    }

    // The application's socket and the relay's client stream over its accepted end.
    void connect_client(socket_handle& near_end, std::shared_ptr<stream>& far_stream)
    {
        std::u16string error;
        ASSERT_TRUE(tcp_connect("127.0.0.1", listener_->port(), 2000, 10000, near_end, error));
        const socket_handle accepted = listener_->accept();
        ASSERT_TRUE(register_socket(accepted));
        set_stream_options(accepted, 10000);
        far_stream = std::make_shared<direct_stream>(accepted);
        client_socket_ = accepted;
    }

    // The relay's outbound stream and the remote server's accepted socket.
    void connect_outbound(std::shared_ptr<stream>& near_stream, socket_handle& far_end)
    {
        socket_handle near_end = invalid_socket_handle;
        std::u16string error;
        ASSERT_TRUE(tcp_connect("127.0.0.1", listener_->port(), 2000, 10000, near_end, error));
        far_end = listener_->accept();
        ASSERT_TRUE(register_socket(far_end));
        set_stream_options(far_end, 10000);
        near_stream = std::make_shared<direct_stream>(near_end);
    }

    bool sees_end(socket_handle socket)
    {
        std::uint8_t byte;
        return recv_some(socket, &byte, 1) <= 0;
    }

    std::unique_ptr<testing::loopback_listener> listener_;
    socket_handle app_ = invalid_socket_handle;
    socket_handle remote_ = invalid_socket_handle;
    socket_handle client_socket_ = invalid_socket_handle;  // owned by `client_`
    std::shared_ptr<stream> client_;
    std::shared_ptr<stream> outbound_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> session_stop_{false};
};

TEST_F(relay_test, carries_both_directions_in_order_until_the_client_leaves)
{
    std::thread relaying([&] { EXPECT_TRUE(relay(client_, outbound_, {&quit_, &session_stop_})); });

    const bytes up = pattern(300'000, 5);
    const bytes down = pattern(200'000, 9);
    std::thread app_sender([&] { EXPECT_TRUE(send_all(app_, up.data(), static_cast<std::int32_t>(up.size()))); });
    std::thread remote_sender(
        [&] { EXPECT_TRUE(send_all(remote_, down.data(), static_cast<std::int32_t>(down.size()))); });
    bytes at_remote(up.size());
    bytes at_app(down.size());
    EXPECT_TRUE(recv_exact(remote_, at_remote.data(), static_cast<std::int32_t>(at_remote.size())));
    EXPECT_TRUE(recv_exact(app_, at_app.data(), static_cast<std::int32_t>(at_app.size())));
    app_sender.join();
    remote_sender.join();
    EXPECT_EQ(at_remote, up);
    EXPECT_EQ(at_app, down);

    close_socket(app_);  // the client goes away: both relay directions end
    relaying.join();
    EXPECT_TRUE(sees_end(remote_));
    std::uint8_t byte = 0;
    EXPECT_EQ(client_->read(&byte, 1), 0);
    EXPECT_FALSE(outbound_->write(&byte, 1));
}

TEST_F(relay_test, session_stop_ends_an_idle_relay)
{
    std::thread relaying([&] { relay(client_, outbound_, {&quit_, &session_stop_}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::int64_t start = monotonic_ns();
    session_stop_ = true;
    stop_all_sockets();
    relaying.join();
    EXPECT_LT((monotonic_ns() - start) / 1'000'000, 1000);
}

TEST_F(relay_test, without_a_second_thread_the_connection_is_dropped)
{
    refuse_relay_threads_for_tests(true);
    EXPECT_FALSE(relay(client_, outbound_, {&quit_, &session_stop_}));
    EXPECT_TRUE(sees_end(app_));
    EXPECT_TRUE(sees_end(remote_));
}

TEST_F(relay_test, direct_stream_close_wakes_a_blocked_read_and_is_idempotent)
{
    std::atomic<std::int32_t> result{-100};
    std::thread reader([&] {
        std::uint8_t buffer[64];
        result = client_->read(buffer, sizeof buffer);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(result.load(), -100);  // still blocked
    client_->close();
    reader.join();
    EXPECT_LE(result.load(), 0);
    client_->close();
    EXPECT_TRUE(sees_end(app_));

    std::uint8_t byte = 1;
    const std::int64_t start = monotonic_ns();
    EXPECT_EQ(client_->read(&byte, 1), 0);
    EXPECT_FALSE(client_->write(&byte, 1));
    EXPECT_LT((monotonic_ns() - start) / 1'000'000, 100);

    // The reader was the last call in flight, so the handle is closed now, exactly once: a new
    // socket that takes its number is left alone by the stream's destructor.
    if (testing::freed_numbers_are_reused()) {
        const socket_handle reuser = testing::take_socket_number(client_socket_);
        ASSERT_EQ(reuser, client_socket_);
        client_.reset();
        EXPECT_FALSE(testing::socket_number_free(reuser));
        testing::close_unregistered(reuser);
    }
}

}  // namespace
}  // namespace pelto
