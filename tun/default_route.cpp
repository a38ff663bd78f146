#include "tun/default_route.h"

namespace pelto {

bool replaces(const route_candidate& current, const route_candidate& candidate)
{
    if (candidate.hardware != current.hardware) {
        return candidate.hardware;
    }
    return candidate.cost < current.cost;
}

}  // namespace pelto
