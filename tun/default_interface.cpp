#include "tun/tun_system.h"

#include <cstring>

namespace pelto::tun {

default_interface choose_default_interface(std::span<const default_route_candidate> candidates)
{
    default_interface result;
    const default_route_candidate* chosen = nullptr;
    for (const default_route_candidate& c : candidates) {
        const bool take = chosen == nullptr || (c.hardware && !chosen->hardware) ||
                          (c.hardware == chosen->hardware && c.cost < chosen->cost);
        if (take) {
            chosen = &c;
        }
    }
    if (chosen != nullptr) {
        result.id = chosen->id;
        result.wired = chosen->hardware && chosen->ethernet;
        result.found = true;
    }
    return result;
}

std::uint32_t choose_upstream_dns(std::span<const std::uint32_t> servers, std::uint32_t virtual_dns)
{
    for (std::uint32_t server : servers) {
        std::uint8_t first = 0;
        std::memcpy(&first, &server, 1);  // network order: the first byte is the top octet
        if (server != 0 && server != virtual_dns && first != 127) {
            return server;
        }
    }
    return 0;
}

}  // namespace pelto::tun
