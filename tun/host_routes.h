#pragma once
// Host routes (/32) through the TUN adapter. Windows: IP Helper forward entries on the adapter's
// interface; Linux: rtnetlink routes on the device. Both only ever touch routes to the given
// addresses through the given interface.

#include <cstdint>
#include <memory>

namespace pelto::tun {

class host_routes {
public:
    virtual ~host_routes() = default;
    // Adds a route to `address` (network order) through the adapter. False with the system's
    // error code in `out_error`; an existing identical route counts as success.
    virtual bool add(std::uint32_t address, std::uint32_t& out_error) = 0;
    // Deletes that route; a missing one counts as success.
    virtual bool remove(std::uint32_t address, std::uint32_t& out_error) = 0;
};

// The platform's routes through the interface with this index (Linux) or LUID (Windows).
std::unique_ptr<host_routes> make_system_host_routes(std::uint64_t interface_id);

}  // namespace pelto::tun
