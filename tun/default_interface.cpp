#include "tun/tun_system.h"

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

}  // namespace pelto::tun
