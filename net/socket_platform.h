#pragma once
// The thin platform layer under net/socket.cpp. Implemented once per platform
// (socket_posix.cpp, socket_win.cpp); nothing outside net/ includes this header.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "net/socket.h"

namespace pelto::net_platform {

bool startup();
void cleanup();

// A new socket, or the invalid handle.
socket_handle open_socket(const resolved_address& address);
// Whether the address (its port ignored) is one of this machine's own: a datagram socket can be
// bound to it.
bool is_own_address(const resolved_address& address);
// Binds an unconnected socket of `family` to the interface with `index` for its outgoing packets.
bool bind_to_interface(socket_handle socket, std::int32_t family, std::uint32_t index);
void shutdown_both(socket_handle socket);
void close_handle(socket_handle socket);

bool set_blocking(socket_handle socket, bool blocking);

enum class connect_start { connected, pending, failed };
// Starts a connect on a non-blocking socket.
connect_start start_connect(socket_handle socket, const resolved_address& address);
// Waits at most `timeout_ms` for a pending connect to finish (writable, or failed where the
// platform signals failure separately). Returns the number of ready sockets: 1, 0 on time-out,
// below 0 on error.
int wait_connect(socket_handle socket, int timeout_ms);
// The socket's pending error (SO_ERROR); non-zero when it cannot be read.
int pending_error(socket_handle socket);

bool set_no_delay(socket_handle socket);
bool set_io_timeouts(socket_handle socket, std::int32_t timeout_ms);

// One send / recv. Below 1 on error, close or time-out.
std::int32_t send_once(socket_handle socket, const std::uint8_t* data, std::int32_t length);
std::int32_t recv_once(socket_handle socket, std::uint8_t* buffer, std::int32_t capacity);

// Resolves checked texts (the stop flag and the texts were checked by the caller) with the
// platform's best abandonable method; `resolve_host`'s contract.
bool resolve(std::string_view host, std::string_view service, address_list& out_addresses,
             std::u16string& out_error);

// Appends the usable entries of a platform address-info list (addrinfo, ADDRINFOW, ADDRINFOEXW:
// the same fields under each spelling) in resolver order. Only stream entries (`stream_type`, the
// platform's SOCK_STREAM) are usable: a resolver that ignores the hints may add datagram entries,
// and a datagram socket's connect "succeeds" without any peer.
template <typename entry_type>
void append_entries(const entry_type* list, int stream_type, address_list& out)
{
    // The MinGW-w64 ADDRINFOEXW declares its link as a pointer to a differently spelt (and never
    // defined) struct; the object behind it is the same type.
    for (const entry_type* entry = list; entry != nullptr;
         entry = reinterpret_cast<const entry_type*>(entry->ai_next)) {
        if (entry->ai_addr == nullptr || entry->ai_addrlen == 0 || entry->ai_socktype != stream_type) {
            continue;
        }
        resolved_address address;
        address.family = entry->ai_family;
        address.socket_type = entry->ai_socktype;
        address.protocol = entry->ai_protocol;
        const auto* raw = reinterpret_cast<const std::uint8_t*>(entry->ai_addr);
        address.sockaddr_bytes.assign(raw, raw + entry->ai_addrlen);
        out.push_back(std::move(address));
    }
}

// Resolves an address literal (IPv4 dotted or IPv6) without any lookup: true with its one address,
// false when `host` is not a literal.
bool numeric_lookup(const std::string& host, const std::string& service, address_list& out);

// A blocking lookup of stream addresses for a UTF-8 host and service. True with a non-empty
// list, false otherwise. May take as long as the system resolver wants.
bool blocking_lookup(const std::string& host, const std::string& service, address_list& out);

}  // namespace pelto::net_platform

namespace pelto::net_detail {

// The texts shared by both platforms' resolvers.
std::u16string stopping_message();
std::u16string resolve_failed_message();

// False for texts no resolver may be given: empty, over-long, or with an embedded zero.
bool lookup_text_acceptable(std::string_view host, std::string_view service);

// Runs `lookup` on a worker thread and waits for it in slices of at most 100 ms until it is done,
// the 3 s deadline passes or the stop flag is set. The lookup's state is owned jointly by the
// caller and the worker, so an abandoned worker finishes alone and drops its result.
// At most this many worker lookups run at once, abandoned ones included; beyond it a lookup fails
// at once instead of adding a thread that a hanging system resolver would keep.
inline constexpr int max_running_lookups = 16;

bool resolve_on_worker(std::string_view host, std::string_view service,
                       address_list& out_addresses, std::u16string& out_error);

// The lookup `resolve_on_worker` runs: the platform's, unless a test replaced it.
using lookup_fn = bool (*)(const std::string& host, const std::string& service,
                           address_list& out);
lookup_fn current_lookup();
bool lookup_replaced();

}  // namespace pelto::net_detail
