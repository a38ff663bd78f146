// The choice among default routes, and the real lookup (read-only) on whatever machine runs it.

#include "tun/tun_system.h"

#include <gtest/gtest.h>

#include <cstring>
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

std::uint32_t ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    const std::uint8_t raw[4] = {a, b, c, d};
    std::uint32_t out = 0;
    std::memcpy(&out, raw, 4);
    return out;  // network order
}

// Both backends take the interface's server through this choice: a loopback stub (a local DNS
// proxy, 127.0.0.53) would send every forwarded query back into the tunnel.
TEST(upstream_dns_choice, skips_unset_virtual_and_loopback_servers_and_keeps_the_listed_order)
{
    const std::uint32_t virtual_dns = ipv4(172, 19, 77, 53);
    const std::vector<std::uint32_t> servers = {0, ipv4(127, 0, 0, 53), virtual_dns, ipv4(127, 1, 2, 3),
                                                ipv4(10, 0, 0, 1), ipv4(10, 0, 0, 2)};
    EXPECT_EQ(choose_upstream_dns(servers, virtual_dns), ipv4(10, 0, 0, 1));
    // 126/8 and 128/8 sit beside loopback and are ordinary servers.
    EXPECT_EQ(choose_upstream_dns(std::vector<std::uint32_t>{ipv4(126, 0, 0, 1)}, virtual_dns), ipv4(126, 0, 0, 1));
    EXPECT_EQ(choose_upstream_dns(std::vector<std::uint32_t>{ipv4(127, 0, 0, 1), ipv4(128, 0, 0, 1)}, virtual_dns),
              ipv4(128, 0, 0, 1));
    EXPECT_EQ(choose_upstream_dns(std::vector<std::uint32_t>{ipv4(127, 0, 0, 1), virtual_dns, 0}, virtual_dns), 0u);
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
