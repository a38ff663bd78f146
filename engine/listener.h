#pragma once
// The loopback HTTP proxy that local applications use while a session runs.
//
// `start_listener` binds the first free port of 127.0.0.1:17890-17920, then switches the session
// on: leak-protection wish for TUN mode, then TUN mode or the system proxy, as the preferences
// say. It returns false (with an error line logged) when no port is free, when the session was
// stopped meanwhile, or when the mode could not be switched on; the listening socket then stays
// open until `close_listener`.
//
// `accept_loop` runs on the engine thread until the session ends: each accepted client is served
// by `serve_client` on a thread of its own (at most 128 live), which reads one request head,
// connects to its destination - through the selected node for hosts of the service domain,
// directly otherwise - and relays both ways. When the loop ends it stops every registered
// socket and joins every connection thread, so no connection outlives its session.
//
// `close_listener` closes the listening socket (a blocked accept then fails and the loop ends)
// and may be called from any thread.

#include <cstdint>

#include "net/socket.h"

namespace pelto {

inline constexpr std::uint16_t listener_first_port = 17890;
inline constexpr std::uint16_t listener_last_port = 17920;
inline constexpr int listener_backlog = 64;
inline constexpr std::size_t max_connection_threads = 128;
inline constexpr std::int32_t head_receive_chunk = 1024;
inline constexpr std::size_t max_request_head = 16384;
inline constexpr std::int32_t client_io_timeout_ms = 120000;
inline constexpr std::int32_t outbound_connect_timeout_ms = 8000;
inline constexpr std::int32_t outbound_io_timeout_ms = 120000;

bool start_listener();
void accept_loop();
void serve_client(socket_handle client);
void close_listener();

// The bound port, 0 while no listener exists.
std::int32_t local_proxy_port();

}  // namespace pelto
