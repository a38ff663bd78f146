#pragma once
// DNS capture and answer rewriting: the queue of captured queries and its four workers, the
// forwarding of each query to the real server outside the tunnel, and the shared maps that turn
// answers for routed names into host routes and remember which name each routed address stands
// for (the flows look their host names up here).
//
// Locks: the maps lock guards the maps and sets; the queue lock guards the query queue. Neither is
// held while a route or filter is added or while a socket is used.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/bytes.h"
#include "tun/data_plane.h"
#include "tun/dns_upstream.h"
#include "tun/host_routes.h"
#include "tun/recency_map.h"

namespace pelto::tun {

inline constexpr std::size_t max_dns_queue = 128;
inline constexpr int dns_worker_count = 4;
// Learnt addresses (with their routes and filters), IPv6 addresses fenced and aliases are kept
// while DNS answers keep naming them: one not seen in an answer for an hour goes, and beyond
// 4096 of a kind the least recently seen goes first.
inline constexpr std::int64_t mapping_lifetime_ns = 3600LL * 1'000'000'000;
inline constexpr std::size_t max_mappings = 4096;

struct dns_resolver_config {
    upstream_target upstream;                // where queries go, and the address they leave from
    std::uint32_t virtual_dns_address = 0;   // network order
    std::uint32_t adapter_address = 0;       // network order; never routed
    // Whether a lower-case name is itself routed (the service domain and its subdomains).
    std::function<bool(std::string_view name)> is_routed_name;
    host_routes* routes = nullptr;           // null: no adapter yet, nothing is mapped
    // Leak-protection filter for an address (network order, or 16 bytes for IPv6); true when
    // added or when protection is off.
    std::function<bool(byte_span address, bool ipv6)> add_leak_filter;
    // Removes such a filter again (an expired or bypassed address).
    std::function<void(byte_span address, bool ipv6)> remove_leak_filter;
    // Monotonic nanoseconds, for the age of learnt entries; empty means the system's clock.
    std::function<std::int64_t()> clock;
    std::function<void(std::u16string_view line)> log;
    // Where answers to captured UDP queries go (the data plane's reply queue).
    std::function<void(dns_datagram reply)> post_reply;
};

class dns_resolver {
public:
    explicit dns_resolver(dns_resolver_config config);
    ~dns_resolver();  // stops the workers; the routes made stay (the owner deletes them)
    dns_resolver(const dns_resolver&) = delete;
    dns_resolver& operator=(const dns_resolver&) = delete;

    // Starts the workers; false when a thread cannot be started (those started are stopped).
    bool start();
    // Stops accepting queries, shuts every upstream socket down and joins the workers.
    void stop();

    // Queues a captured UDP query (dropped when 128 wait or when stopped). Never blocks.
    void capture(dns_datagram query);
    // Forwards, checks and rewrites one query; empty when there is nothing to send back.
    bytes forward_query(byte_span query, dns_transport transport);

    // Where queries go from now on, and the address they leave from (the network changed);
    // exchanges already under way finish with the old target.
    void set_upstream(const upstream_target& upstream);

    // An address that must never be routed into the adapter.
    void add_bypass(std::uint32_t address);
    // Bypasses `address` from now on and forgets any mapping made for it; true when it had been
    // routed (the caller then deletes its route and filter).
    bool bypass_and_unmap(std::uint32_t address);
    // The routed name for `name` (lower-cased): the name when routed, else a recorded alias.
    std::string routed_name_for(std::string_view name);
    void record_alias(std::string_view target, std::string_view routed);
    // Routes `address` for `routed`; refuses 0, the virtual DNS and adapter addresses, 0/8,
    // 127/8, 224/3 and up, 198.18/16, bypassed addresses, an empty name, and a missing adapter.
    // An address bypassed while it is being mapped (the node's, on a reuse) is refused and its
    // route and filter are taken back. Each call counts as the address being seen.
    bool map_address(std::uint32_t address, std::string_view routed);
    // Fences an IPv6 address of a routed name (16 bytes); false when its filter failed.
    bool fence_ipv6(byte_span address);
    // The routed name remembered for an address, or empty.
    std::string host_for_address(std::uint32_t address);
    // Every address with a remembered routed name (for filters added after the fact).
    std::vector<std::uint32_t> mapped_addresses();
    // Every address routed so far (for deleting the routes at teardown).
    std::vector<std::uint32_t> routed_addresses();

private:
    using ipv6_key = std::array<std::uint8_t, 16>;
    struct expired {
        std::vector<std::uint32_t> ipv4;  // with the routed ones' routes
        std::vector<std::uint32_t> routed;
        std::vector<ipv6_key> ipv6;
    };

    void worker();
    bytes forward_once(byte_span query, dns_transport transport);
    upstream_target current_upstream();
    std::int64_t now() const;
    // Under the maps lock: removes what has aged out or is over the bound.
    void expire_locked(std::int64_t now, expired& out);
    // Outside the lock: deletes the routes and filters of what was removed.
    void release(const expired& gone);

    dns_resolver_config config_;
    upstream_sockets sockets_;
    std::mutex upstream_lock_;  // guards config_.upstream, which a network change replaces
    std::atomic<bool> running_{false};

    std::mutex maps_lock_;
    recency_map<std::uint32_t, std::string> host_map_;
    recency_map<std::string, std::string> alias_map_;
    recency_map<ipv6_key, bool> fenced_ipv6_;
    std::set<std::uint32_t> route_set_;
    std::set<std::uint32_t> bypass_set_;
    std::set<std::string> logged_hosts_;
    bool route_failure_reported_ = false;

    std::mutex queue_lock_;
    std::condition_variable queue_wake_;
    std::deque<dns_datagram> queue_;
    std::vector<std::thread> workers_;
};

}  // namespace pelto::tun
