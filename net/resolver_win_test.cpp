// The overlapped resolver of the Winsock backend, run directly (the lookup seam always takes the
// worker path): it resolves, and it keeps the 3 s deadline and the stop flag even where the
// system's cancel does nothing.
#include <gtest/gtest.h>

#include <thread>

#include "net/resolver_seam.h"
#include "net/socket.h"

namespace pelto {
namespace {

std::int64_t elapsed_ms(std::int64_t start_ns)
{
    return (monotonic_ns() - start_ns) / 1'000'000;
}

class overlapped_resolver : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(net_startup());
        clear_stop();
    }
    void TearDown() override
    {
        clear_stop();
        net_cleanup();
    }
};

TEST_F(overlapped_resolver, resolves_with_the_system_cancel_and_with_a_stub)
{
    for (const overlapped_cancel mode : {overlapped_cancel::system, overlapped_cancel::stub}) {
        address_list addresses;
        std::u16string error;
        bool available = false;
        const bool found = resolve_overlapped_for_tests(mode, "localhost", "443", addresses, error, available);
        if (!available) {
            GTEST_SKIP() << "this system has no overlapped resolver";
        }
        ASSERT_TRUE(found);
        ASSERT_FALSE(addresses.empty());
        EXPECT_TRUE(address_is_local(addresses.front()));
    }
}

TEST_F(overlapped_resolver, keeps_the_deadline_and_the_stop_flag_when_cancel_does_nothing)
{
    // A name under a reserved top-level domain: however long the system takes to give up on it,
    // the resolver returns within its deadline, and at once after a stop.
    address_list addresses;
    std::u16string error;
    bool available = false;
    std::int64_t start = monotonic_ns();
    resolve_overlapped_for_tests(overlapped_cancel::stub, "pelto-deadline.invalid", "443", addresses, error,
                                 available);
    if (!available) {
        GTEST_SKIP() << "this system has no overlapped resolver";
    }
    EXPECT_LT(elapsed_ms(start), 3600);
    EXPECT_TRUE(addresses.empty());

    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        stop_all_sockets();
    });
    start = monotonic_ns();
    error.clear();
    EXPECT_FALSE(resolve_overlapped_for_tests(overlapped_cancel::stub, "pelto-stop.invalid", "443", addresses,
                                              error, available));
    stopper.join();
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace pelto
