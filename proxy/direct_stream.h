#pragma once
// A stream over one plain connected socket, which it owns from construction.
//
// `read` is one receive (whatever it delivers, up to the capacity); `write` sends every byte.
// One thread may read while another writes and a third closes. `close` shuts the socket down at
// once, so blocked calls return end of stream / false; the handle itself is closed when the last
// in-flight call ends (see net/socket_holder.h). After `close`, `read` returns 0 and `write`
// false without touching the network. The destructor closes.

#include <cstdint>

#include "net/socket_holder.h"
#include "proxy/stream.h"

namespace pelto {

class direct_stream final : public stream {
public:
    // `connected_socket` must be registered (from `tcp_connect` or `register_socket`).
    explicit direct_stream(socket_handle connected_socket) : socket_(connected_socket) {}

    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override
    {
        return socket_.recv_some(buffer, capacity);
    }
    bool write(const std::uint8_t* data, std::int32_t length) override
    {
        return socket_.send_all(data, length);
    }
    void close() override { socket_.close(); }

private:
    socket_holder socket_;
};

}  // namespace pelto
