#pragma once
// The system side of TUN mode, one backend per platform: the default interface and its addresses,
// the adapter's address and interface parameters, the DNS policy that sends name resolution to the
// virtual DNS address, and the leak-protection filters.
//
// Linux: rtnetlink dumps and requests. Where the resolver file hands names to the local resolver
// service (a link into its directory, or only its stub addresses listed) and that service answers
// on the system bus, the DNS policy is per-link DNS on the adapter with the routing domain `~.`;
// otherwise the resolver file is rewritten in place after saving its text to a journal on
// persistent storage, and put back only while it still holds our text. Windows: IP Helper, the
// DNS client's name-resolution policy in the registry.
//
// All calls but `leak_filters::add` run under the TUN lock.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "base/bytes.h"

namespace pelto::tun {

// The interface of the IPv4 default route, as `find_default_interface` finds it (read-only; start-up
// asks it too, wired meaning a hardware Ethernet adapter).
struct default_interface {
    std::uint64_t id = 0;  // Windows: LUID; Linux: interface index
    bool wired = false;
    bool found = false;
};

// One default route over an interface that is up and of an accepted type (Ethernet, Wi-Fi, PPP,
// mobile broadband). `cost` is what the system ranks it by: route metric plus interface metric on
// Windows, the route's priority on Linux.
struct default_route_candidate {
    std::uint64_t id = 0;
    std::uint64_t cost = 0;
    bool hardware = false;  // a physical adapter, not a virtual one
    bool ethernet = false;  // Ethernet, not Wi-Fi, PPP or mobile broadband
};

// The selection step of `find_default_interface`, over the candidates in route-table order: the
// first is taken; a later one replaces it when it is hardware and the current one is not, or when
// both are of the same kind and its cost is strictly lower. A non-hardware candidate never
// replaces a hardware one. Wired = the choice is hardware and Ethernet.
default_interface choose_default_interface(std::span<const default_route_candidate> candidates);

// The upstream server among an interface's DNS servers (network order, in the order listed): the
// first that is neither 0, `virtual_dns` nor a loopback address (a local stub would send our
// queries back to us); 0 when none is.
std::uint32_t choose_upstream_dns(std::span<const std::uint32_t> servers, std::uint32_t virtual_dns);

struct interface_addresses {
    std::uint32_t local_bind = 0;    // network order
    std::uint32_t upstream_dns = 0;  // network order
};

// Whether this process may configure the network (elevated token / effective CAP_NET_ADMIN).
bool may_configure_network();

default_interface find_default_interface();
// False when the interface has no usable local IPv4 address. The upstream server is the first one
// known for the interface that is neither `virtual_dns`, 0 nor a loopback address, else the
// fixed fallback. Linux asks a running local resolver service first (the interface's servers,
// then its global ones), then the resolver file; while the file holds our policy, the text it
// will get back at the end (the journal) stands for it.
bool read_interface_addresses(const default_interface& iface, std::uint32_t virtual_dns,
                              std::uint32_t fallback_dns, interface_addresses& out);

// Deletes every IPv4 route through an adapter left by an earlier run (Windows keeps the adapter
// and its routes; a Linux device and its routes end with the process that made it).
void delete_adapter_routes(std::uint64_t adapter_id);

// The adapter's /32 address; 0 or the system's error code.
std::uint32_t assign_address(std::uint64_t adapter_id, std::uint32_t address);
// MTU 1500, metric 1, link up; 0 or the system's error code.
std::uint32_t set_interface_parameters(std::uint64_t adapter_id);

// Sends all name resolution to `virtual_dns`, served on the adapter `adapter_id` (Linux: its
// interface index, used when the policy is set on the adapter's link; Windows ignores it). A
// journal or marker is written before anything changes. False with a message, leaving nothing
// behind.
bool write_dns_policy(std::uint64_t adapter_id, std::uint32_t virtual_dns, std::u16string& out_message);
// Whether the policy written by this run is still in force, checked after the network changed:
// `kept` when it is; `restored` when someone had replaced it (a DHCP client or network manager
// rewriting the resolver file, the service's link losing its settings, the registry rule gone or
// altered) and it is back, the file's new text being what the end of TUN mode restores; `failed`
// with a message otherwise. Called under the TUN lock while a policy is written.
enum class dns_policy_check { kept, restored, failed };
dns_policy_check reassert_dns_policy(std::uint64_t adapter_id, std::uint32_t virtual_dns,
                                     std::u16string& out_message);
// The system resolver file the network watch follows (Linux; empty on Windows).
std::string dns_resolver_file_path();
// The interface's index for binding sockets to it (Linux: the id itself; Windows: from the LUID);
// 0 when unknown.
std::uint32_t interface_index(const default_interface& iface);

// Undoes the policy written by this program, now or by an earlier run that ended abnormally; a
// policy someone else has since replaced is left alone. Safe to call at any time. A link setting
// left by an earlier run went with its adapter: only the resolver service's cache is flushed.
void delete_dns_policy();
// Whether a journal or marker of a written policy exists (for tests and the recovery report).
bool dns_policy_journal_exists();

// Test seam (Linux): the resolver file and the journal (the marker of a link policy lies beside
// it); empty restores the defaults. The bus has its own seam in resolved_bus_linux.h.
void set_dns_policy_paths_for_testing(const std::string& resolver_file, const std::string& journal);

// Leak-protection filters: while open, traffic to each added address may leave only through the
// adapter; IPv6 to an added address is refused altogether. Closing removes every filter, and so
// does the end of the process.
class leak_filters {
public:
    virtual ~leak_filters() = default;
    // An address in network order (4 bytes) or 16 bytes for IPv6.
    virtual bool add(byte_span address, bool ipv6) = 0;
    // Removes the filter of such an address; one that was never added is no error.
    virtual void remove(byte_span address, bool ipv6) = 0;
};

// Opens the filtering session for the adapter; null with a message when that is impossible.
std::unique_ptr<leak_filters> open_leak_filters(std::uint64_t adapter_id, std::u16string& out_message);

}  // namespace pelto::tun
