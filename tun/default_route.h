#pragma once
// Read-only: which interface carries the IPv4 default route, and whether it is a wired hardware
// Ethernet adapter (start-up turns TUN mode on for those). Changes nothing on the machine.
//
// Among the default routes over interfaces that are up and connected (Ethernet, PPP, 802.11,
// mobile broadband), a hardware interface wins over any other; between two of the same kind the
// lower cost (the route metric) wins, the first on a tie.

#include <cstdint>

namespace pelto {

struct default_route_interface {
    bool found = false;
    bool wired = false;  // hardware and Ethernet
    std::uint64_t luid = 0;  // Windows: the interface LUID; Linux: the interface index
};

default_route_interface find_default_route_interface();

// The selection step alone, for the platform backends and tests: true when `candidate` replaces
// `current`.
struct route_candidate {
    bool hardware = false;
    bool ethernet = false;
    std::uint64_t cost = 0;
    std::uint64_t id = 0;
};
bool replaces(const route_candidate& current, const route_candidate& candidate);

}  // namespace pelto
