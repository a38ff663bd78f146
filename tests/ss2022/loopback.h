#pragma once
// Test-only loopback listener on 127.0.0.1 with an ephemeral port, and a helper that returns both
// ends of one loopback TCP connection. Accepted sockets are entered in the socket registry, so
// their owners close them with `close_socket` like any other socket. Call `net_startup` first.

#include <cstdint>

#include "net/socket.h"

namespace pelto::test {

class loopback_listener {
public:
    loopback_listener() = default;
    loopback_listener(const loopback_listener&) = delete;
    loopback_listener& operator=(const loopback_listener&) = delete;
    ~loopback_listener() { close(); }

    // Binds 127.0.0.1 on a free port and listens. False on any platform failure.
    bool open();
    std::uint16_t port() const { return port_; }
    // Waits at most `timeout_ms` for one connection: the registered, blocking socket, or the
    // invalid handle on time-out, failure or after `close`.
    socket_handle accept_one(std::int32_t timeout_ms);
    void close();

private:
    socket_handle socket_ = invalid_socket_handle;
    std::uint16_t port_ = 0;
};

// Both ends of a fresh loopback connection, each registered and with `io_timeout_ms` receive and
// send time-outs, so a test that goes wrong fails instead of hanging.
bool loopback_pair(socket_handle& out_client, socket_handle& out_server, std::int32_t io_timeout_ms);

}  // namespace pelto::test
