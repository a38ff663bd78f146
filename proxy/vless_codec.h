#pragma once
// The VLESS request and response headers. Pure functions over bytes.
//
// Request: version 0, the 16-byte user id, the addons length and addons, command 1 (TCP), the
// port (big-endian), address type 2 (domain name, also for IP literals) and the host behind a
// one-byte length. Response: version 0, the addons length, the addons (skipped).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/bytes.h"

namespace pelto {

using vless_user_id = std::array<std::uint8_t, 16>;

inline constexpr std::size_t vless_max_host = 255;

// Appends the request header. False (and `out` unchanged) when the host is empty or longer than
// 255 bytes, or the addons longer than 255 bytes.
bool vless_emit_request(const vless_user_id& user, byte_span addons, std::string_view host,
                        std::uint16_t port, bytes& out);

enum class vless_response_status { complete, need_more, bad_version };

// Checks the response header at the start of `data`; when complete, `out_size` is its length
// (the destination's data follows).
vless_response_status vless_parse_response(byte_span data, std::size_t& out_size);

}  // namespace pelto
