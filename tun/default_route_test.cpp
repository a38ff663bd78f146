#include <gtest/gtest.h>

#include "tun/default_route.h"

namespace pelto {
namespace {

TEST(default_route, hardware_wins_then_the_lower_cost)
{
    const route_candidate hw{true, true, 50, 1};
    const route_candidate virt{false, false, 1, 2};
    EXPECT_FALSE(replaces(hw, virt));  // a virtual adapter never replaces a hardware one
    EXPECT_TRUE(replaces(virt, hw));
    EXPECT_TRUE(replaces(hw, route_candidate{true, false, 49, 3}));
    EXPECT_FALSE(replaces(hw, route_candidate{true, true, 50, 4}));  // a tie keeps the first
}

TEST(default_route, the_lookup_reads_without_failing)
{
    // Whatever the machine has; a wired result always has an interface.
    const default_route_interface d = find_default_route_interface();
    if (d.wired) {
        EXPECT_TRUE(d.found);
    }
}

}  // namespace
}  // namespace pelto
