#include "net/socket_holder.h"

namespace pelto {

socket_holder::~socket_holder()
{
    close();
}

bool socket_holder::adopt(socket_handle registered_socket)
{
    {
        std::lock_guard guard(lock_);
        if (!closed_ && socket_ == invalid_socket_handle) {
            socket_ = registered_socket;
            return true;
        }
    }
    close_socket(registered_socket);
    return false;
}

socket_holder::use::~use()
{
    if (holder_ != nullptr && socket_ != invalid_socket_handle) {
        holder_->end_use();
    }
}

socket_holder::use socket_holder::acquire()
{
    std::lock_guard guard(lock_);
    if (closed_ || socket_ == invalid_socket_handle) {
        return use(this, invalid_socket_handle);
    }
    ++users_;
    return use(this, socket_);
}

void socket_holder::end_use()
{
    std::lock_guard guard(lock_);
    --users_;
    if (closed_ && users_ == 0 && socket_ != invalid_socket_handle) {
        close_socket(socket_);
        socket_ = invalid_socket_handle;
    }
}

void socket_holder::close()
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

bool socket_holder::closed() const
{
    std::lock_guard guard(lock_);
    return closed_;
}

std::int32_t socket_holder::recv_some(std::uint8_t* buffer, std::int32_t capacity)
{
    const use call = acquire();
    return call ? pelto::recv_some(call.handle(), buffer, capacity) : 0;
}

bool socket_holder::recv_exact(std::uint8_t* buffer, std::int32_t length)
{
    const use call = acquire();
    return call && pelto::recv_exact(call.handle(), buffer, length);
}

bool socket_holder::send_all(const std::uint8_t* data, std::int32_t length)
{
    const use call = acquire();
    return call && pelto::send_all(call.handle(), data, length);
}

}  // namespace pelto
