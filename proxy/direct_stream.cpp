#include "proxy/direct_stream.h"

namespace pelto {

direct_stream::~direct_stream()
{
    close();
}

socket_handle direct_stream::begin_use()
{
    std::lock_guard guard(lock_);
    if (closed_ || socket_ == invalid_socket_handle) {
        return invalid_socket_handle;
    }
    ++users_;
    return socket_;
}

void direct_stream::end_use()
{
    std::lock_guard guard(lock_);
    --users_;
    if (closed_ && users_ == 0 && socket_ != invalid_socket_handle) {
        close_socket(socket_);
        socket_ = invalid_socket_handle;
    }
}

std::int32_t direct_stream::read(std::uint8_t* buffer, std::int32_t capacity)
{
    const socket_handle socket = begin_use();
    if (socket == invalid_socket_handle) {
        return 0;
    }
    const std::int32_t n = recv_some(socket, buffer, capacity);
    end_use();
    return n;
}

bool direct_stream::write(const std::uint8_t* data, std::int32_t length)
{
    const socket_handle socket = begin_use();
    if (socket == invalid_socket_handle) {
        return false;
    }
    const bool sent = send_all(socket, data, length);
    end_use();
    return sent;
}

void direct_stream::close()
{
    std::lock_guard guard(lock_);
    if (closed_) {
        return;
    }
    closed_ = true;
    if (socket_ == invalid_socket_handle) {
        return;
    }
    if (users_ == 0) {
        close_socket(socket_);
        socket_ = invalid_socket_handle;
    } else {
        shutdown_socket(socket_);  // wakes the blocked calls; the last of them closes
    }
}

}  // namespace pelto
