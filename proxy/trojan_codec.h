#pragma once
// The Trojan request header, sent as the first application data inside TLS:
//   hex(SHA-224(password)) CRLF, command 1 (connect), address type 3 (domain name, also for IP
//   literals), the host behind a one-byte length, the port (big-endian), CRLF, then the caller's
//   initial payload. There is no response header.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/bytes.h"

namespace pelto {

inline constexpr std::size_t trojan_max_host = 255;

// Appends the header and `payload`. False (and `out` unchanged) when the host is empty or longer
// than 255 bytes.
bool trojan_emit_request(std::string_view password, std::string_view host, std::uint16_t port,
                         byte_span payload, bytes& out);

}  // namespace pelto
