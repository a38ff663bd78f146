// The members of `tls_channel` that both backends share (net/tls_channel_core.h).

#include "net/tls_channel.h"

#include "base/obfuscated.h"
#include "net/tls_channel_core.h"

namespace pelto {

bool tls_channel_core::start_connect(socket_handle connected_socket, bool already_used,
                                     std::string_view server_name, std::u16string& out_error)
{
    if (!socket.adopt(connected_socket) || already_used) {
        out_error = PELTO_TEXT(u"TLS: the connection was already used").str();
        return false;
    }
    if (is_stopping()) {
        out_error = PELTO_TEXT(u"TLS: the connection is being stopped").str();
        socket.close();
        return false;
    }
    if (server_name.empty()) {
        out_error = PELTO_TEXT(u"TLS: the server name is empty").str();
        socket.close();
        return false;
    }
    return true;
}

std::int32_t tls_channel_core::receive_some()
{
    if (receive_buffer.size() < static_cast<std::size_t>(tls_receive_piece)) {
        receive_buffer.resize(tls_receive_piece);
    }
    return socket.recv_some(receive_buffer.data(), tls_receive_piece);
}

std::int32_t tls_channel_core::receive_handshake(std::u16string& out_error)
{
    if (is_stopping()) {
        out_error = PELTO_TEXT(u"TLS: the connection is being stopped").str();
        return 0;
    }
    const std::int32_t n = receive_some();
    if (n < 1) {
        // A stop shuts every socket down: say so rather than blame the server.
        out_error = is_stopping() ? PELTO_TEXT(u"TLS: the connection is being stopped").str()
                                  : PELTO_TEXT(u"TLS: the server closed the connection during the handshake").str();
        return 0;
    }
    return n;
}

void tls_channel::close()
{
    core_of(*backend_).socket.close();
}

bool tls_channel::send_unprotected(const std::uint8_t* data, std::int32_t length)
{
    tls_channel_core& core = core_of(*backend_);
    std::lock_guard guard(core.send_lock);
    return length >= 0 && core.socket.send_all(data, length);
}

std::int32_t tls_channel::recv_unprotected(std::uint8_t* buffer, std::int32_t capacity)
{
    const std::int32_t n = core_of(*backend_).socket.recv_some(buffer, capacity);
    return n > 0 ? n : 0;
}

std::uint16_t tls_channel::protocol_version() const
{
    return core_of(*backend_).version;
}

}  // namespace pelto
