#include "proxy/transport_layers.h"

#include <algorithm>
#include <cstring>

#include "base/obfuscated.h"
#include "base/text.h"
#include "crypto/encoding.h"
#include "crypto/random.h"

namespace pelto {
namespace {

constexpr std::size_t receive_buffer_size = 32768;
constexpr std::size_t upgrade_read_piece = 1024;
constexpr std::size_t max_waiting_pongs = 16;

}  // namespace

bool raw_io::write(const std::uint8_t* data, std::int32_t length)
{
    return socket_.send_all(data, length);
}

std::int32_t raw_io::read(std::uint8_t* buffer, std::int32_t capacity)
{
    if (capacity < 1) {
        return 0;
    }
    const std::int32_t n = socket_.recv_some(buffer, capacity);
    return n > 0 ? n : 0;
}

bool tls_io::connect(socket_handle connected_socket, std::string_view server_name,
                     std::u16string& out_error)
{
    return channel_.connect(connected_socket, server_name, out_error);
}

bool tls_io::write(const std::uint8_t* data, std::int32_t length)
{
    return write_direct_ ? channel_.send_unprotected(data, length) : channel_.send(data, length);
}

std::int32_t tls_io::read(std::uint8_t* buffer, std::int32_t capacity)
{
    if (!read_direct_) {
        return channel_.recv(buffer, capacity);
    }
    if (capacity < 1) {
        return 0;
    }
    if (held_begin_ < held_.size()) {
        const std::size_t n = std::min(static_cast<std::size_t>(capacity), held_.size() - held_begin_);
        std::memcpy(buffer, held_.data() + held_begin_, n);
        held_begin_ += n;
        if (held_begin_ == held_.size()) {
            held_ = bytes{};
            held_begin_ = 0;
        }
        return static_cast<std::int32_t>(n);
    }
    return channel_.recv_unprotected(buffer, capacity);
}

void tls_io::start_direct_read()
{
    if (read_direct_) {
        return;
    }
    held_ = channel_.take_decrypted();
    const bytes raw = channel_.take_undecrypted();
    held_.insert(held_.end(), raw.begin(), raw.end());
    held_begin_ = 0;
    read_direct_ = true;
}

bool ws_io::open(std::string_view host, std::string_view path, std::u16string& out_error)
{
    std::array<std::uint8_t, 16> nonce{};
    random_bytes(nonce);
    const std::string request = ws_upgrade_request(path, host, base64_encode(nonce));
    if (!inner_->write(reinterpret_cast<const std::uint8_t*>(request.data()),
                       static_cast<std::int32_t>(request.size()))) {
        out_error = PELTO_TEXT(u"WebSocket: sending the upgrade request failed").str();
        return false;
    }
    received_.resize(receive_buffer_size);
    for (;;) {
        std::size_t header_size = 0;
        const auto status = ws_check_upgrade_reply(
            as_text(byte_span(received_.data(), end_)), header_size);
        switch (status) {
        case ws_upgrade_status::accepted:
            begin_ = header_size;  // frames the server sent right behind its reply
            return true;
        case ws_upgrade_status::refused: {
            const std::string_view reply = as_text(byte_span(received_.data(), end_));
            const std::string_view line = reply.substr(0, std::min<std::size_t>(reply.find("\r\n"), 120));
            out_error = PELTO_TEXT(u"WebSocket: the server refused the upgrade: ").str() + utf8_to_utf16(line);
            return false;
        }
        case ws_upgrade_status::too_long:
            out_error = PELTO_TEXT(u"WebSocket: the server's reply to the upgrade is too long").str();
            return false;
        case ws_upgrade_status::need_more:
            break;
        }
        const std::int32_t n = inner_->read(received_.data() + end_,
                                            static_cast<std::int32_t>(upgrade_read_piece));
        if (n < 1) {
            out_error = PELTO_TEXT(u"WebSocket: the server closed the connection during the upgrade").str();
            return false;
        }
        end_ += static_cast<std::size_t>(n);
    }
}

bool ws_io::send_frame_locked(std::uint8_t opcode, byte_span payload)
{
    ws_mask mask{};
    random_bytes(mask);
    frame_.clear();
    ws_emit_frame(opcode, payload, mask, frame_);
    return inner_->write(frame_.data(), static_cast<std::int32_t>(frame_.size()));
}

bool ws_io::send_waiting_pong_locked()
{
    while (pong_waiting_) {
        bytes payload;
        {
            std::lock_guard guard(pong_lock_);
            if (pongs_.empty()) {
                pong_waiting_ = false;
                break;
            }
            payload = std::move(pongs_.front());
            pongs_.pop_front();
            pong_waiting_ = !pongs_.empty();
        }
        if (!send_frame_locked(ws_opcode::pong, payload)) {
            pong_failed_ = true;
            return false;
        }
    }
    return true;
}

bool ws_io::send_waiting_pong()
{
    // A pong set while a writer held the lock is seen by that writer's own call here after it
    // released the lock, so one of the two always sends it.
    while (pong_waiting_) {
        std::unique_lock frame(frame_lock_, std::try_to_lock);
        if (!frame.owns_lock()) {
            return true;
        }
        if (!send_waiting_pong_locked()) {
            return false;
        }
    }
    return true;
}

bool ws_io::write(const std::uint8_t* data, std::int32_t length)
{
    if (length < 0 || (length > 0 && data == nullptr)) {
        return false;
    }
    for (std::int32_t offset = 0; offset < length;) {
        const std::int32_t piece = std::min(length - offset, max_frame_payload);
        {
            std::lock_guard frame(frame_lock_);
            if (!send_frame_locked(ws_opcode::binary, byte_span(data + offset, static_cast<std::size_t>(piece))) ||
                !send_waiting_pong_locked()) {
                return false;
            }
        }
        offset += piece;
    }
    return send_waiting_pong();
}

// Makes at least `needed` unparsed bytes available, receiving as much as the inner transport
// delivers at once.
bool ws_io::fill(std::size_t needed)
{
    if (received_.size() < receive_buffer_size) {
        received_.resize(receive_buffer_size);
    }
    while (end_ - begin_ < needed) {
        if (received_.size() - begin_ < needed || end_ == received_.size()) {
            std::memmove(received_.data(), received_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        const std::int32_t n = inner_->read(received_.data() + end_,
                                            static_cast<std::int32_t>(received_.size() - end_));
        if (n < 1) {
            return false;
        }
        end_ += static_cast<std::size_t>(n);
    }
    return true;
}

std::int32_t ws_io::end()
{
    ended_ = true;
    payload_left_ = 0;
    return 0;
}

std::int32_t ws_io::read(std::uint8_t* buffer, std::int32_t capacity)
{
    if (capacity < 1 || ended_) {
        return 0;
    }
    for (;;) {
        if (payload_left_ > 0) {
            const auto want = static_cast<std::int32_t>(
                std::min<std::uint64_t>(static_cast<std::uint64_t>(capacity), payload_left_));
            std::int32_t n = 0;
            if (end_ > begin_) {
                n = static_cast<std::int32_t>(std::min<std::size_t>(static_cast<std::size_t>(want), end_ - begin_));
                std::memcpy(buffer, received_.data() + begin_, static_cast<std::size_t>(n));
                begin_ += static_cast<std::size_t>(n);
            } else {
                // Nothing buffered: the payload goes straight into the caller's buffer.
                n = inner_->read(buffer, want);
                if (n < 1) {
                    return end();
                }
            }
            if (payload_masked_) {
                ws_apply_mask(std::span<std::uint8_t>(buffer, static_cast<std::size_t>(n)), payload_mask_,
                              payload_offset_);
            }
            payload_offset_ += static_cast<std::uint64_t>(n);
            payload_left_ -= static_cast<std::uint64_t>(n);
            return n;
        }

        ws_frame_header header;
        const auto status = ws_parse_frame_header(byte_span(received_.data() + begin_, end_ - begin_), header);
        if (status == ws_parse_status::need_more) {
            if (!fill(end_ - begin_ + 1)) {
                return end();
            }
            continue;
        }
        if (status != ws_parse_status::complete || header.opcode == ws_opcode::close) {
            return end();
        }
        if (header.opcode == ws_opcode::continuation || header.opcode == ws_opcode::text ||
            header.opcode == ws_opcode::binary) {
            // Fragments simply follow each other; an empty frame yields nothing and reading goes on.
            begin_ += header.header_size;
            payload_left_ = header.payload_length;
            payload_offset_ = 0;
            payload_masked_ = header.masked;
            payload_mask_ = header.mask;
            continue;
        }
        // A ping or pong: its (short) payload is taken whole.
        const std::size_t frame_size = header.header_size + static_cast<std::size_t>(header.payload_length);
        if (!fill(frame_size)) {
            return end();
        }
        const std::span<std::uint8_t> payload(received_.data() + begin_ + header.header_size,
                                              static_cast<std::size_t>(header.payload_length));
        if (header.masked) {
            ws_apply_mask(payload, header.mask, 0);
        }
        begin_ += frame_size;
        if (header.opcode == ws_opcode::ping) {
            {
                std::lock_guard guard(pong_lock_);
                if (pongs_.size() == max_waiting_pongs) {
                    pongs_.pop_front();  // only the latest ping must be answered (RFC 6455, 5.5.3)
                }
                pongs_.emplace_back(payload.begin(), payload.end());
                pong_waiting_ = true;
            }
            if (!send_waiting_pong() || pong_failed_) {
                return end();
            }
        }
    }
}

std::unique_ptr<byte_io> open_vless_transport(const vless_settings& node, std::string_view server,
                                              socket_handle connected_socket,
                                              std::u16string& out_error)
{
    if (node.transport == vless_transport::reality) {
        reality_params params;
        params.server_name = node.sni.empty() ? std::string(server) : node.sni;
        params.public_key = node.reality_public_key;
        params.short_id = node.reality_short_id;
        auto reality = std::make_unique<reality_io>();
        if (!reality->connect(connected_socket, params, out_error)) {
            return nullptr;
        }
        return reality;
    }
    if (node.transport == vless_transport::raw_tcp) {
        return std::make_unique<raw_io>(connected_socket);
    }
    const std::string_view server_name = !node.sni.empty()       ? std::string_view(node.sni)
                                          : !node.ws_host.empty() ? std::string_view(node.ws_host)
                                                                  : server;
    auto tls = std::make_unique<tls_io>();
    if (!tls->connect(connected_socket, server_name, out_error)) {
        return nullptr;
    }
    if (node.transport != vless_transport::tls_websocket) {
        return tls;
    }
    auto ws = std::make_unique<ws_io>(std::move(tls));
    const std::string_view host = node.ws_host.empty() ? server_name : std::string_view(node.ws_host);
    if (!ws->open(host, node.ws_path, out_error)) {
        return nullptr;
    }
    return ws;
}

}  // namespace pelto
