#pragma once
// The WebSocket wire format (RFC 6455), client side: the opening handshake's request and the
// check of its reply, frame headers, and masking. Pure functions over bytes; the layer that does
// the I/O is ws_io (proxy/transport_layers.h).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace pelto {

namespace ws_opcode {
inline constexpr std::uint8_t continuation = 0x0;
inline constexpr std::uint8_t text = 0x1;
inline constexpr std::uint8_t binary = 0x2;
inline constexpr std::uint8_t close = 0x8;
inline constexpr std::uint8_t ping = 0x9;
inline constexpr std::uint8_t pong = 0xA;
}  // namespace ws_opcode

using ws_mask = std::array<std::uint8_t, 4>;

// A frame's payload may not exceed this (8 MiB); larger announced lengths end the stream.
inline constexpr std::uint64_t ws_max_payload = 0x800000;
// Control frames (close, ping, pong) carry at most 125 bytes and are never fragmented.
inline constexpr std::uint64_t ws_max_control_payload = 125;
// The reply to the opening request must end its header within this many bytes.
inline constexpr std::size_t ws_max_upgrade_reply = 8191;

struct ws_frame_header {
    bool fin = false;
    std::uint8_t opcode = 0;
    bool masked = false;
    ws_mask mask{};
    std::uint64_t payload_length = 0;
    std::size_t header_size = 0;  // bytes of the header, mask included
};

enum class ws_parse_status {
    complete,        // `out` is filled; the payload starts `header_size` bytes into the input
    need_more,       // the input is a prefix of a header
    protocol_error,  // RSV bits set, a reserved opcode, or a control frame too long or fragmented
    too_large,       // a payload longer than ws_max_payload
};

// Parses the frame header at the start of `data`. Masked frames (which a server should not send)
// are accepted; the caller unmasks with `out.mask`.
ws_parse_status ws_parse_frame_header(byte_span data, ws_frame_header& out);

// Appends one masked client frame with FIN set: the shortest length form, the mask, and the
// payload XOR-ed with it.
void ws_emit_frame(std::uint8_t opcode, byte_span payload, const ws_mask& mask, bytes& out);

// XORs `data` with the mask, as the part of a payload that starts `offset` bytes into it.
void ws_apply_mask(std::span<std::uint8_t> data, const ws_mask& mask, std::uint64_t offset);

// The request path as sent: "/" when empty, and a leading "/" added when missing.
std::string ws_request_path(std::string_view path);

// The opening request: GET `path`, Host, Upgrade, Connection, Sec-WebSocket-Key and
// Sec-WebSocket-Version 13, ended by an empty line.
std::string ws_upgrade_request(std::string_view path, std::string_view host, std::string_view key);

enum class ws_upgrade_status {
    accepted,    // the status line is "HTTP/1.1 101 ..."; the header ends at `out_header_size`
    need_more,   // no empty line yet, and still within ws_max_upgrade_reply
    refused,     // a complete header whose status is anything else
    too_long,    // no empty line within ws_max_upgrade_reply bytes
};

// Checks the reply received so far. Bytes after the header's empty line are frames already.
ws_upgrade_status ws_check_upgrade_reply(std::string_view received, std::size_t& out_header_size);

}  // namespace pelto
