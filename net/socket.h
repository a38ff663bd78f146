#pragma once
// Outbound TCP connections, the process-wide socket registry and its stop switch, name
// resolution, and the blocking routines that move exact byte counts.
//
// Every outbound socket opened by `tcp_connect` and every accepted local socket passed to
// `register_socket` is entered in one registry. `stop_all_sockets` sets the stop flag and shuts
// every registered socket down in both directions, so every blocked send/recv on them fails at
// once; pending resolutions give up within about 100 ms and pending connect waits within about
// 200 ms, and new connects are refused until `clear_stop`. Owners still close their sockets with
// `close_socket` (or `release_socket`), which is the only way a handle leaves the registry.
//
// All functions may be called from any thread. The registry lock is never held across a
// blocking network call. Time-outs are milliseconds (signed 32-bit).

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelto {

// POSIX file descriptors and Winsock SOCKETs both fit.
using socket_handle = std::uint64_t;
inline constexpr socket_handle invalid_socket_handle = ~std::uint64_t{0};

// Starts the platform socket library (Winsock 2.2 on Windows; nothing to do on Linux). True on
// success. Called once when the engine starts; `net_cleanup` undoes one successful call.
bool net_startup();
void net_cleanup();

// Clears the stop flag; new connects are allowed again.
void clear_stop();
// Sets the stop flag, then shuts down (both directions) every registered socket in registration
// order. Sockets stay registered and open: their owners close them.
void stop_all_sockets();
// The stop flag, read under the registry lock.
bool is_stopping();

// A monotonic clock in nanoseconds, for deadlines only.
std::int64_t monotonic_ns();

// One resolved address: everything needed to create a socket and connect it.
struct resolved_address {
    std::int32_t family = 0;       // AF_INET or AF_INET6 of the platform
    std::int32_t socket_type = 0;  // SOCK_STREAM
    std::int32_t protocol = 0;
    std::vector<std::uint8_t> sockaddr_bytes;  // the platform's sockaddr_in / sockaddr_in6
};

// An owned list of resolved addresses in resolver order. The platform's own result list is
// copied and freed inside `resolve_host`; nothing here needs freeing by hand.
using address_list = std::vector<resolved_address>;

// True when `address` is on this machine: a loopback address (127.0.0.0/8, ::1, or IPv4-mapped
// loopback) or the unspecified address (0.0.0.0, ::), which a connect also reaches locally.
bool address_is_local(const resolved_address& address);

// Resolves `host` (a UTF-8 name or an address literal) and `service` (the port in decimal) to stream
// addresses of any family. Address literals are converted on the calling thread without a lookup.
// Gives up after 3 s, or within about 100 ms once the stop flag is set;
// an abandoned lookup finishes in the background and never touches the caller's memory.
// True with a non-empty list on success; otherwise false, `out_addresses` is empty and
// `out_error` holds the stopping or the resolve-failed message.
bool resolve_host(std::string_view host, std::string_view service,
                  address_list& out_addresses, std::u16string& out_error);

// Resolves `host` and connects to `port`, trying each address in resolver order with its own
// connect time-out (the TCP handshake only). The connected socket is registered, blocking, has
// TCP_NODELAY, and, when `io_timeout_ms` > 0, receive and send time-outs of that length.
// On success `out_socket` holds it (the caller owns it and closes it with `close_socket`).
// On failure no socket is left open and `out_socket` is untouched. `out_error` is replaced by the
// stopping message when the stop flag is already set on entry, and by the resolver's error when
// resolution fails; when every address fails to connect it is set - only if it is still empty -
// to the stopping or the connect-failed message. Any host text is accepted; a host that cannot
// be a name fails with the resolve-failed message (again only if `out_error` is still empty).
bool tcp_connect(std::string_view host, std::uint16_t port, std::int32_t connect_timeout_ms,
                 std::int32_t io_timeout_ms, socket_handle& out_socket, std::u16string& out_error);

// While `index` is not 0, every socket `tcp_connect` opens to an address that is not local
// (`address_is_local`) nor another address of this machine is bound to the network interface with that index before it connects, so
// its packets leave through that interface whatever the routing table says (TUN mode sets the
// default interface here, so connections to the node never enter its adapter, and sets it again
// when the network changes). 0 lifts the binding. A binding the system refuses is left out.
// Linux: SO_BINDTOIFINDEX; Windows: IP_UNICAST_IF / IPV6_UNICAST_IF.
void set_outbound_interface(std::uint32_t index);
std::uint32_t outbound_interface();

// Sends every byte, repeating as needed. False as soon as one send accepts nothing (peer closed,
// error, send time-out, shutdown). A length of 0 succeeds; a negative length fails.
bool send_all(socket_handle socket, const std::uint8_t* data, std::int32_t length);
// Receives exactly `length` bytes. False as soon as one recv returns 0 or less (peer closed,
// error, receive time-out, shutdown); the buffer then holds an unspecified partial prefix.
bool recv_exact(socket_handle socket, std::uint8_t* buffer, std::int32_t length);
// One recv of at most `capacity` bytes: the count received, or <= 0 on end of stream or error.
std::int32_t recv_some(socket_handle socket, std::uint8_t* buffer, std::int32_t capacity);

// Enters an already open socket (an accepted client) in the registry. False when the stop flag
// is set or the handle is invalid; the caller then closes the socket itself.
bool register_socket(socket_handle socket);
// Closes a registered socket: removes it from the registry, shuts it down and closes it. The
// invalid handle and handles that are not registered are ignored, so a second close does nothing.
void close_socket(socket_handle socket);
// Shuts a registered socket down in both directions without closing it, so that calls blocked on
// it return; the owner closes it later. Ignores handles that are not registered.
void shutdown_socket(socket_handle socket);
// Takes the handle out of `holder` (leaving the invalid handle) and closes it, so a socket shared
// by two tearing-down threads is closed exactly once.
void release_socket(std::atomic<socket_handle>& holder);
// Enables TCP_NODELAY and, when `io_timeout_ms` > 0, sets receive and send time-outs to it.
// False if the platform refuses an option.
bool set_stream_options(socket_handle socket, std::int32_t io_timeout_ms);

}  // namespace pelto
