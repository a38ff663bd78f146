#pragma once
// The local resolver service (org.freedesktop.resolve1) on the system bus, through sd-bus: the
// per-link DNS settings TUN mode puts on its adapter, and the servers the service knows.
//
// Every step is bounded by `resolver_bus_step_limit`: connecting, the authentication and hello
// exchange, and each call. A step that runs out of time fails like any other, with a message that
// names it. One connection serves one operation; it is closed without flushing, so closing never
// waits for a peer that stopped reading.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pelto::tun {

std::chrono::milliseconds resolver_bus_step_limit();

class resolver_bus {
public:
    enum class presence { absent, activatable, running };

    // Connects to the system bus (or the address set for tests) and waits, within the step limit,
    // until the bus has accepted us. Null with a message when that fails or runs out of time.
    static std::unique_ptr<resolver_bus> connect(std::u16string& out_error);
    ~resolver_bus();
    resolver_bus(const resolver_bus&) = delete;
    resolver_bus& operator=(const resolver_bus&) = delete;

    // Whether the service holds its name now, or the bus would start it for the first call.
    bool find_service(presence& out, std::u16string& out_error);

    // The link's only DNS server (IPv4, network order).
    bool set_link_dns(std::int32_t link, std::uint32_t server, std::u16string& out_error);
    // The root domain as a routing-only domain (`~.`): every name may be sent to the link's server.
    bool set_link_routing_all(std::int32_t link, std::u16string& out_error);
    bool set_link_default_route(std::int32_t link, bool on, std::u16string& out_error);
    // Drops everything set on the link through the bus.
    bool revert_link(std::int32_t link, std::u16string& out_error);
    bool flush_caches(std::u16string& out_error);

    // The IPv4 servers (network order) the service lists for one link / for all links (its global
    // ones), in its order; empty when it lists none or does not answer.
    std::vector<std::uint32_t> link_servers(std::int32_t link);
    std::vector<std::uint32_t> global_servers();

private:
    struct connection;
    explicit resolver_bus(std::unique_ptr<connection> bus);
    std::unique_ptr<connection> bus_;
};

// Test seam: the bus to talk to instead of the system bus ("unix:path=..."); empty restores it.
void set_resolver_bus_address_for_testing(const std::string& address);

}  // namespace pelto::tun
