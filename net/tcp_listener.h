#pragma once
// A listening TCP socket on the IPv4 loopback address, for the local HTTP proxy.
//
// `open_loopback_listener` binds 127.0.0.1:`port` exclusively (no other socket may share the
// port, on Windows through SO_EXCLUSIVEADDRUSE) and listens with `backlog`. The caller owns the
// handle and closes it with `close_listener_socket`, which also makes a blocked `accept_client`
// on another thread return. The listening socket is not entered in the socket registry.

#include <cstdint>

#include "net/socket.h"

namespace pelto {

// The listening socket, or the invalid handle when the port cannot be bound or listened on.
socket_handle open_loopback_listener(std::uint16_t port, int backlog);

// Blocks until a client connects; returns its socket (not registered, blocking), or the invalid
// handle when accepting fails (for instance because the listener was closed).
socket_handle accept_client(socket_handle listener);

// Shuts the listener down and closes it. Ignores the invalid handle.
void close_listener_socket(socket_handle listener);

// Closes a socket that was never registered (a refused client).
void close_unregistered_socket(socket_handle socket);

}  // namespace pelto
