#include "net/testing/loopback.h"

#include <string>

namespace pelto::testing {

loopback_listener::~loopback_listener()
{
    close_listener_socket(socket_);
}

bool loopback_pair(socket_handle& out_client, socket_handle& out_server, std::int32_t io_timeout_ms)
{
    loopback_listener listener;
    if (!listener.ok()) {
        return false;
    }
    socket_handle client = invalid_socket_handle;
    std::u16string error;
    if (!tcp_connect("127.0.0.1", listener.port(), 5000, io_timeout_ms, client, error)) {
        return false;
    }
    const socket_handle server = listener.accept();
    if (server == invalid_socket_handle || !register_socket(server)) {
        close_unregistered(server);
        close_socket(client);
        return false;
    }
    set_stream_options(server, io_timeout_ms);
    out_client = client;
    out_server = server;
    return true;
}

}  // namespace pelto::testing
