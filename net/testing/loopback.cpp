#include "net/testing/loopback.h"

#include <string>
#include <vector>

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

bool socket_number_free(socket_handle number)
{
    const socket_handle taken = take_socket_number(number);
    close_unregistered(taken);
    return taken != invalid_socket_handle;
}

socket_handle take_socket_number(socket_handle number)
{
    std::vector<socket_handle> probes;
    socket_handle taken = invalid_socket_handle;
    while (probes.size() < 256) {
        const socket_handle probe = open_unconnected_socket();
        if (probe == invalid_socket_handle) {
            break;
        }
        if (probe == number) {
            taken = probe;
            break;
        }
        probes.push_back(probe);
        if (probe > number) {
            break;
        }
    }
    for (const socket_handle probe : probes) {
        close_unregistered(probe);
    }
    return taken;
}

bool freed_numbers_are_reused()
{
    const socket_handle first = open_unconnected_socket();
    if (first == invalid_socket_handle) {
        return false;
    }
    close_unregistered(first);
    const socket_handle second = open_unconnected_socket();
    close_unregistered(second);
    return second == first;
}

}  // namespace pelto::testing
