#include "proxy/vless_session.h"

#include <algorithm>
#include <cstring>

#include "base/obfuscated.h"
#include "net/socket.h"
#include "proxy/transport_layers.h"

namespace pelto {
namespace {

constexpr std::int32_t response_read_piece = 4096;

}  // namespace

vless_session::~vless_session()
{
    close();
}

void vless_session::close()
{
    if (transport_) {
        transport_->close();
    }
}

bool vless_session::send_request(std::string_view host, std::uint16_t port, const bytes& first_payload,
                                 std::u16string& out_error)
{
    bytes request;
    if (!vless_emit_request(user_, {}, host, port, request)) {
        out_error = PELTO_TEXT(u"VLESS: the destination host must be 1 to 255 bytes long").str();
        return false;
    }
    request.insert(request.end(), first_payload.begin(), first_payload.end());
    if (!transport_ || !transport_->write(request.data(), static_cast<std::int32_t>(request.size()))) {
        out_error = PELTO_TEXT(u"VLESS: sending the request failed").str();
        return false;
    }
    return true;
}

bool vless_session::receive_response()
{
    received_.resize(response_read_piece);
    std::size_t end = 0;
    for (;;) {
        std::size_t header_size = 0;
        switch (vless_parse_response(byte_span(received_.data(), end), header_size)) {
        case vless_response_status::complete:
            begin_ = header_size;
            received_.resize(end);
            response_received_ = true;
            return true;
        case vless_response_status::bad_version:
            return false;
        case vless_response_status::need_more:
            break;
        }
        // A header is at most 2 + 255 bytes; the buffer grows to hold it and what follows.
        if (received_.size() - end < static_cast<std::size_t>(response_read_piece)) {
            received_.resize(end + response_read_piece);
        }
        const std::int32_t n = transport_->read(received_.data() + end, response_read_piece);
        if (n < 1) {
            return false;
        }
        end += static_cast<std::size_t>(n);
    }
}

std::int32_t vless_session::read(std::uint8_t* buffer, std::int32_t capacity)
{
    if (capacity < 1 || ended_ || !transport_) {
        return 0;
    }
    if (!response_received_ && !receive_response()) {
        ended_ = true;
        return 0;
    }
    if (begin_ < received_.size()) {
        const std::size_t n = std::min(static_cast<std::size_t>(capacity), received_.size() - begin_);
        std::memcpy(buffer, received_.data() + begin_, n);
        begin_ += n;
        if (begin_ == received_.size()) {
            received_ = bytes{};
            begin_ = 0;
        }
        return static_cast<std::int32_t>(n);
    }
    const std::int32_t n = transport_->read(buffer, capacity);
    if (n < 1) {
        ended_ = true;
        return 0;
    }
    return n;
}

bool vless_session::write(const std::uint8_t* data, std::int32_t length)
{
    return transport_ && transport_->write(data, length);
}

std::unique_ptr<vless_link> vless_dial(const vless_settings& node, std::string_view server,
                                       std::uint16_t port, std::string_view host,
                                       std::uint16_t dest_port, std::int32_t connect_timeout_ms,
                                       std::int32_t io_timeout_ms, const bytes& first_payload,
                                       std::u16string& out_error)
{
    if (node.reality) {
        out_error = PELTO_TEXT(u"VLESS: this version cannot connect to REALITY nodes yet").str();
        return nullptr;
    }
    if (node.vision) {
        out_error = PELTO_TEXT(u"VLESS: this version cannot use the Vision flow yet").str();
        return nullptr;
    }
    // Checked before connecting: the host travels behind a one-byte length.
    if (host.empty() || host.size() > vless_max_host) {
        out_error = PELTO_TEXT(u"VLESS: the destination host must be 1 to 255 bytes long").str();
        return nullptr;
    }
    socket_handle socket = invalid_socket_handle;
    if (!tcp_connect(server, port, connect_timeout_ms, io_timeout_ms, socket, out_error)) {
        return nullptr;
    }
    std::unique_ptr<byte_io> transport = open_vless_transport(node, server, socket, out_error);
    if (!transport) {
        return nullptr;
    }
    auto session = std::make_unique<vless_session>(std::move(transport), node.uuid);
    if (!session->send_request(host, dest_port, first_payload, out_error)) {
        return nullptr;  // destroying the session closes the transport
    }
    return session;
}

}  // namespace pelto
