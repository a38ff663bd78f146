#include "net/socket_holder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "net/testing/loopback.h"

namespace pelto {
namespace {

class socket_holder_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(net_startup());
        clear_stop();
        ASSERT_TRUE(testing::loopback_pair(near_, far_, 5000));
    }
    void TearDown() override
    {
        close_socket(far_);
        net_cleanup();
    }

    socket_handle near_ = invalid_socket_handle;  // owned by the holder under test
    socket_handle far_ = invalid_socket_handle;
};

TEST_F(socket_holder_test, close_defers_the_handle_until_the_last_call_ends)
{
    if (!testing::freed_numbers_are_reused()) {
        GTEST_SKIP() << "this system does not reuse freed socket numbers at once";
    }
    socket_holder holder(near_);
    {
        const socket_holder::use in_flight = holder.acquire();
        ASSERT_TRUE(in_flight);
        holder.close();
        EXPECT_TRUE(holder.closed());
        EXPECT_FALSE(holder.acquire());
        // Shut down, so the call in flight sees the end, but not closed: the number stays ours.
        std::uint8_t byte = 0;
        EXPECT_LT(recv_some(in_flight.handle(), &byte, 1), 1);
        EXPECT_FALSE(testing::socket_number_free(near_));
    }
    // The last call ended: the handle is closed and its number free again.
    EXPECT_TRUE(testing::socket_number_free(near_));
    // A second close, and the destructor, leave whatever now holds that number alone.
    holder.close();
}

TEST_F(socket_holder_test, close_wakes_blocked_calls_and_later_calls_fail_without_the_network)
{
    socket_holder holder(near_);
    std::atomic<std::int32_t> result{-100};
    std::thread reader([&] {
        std::uint8_t buffer[8];
        result = holder.recv_some(buffer, sizeof buffer);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(result.load(), -100);  // blocked, not timed out: the receive time-out is 5 s
    const std::int64_t start = monotonic_ns();
    holder.close();
    reader.join();
    EXPECT_LT((monotonic_ns() - start) / 1'000'000, 2000);
    EXPECT_LE(result.load(), 0);

    const std::uint8_t byte = 1;
    std::uint8_t buffer[1];
    EXPECT_EQ(holder.recv_some(buffer, 1), 0);
    EXPECT_FALSE(holder.recv_exact(buffer, 1));
    EXPECT_FALSE(holder.send_all(&byte, 1));
    // The peer sees the end of the stream, not silence.
    EXPECT_EQ(recv_some(far_, buffer, 1), 0);
}

TEST_F(socket_holder_test, adopt_takes_one_socket_and_closes_any_other)
{
    socket_holder holder;
    EXPECT_FALSE(holder.acquire());
    ASSERT_TRUE(holder.adopt(near_));
    const std::uint8_t out[3] = {1, 2, 3};
    ASSERT_TRUE(holder.send_all(out, 3));
    std::uint8_t in[3] = {};
    ASSERT_TRUE(recv_exact(far_, in, 3));
    EXPECT_EQ(in[2], 3);

    socket_handle extra_near = invalid_socket_handle;
    socket_handle extra_far = invalid_socket_handle;
    ASSERT_TRUE(testing::loopback_pair(extra_near, extra_far, 5000));
    EXPECT_FALSE(holder.adopt(extra_near));  // closed at once instead of leaking
    EXPECT_EQ(recv_some(extra_far, in, 1), 0);
    close_socket(extra_far);
}

}  // namespace
}  // namespace pelto
