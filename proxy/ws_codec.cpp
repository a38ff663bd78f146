#include "proxy/ws_codec.h"

#include <cstring>

#include "base/obfuscated.h"

namespace pelto {

ws_parse_status ws_parse_frame_header(byte_span data, ws_frame_header& out)
{
    byte_reader r(data);
    std::uint8_t first = 0;
    std::uint8_t second = 0;
    if (!r.read_u8(first) || !r.read_u8(second)) {
        return ws_parse_status::need_more;
    }
    ws_frame_header h;
    h.fin = (first & 0x80) != 0;
    h.opcode = first & 0x0F;
    h.masked = (second & 0x80) != 0;
    // No extension is negotiated, so the RSV bits must be clear.
    if ((first & 0x70) != 0) {
        return ws_parse_status::protocol_error;
    }
    const bool control = (h.opcode & 0x08) != 0;
    const bool known = h.opcode <= ws_opcode::binary || h.opcode == ws_opcode::close ||
                       h.opcode == ws_opcode::ping || h.opcode == ws_opcode::pong;
    if (!known) {
        return ws_parse_status::protocol_error;
    }
    const std::uint8_t short_length = second & 0x7F;
    if (control && (!h.fin || short_length > ws_max_control_payload)) {
        return ws_parse_status::protocol_error;
    }
    if (short_length == 126) {
        std::uint16_t length = 0;
        if (!r.read_u16(length)) {
            return ws_parse_status::need_more;
        }
        h.payload_length = length;
    } else if (short_length == 127) {
        std::uint64_t length = 0;
        if (!r.read_u64(length)) {
            return ws_parse_status::need_more;
        }
        h.payload_length = length;
    } else {
        h.payload_length = short_length;
    }
    if (h.payload_length > ws_max_payload) {
        return ws_parse_status::too_large;
    }
    if (h.masked && !r.copy_bytes(h.mask)) {
        return ws_parse_status::need_more;
    }
    h.header_size = data.size() - r.remaining();
    out = h;
    return ws_parse_status::complete;
}

void ws_emit_frame(std::uint8_t opcode, byte_span payload, const ws_mask& mask, bytes& out)
{
    byte_writer w(out);
    w.u8(static_cast<std::uint8_t>(0x80 | (opcode & 0x0F)));
    if (payload.size() <= 125) {
        w.u8(static_cast<std::uint8_t>(0x80 | payload.size()));
    } else if (payload.size() <= 0xFFFF) {
        w.u8(0x80 | 126);
        w.u16(static_cast<std::uint16_t>(payload.size()));
    } else {
        w.u8(0x80 | 127);
        w.u64(payload.size());
    }
    w.append(mask);
    const std::size_t at = out.size();
    w.append(payload);
    ws_apply_mask(std::span<std::uint8_t>(out).subspan(at), mask, 0);
}

void ws_apply_mask(std::span<std::uint8_t> data, const ws_mask& mask, std::uint64_t offset)
{
    std::uint8_t rotated[8];
    for (std::size_t i = 0; i < 8; ++i) {
        rotated[i] = mask[(offset + i) % 4];
    }
    std::uint64_t wide = 0;
    std::memcpy(&wide, rotated, 8);
    std::size_t i = 0;
    for (; i + 8 <= data.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, data.data() + i, 8);
        word ^= wide;
        std::memcpy(data.data() + i, &word, 8);
    }
    for (; i < data.size(); ++i) {
        data[i] ^= rotated[i % 8];
    }
}

std::string ws_request_path(std::string_view path)
{
    std::string out;
    if (path.empty() || path.front() != '/') {
        out += '/';
    }
    out += path;
    return out;
}

std::string ws_upgrade_request(std::string_view path, std::string_view host, std::string_view key)
{
    std::string request = PELTO_TEXT("GET ").str();
    request += ws_request_path(path);
    request += PELTO_TEXT(" HTTP/1.1\r\nHost: ").view();
    request += host;
    request += PELTO_TEXT("\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: ").view();
    request += key;
    request += PELTO_TEXT("\r\nSec-WebSocket-Version: 13\r\n\r\n").view();
    return request;
}

ws_upgrade_status ws_check_upgrade_reply(std::string_view received, std::size_t& out_header_size)
{
    const std::size_t end = received.find("\r\n\r\n");
    if (end == std::string_view::npos || end + 4 > ws_max_upgrade_reply) {
        return received.size() > ws_max_upgrade_reply ? ws_upgrade_status::too_long
                                                        : ws_upgrade_status::need_more;
    }
    // The status line itself: version, one space, the code 101 as a whole token.
    const std::string_view line = received.substr(0, received.find("\r\n"));
    const auto prefix = PELTO_TEXT("HTTP/1.1 101");
    if (line.substr(0, prefix.size()) != prefix.view() ||
        (line.size() > prefix.size() && line[prefix.size()] != ' ')) {
        return ws_upgrade_status::refused;
    }
    out_header_size = end + 4;
    return ws_upgrade_status::accepted;
}

}  // namespace pelto
