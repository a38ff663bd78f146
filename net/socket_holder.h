#pragma once
// The one owner of a registered socket that several threads of a stream or transport layer use at
// once (a reader, a writer, and whoever closes).
//
// `close` shuts the socket down at once, so calls blocked on it return, but the handle itself is
// closed only when the last in-flight call has ended: no thread can ever pass a number to the
// system after the system has handed that number to another connection. After `close`, `acquire`
// yields nothing and the I/O helpers fail without touching the network (`recv_some` returns 0,
// `recv_exact` and `send_all` false). The destructor closes. All members may be called from any
// thread; none holds the internal lock across a blocking call.

#include <cstdint>
#include <mutex>

#include "net/socket.h"

namespace pelto {

class socket_holder {
public:
    socket_holder() = default;
    // Takes ownership of a socket registered by `tcp_connect` or `register_socket`.
    explicit socket_holder(socket_handle registered_socket) : socket_(registered_socket) {}
    ~socket_holder();

    socket_holder(const socket_holder&) = delete;
    socket_holder& operator=(const socket_holder&) = delete;

    // Takes ownership of a registered socket when the holder holds none and was never closed;
    // otherwise closes `registered_socket` at once and returns false.
    bool adopt(socket_handle registered_socket);

    // One in-flight call: while it lives, the handle stays open (though perhaps shut down).
    class use {
    public:
        use(use&& other) noexcept : holder_(other.holder_), socket_(other.socket_)
        {
            other.holder_ = nullptr;
            other.socket_ = invalid_socket_handle;
        }
        use& operator=(use&&) = delete;
        ~use();

        explicit operator bool() const { return socket_ != invalid_socket_handle; }
        socket_handle handle() const { return socket_; }

    private:
        friend class socket_holder;
        use(socket_holder* holder, socket_handle socket) : holder_(holder), socket_(socket) {}
        socket_holder* holder_;
        socket_handle socket_;
    };

    // The socket for one call, or an empty use once closed (or when nothing is held).
    use acquire();

    // Shuts the socket down now; the handle is closed when the last `use` ends. Idempotent.
    void close();
    bool closed() const;

    // `recv_some`, `recv_exact` and `send_all` of net/socket.h, each as one in-flight call.
    std::int32_t recv_some(std::uint8_t* buffer, std::int32_t capacity);
    bool recv_exact(std::uint8_t* buffer, std::int32_t length);
    bool send_all(const std::uint8_t* data, std::int32_t length);

private:
    void end_use();

    mutable std::mutex lock_;
    socket_handle socket_ = invalid_socket_handle;
    int users_ = 0;
    bool closed_ = false;
};

}  // namespace pelto
