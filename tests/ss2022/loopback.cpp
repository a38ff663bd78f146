#include "tests/ss2022/loopback.h"

#include <string>

namespace pelto::test {

bool loopback_pair(socket_handle& out_client, socket_handle& out_server, std::int32_t io_timeout_ms)
{
    loopback_listener listener;
    if (!listener.open()) {
        return false;
    }
    std::u16string error;
    socket_handle client = invalid_socket_handle;
    if (!tcp_connect("127.0.0.1", listener.port(), 5000, io_timeout_ms, client, error)) {
        return false;
    }
    const socket_handle server = listener.accept_one(5000);
    if (server == invalid_socket_handle || !set_stream_options(server, io_timeout_ms)) {
        close_socket(client);
        close_socket(server);
        return false;
    }
    out_client = client;
    out_server = server;
    return true;
}

}  // namespace pelto::test
