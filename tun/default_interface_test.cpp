// The choice among default routes, and the real lookup (read-only) on whatever machine runs it.

#include "tun/tun_system.h"

#include <gtest/gtest.h>

#include <vector>

namespace pelto::tun {
namespace {

default_route_candidate route(std::uint64_t id, std::uint64_t cost, bool hardware, bool ethernet)
{
    default_route_candidate c;
    c.id = id;
    c.cost = cost;
    c.hardware = hardware;
    c.ethernet = ethernet;
    return c;
}

default_interface choose(const std::vector<default_route_candidate>& candidates)
{
    return choose_default_interface(candidates);
}

TEST(default_interface_choice, a_hardware_adapter_beats_a_cheaper_virtual_one_in_either_order)
{
    const default_route_candidate wired = route(1, 50, true, true);
    const default_route_candidate virtual_wifi = route(2, 10, false, false);
    const default_route_candidate tunnel = route(3, 1, false, true);

    default_interface d = choose({virtual_wifi, wired, tunnel});
    EXPECT_TRUE(d.found);
    EXPECT_EQ(d.id, 1u);
    EXPECT_TRUE(d.wired);

    d = choose({wired, tunnel, virtual_wifi});  // listed later and cheaper, still not hardware
    EXPECT_EQ(d.id, 1u);
    EXPECT_TRUE(d.wired);
}

TEST(default_interface_choice, within_one_kind_the_strictly_lower_cost_wins_and_a_tie_keeps_the_first)
{
    EXPECT_EQ(choose({route(1, 30, false, true), route(2, 20, false, true), route(3, 20, false, false)}).id, 2u);
    EXPECT_EQ(choose({route(1, 20, false, true), route(2, 20, false, true)}).id, 1u);

    // Two hardware adapters: cost decides, even against Ethernet, and Wi-Fi is not wired.
    const default_interface d = choose({route(5, 40, true, true), route(6, 25, true, false), route(7, 25, true, true)});
    EXPECT_EQ(d.id, 6u);
    EXPECT_FALSE(d.wired);
}

TEST(default_interface_choice, wired_takes_hardware_and_ethernet_and_nothing_is_found_without_candidates)
{
    EXPECT_TRUE(choose({route(9, 0, true, true)}).wired);
    EXPECT_FALSE(choose({route(9, 0, true, false)}).wired);   // Wi-Fi, PPP, mobile broadband
    EXPECT_FALSE(choose({route(9, 0, false, true)}).wired);   // a virtual Ethernet link
    const default_interface none = choose({});
    EXPECT_FALSE(none.found);
    EXPECT_FALSE(none.wired);
    EXPECT_EQ(none.id, 0u);
}

TEST(default_interface_lookup, runs_on_this_machine)
{
    // Whatever this machine has (under Wine: the host's interfaces seen through the prefix); the
    // call must return, and a wired result names an interface.
    const default_interface d = find_default_interface();
    if (d.wired) {
        EXPECT_TRUE(d.found);
    }
    if (d.found) {
        EXPECT_NE(d.id, 0u);
    }
}

}  // namespace
}  // namespace pelto::tun
