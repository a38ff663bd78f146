#pragma once
// A stream over one plain connected socket, which it owns from construction.
//
// `read` is one receive (whatever it delivers, up to the capacity); `write` sends every byte.
// One thread may read while another writes and a third closes. `close` shuts the socket down at
// once, so blocked calls return end of stream / false; the handle itself is closed by whichever
// of `close` and the in-flight calls finishes last, so no call can ever reach a handle value the
// system has already given to another socket. After `close`, `read` returns 0 and `write` false
// without touching the network. The destructor closes.

#include <cstdint>
#include <mutex>

#include "net/socket.h"
#include "proxy/stream.h"

namespace pelto {

class direct_stream final : public stream {
public:
    // `connected_socket` must be registered (from `tcp_connect` or `register_socket`).
    explicit direct_stream(socket_handle connected_socket) : socket_(connected_socket) {}
    ~direct_stream() override;

    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override;
    bool write(const std::uint8_t* data, std::int32_t length) override;
    void close() override;

private:
    // The socket for one blocking call, or the invalid handle once closed; pair with `end_use`.
    socket_handle begin_use();
    void end_use();

    std::mutex lock_;
    socket_handle socket_;
    int users_ = 0;
    bool closed_ = false;
};

}  // namespace pelto
