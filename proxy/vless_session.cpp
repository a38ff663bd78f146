#include "proxy/vless_session.h"

#include <algorithm>
#include <cstring>

#include "base/obfuscated.h"
#include "crypto/random.h"
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
    const bytes addons = vision_ ? vision_request_addons() : bytes{};
    if (!vless_emit_request(user_, addons, host, port, request)) {
        out_error = PELTO_TEXT(u"VLESS: the destination host must be 1 to 255 bytes long").str();
        return false;
    }
    if (!vision_) {
        request.insert(request.end(), first_payload.begin(), first_payload.end());
    }
    if (!transport_ || !transport_->write(request.data(), static_cast<std::int32_t>(request.size()))) {
        out_error = PELTO_TEXT(u"VLESS: sending the request failed").str();
        return false;
    }
    if (vision_ && !first_payload.empty() &&
        !write(first_payload.data(), static_cast<std::int32_t>(first_payload.size()))) {
        out_error = PELTO_TEXT(u"VLESS: sending the first payload failed").str();
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
    if (vision_) {
        return read_vision(buffer, capacity);
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
    if (!transport_ || length < 0) {
        return false;
    }
    if (!vision_ || write_direct_) {
        return transport_->write(data, length);
    }
    return length == 0 || write_vision(data, length);  // no empty frames
}

std::int32_t vless_session::hand_out(std::uint8_t* buffer, std::int32_t capacity)
{
    const std::size_t n = std::min(static_cast<std::size_t>(capacity), data_.size() - data_begin_);
    std::memcpy(buffer, data_.data() + data_begin_, n);
    data_begin_ += n;
    if (data_begin_ == data_.size()) {
        data_.clear();
        data_begin_ = 0;
    }
    return static_cast<std::int32_t>(n);
}

std::int32_t vless_session::read_vision(std::uint8_t* buffer, std::int32_t capacity)
{
    for (;;) {
        if (data_begin_ < data_.size()) {
            return hand_out(buffer, capacity);
        }
        if (read_direct_ || !unframer_.framed()) {
            // Unframed: what the receive buffer still holds, then the transport as it is.
            if (begin_ < received_.size()) {
                data_.assign(received_.begin() + static_cast<std::ptrdiff_t>(begin_), received_.end());
                received_.clear();
                begin_ = 0;
                continue;
            }
            const std::int32_t n = transport_->read(buffer, capacity);
            if (n < 1) {
                ended_ = true;
                return 0;
            }
            return n;
        }
        if (begin_ < received_.size()) {
            const std::size_t before = data_.size();
            begin_ += unframer_.feed(byte_span(received_).subspan(begin_), data_);
            if (!inner_server_tls13_ && data_.size() > before &&
                vision_is_tls13_server_hello(byte_span(data_).subspan(before))) {
                inner_server_tls13_ = true;
            }
            if (unframer_.direct()) {
                // The peer left the outer protection behind its command-2 frame: whatever the
                // layer decrypted already comes first, then its undecrypted bytes, then the socket.
                transport_->start_direct_read();
                read_direct_ = true;
            }
            if (begin_ == received_.size()) {
                received_.clear();
                begin_ = 0;
            }
            continue;
        }
        received_.resize(response_read_piece);
        const std::int32_t n = transport_->read(received_.data(), response_read_piece);
        if (n < 1) {
            received_.clear();
            // A peer that ended before 16 bytes arrived never sent a frame: those bytes are data.
            data_ = unframer_.take_held_id();
            data_begin_ = 0;
            if (!data_.empty()) {
                return hand_out(buffer, capacity);
            }
            ended_ = true;
            return 0;
        }
        received_.resize(static_cast<std::size_t>(n));
        begin_ = 0;
    }
}

bool vless_session::write_vision(const std::uint8_t* data, std::int32_t length)
{
    const byte_span input(data, static_cast<std::size_t>(length));
    if (!inner_client_tls_ && vision_is_client_hello(input)) {
        inner_client_tls_ = true;
    }
    std::size_t at = 0;
    do {
        const byte_span chunk = input.subspan(at, std::min(vision_max_content, input.size() - at));
        at += chunk.size();
        std::uint8_t command = vision_continue;
        if (at == input.size() && inner_client_tls_ && inner_server_tls13_ && vision_is_whole_app_data_records(chunk)) {
            command = vision_direct;
        }
        std::array<std::uint8_t, 3> draw{};
        random_bytes(draw);
        frame_.clear();
        vision_emit_frame(first_frame_ ? &user_ : nullptr, command, chunk,
                          vision_padding_length(chunk.size(), inner_client_tls_, draw), frame_);
        first_frame_ = false;
        if (!transport_->write(frame_.data(), static_cast<std::int32_t>(frame_.size()))) {
            return false;
        }
        if (command == vision_direct) {
            transport_->start_direct_write();
            write_direct_ = true;
        }
    } while (at < input.size());
    return true;
}

std::unique_ptr<vless_link> vless_dial(const vless_settings& node, std::string_view server,
                                       std::uint16_t port, std::string_view host,
                                       std::uint16_t dest_port, std::int32_t connect_timeout_ms,
                                       std::int32_t io_timeout_ms, const bytes& first_payload,
                                       std::u16string& out_error)
{
    if (node.flow == vless_flow::vision && node.transport != vless_transport::tls &&
        node.transport != vless_transport::reality) {
        out_error = PELTO_TEXT(u"VLESS: the Vision flow needs TLS or REALITY without WebSocket").str();
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
    auto session = std::make_unique<vless_session>(std::move(transport), node.uuid,
                                                   node.flow);
    if (!session->send_request(host, dest_port, first_payload, out_error)) {
        return nullptr;  // destroying the session closes the transport
    }
    return session;
}

}  // namespace pelto
