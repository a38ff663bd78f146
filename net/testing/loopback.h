#pragma once
// Loopback peers for tests of the socket layer and of everything built on it. Test-only: linked
// into test programs, never into the product. Every address here is a loopback address.

#include <cstdint>

#include "net/socket.h"
#include "net/tcp_listener.h"

namespace pelto::testing {

enum class loopback_family { ipv4, ipv6 };

// A TCP listener on 127.0.0.1 (or ::1) with a port chosen by the system. Accepted sockets are
// not registered; close them with `close_unregistered` or hand them to `register_socket`.
class loopback_listener {
public:
    explicit loopback_listener(int backlog = 16, loopback_family family = loopback_family::ipv4);
    ~loopback_listener();
    loopback_listener(const loopback_listener&) = delete;
    loopback_listener& operator=(const loopback_listener&) = delete;

    bool ok() const { return socket_ != invalid_socket_handle; }
    std::uint16_t port() const { return port_; }
    // The listener's own address, as the resolver would give it.
    resolved_address address() const;
    // Waits at most `timeout_ms` for a client; the invalid handle on time-out.
    socket_handle accept(std::int32_t timeout_ms = 5000);

private:
    socket_handle socket_ = invalid_socket_handle;
    std::uint16_t port_ = 0;
    loopback_family family_;
};

// Shuts down and closes a socket that the registry does not own.
inline void close_unregistered(socket_handle socket)
{
    close_unregistered_socket(socket);
}

// Both ends of a fresh IPv4 loopback connection, each registered (close them with `close_socket`)
// and with `io_timeout_ms` receive and send time-outs, so a test that goes wrong fails instead of
// hanging.
bool loopback_pair(socket_handle& out_client, socket_handle& out_server, std::int32_t io_timeout_ms);

// A new unconnected, unregistered TCP socket, or the invalid handle.
socket_handle open_unconnected_socket();

// True when the system hands `number` to a new socket, so it is free: opens sockets until one
// takes it or a higher number (at most 256), then closes them all. Meaningful only where
// `freed_numbers_are_reused`.
bool socket_number_free(socket_handle number);
// The same search, but the socket that took `number` stays open and is returned (unregistered);
// the invalid handle when `number` is in use.
socket_handle take_socket_number(socket_handle number);

// Whether the system hands a just-freed socket number to the next socket (POSIX gives the lowest
// free descriptor; Winsock does not promise it). Tests of deferred closing skip where it does not,
// since they would pass without showing anything.
bool freed_numbers_are_reused();

}  // namespace pelto::testing
