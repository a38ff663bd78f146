#pragma once
// Base64 (RFC 4648) and hexadecimal text encodings.

#include <string>
#include <string_view>

#include "base/bytes.h"

namespace pelto {

// Standard alphabet with "=" padding; output length is ((n + 2) / 3) * 4.
std::string base64_encode(byte_span data);

// Lenient decoder for subscription bodies and share links: accepts both the standard and the
// URL-safe alphabet, drops every other character (white space, line breaks, noise) and pads the
// kept symbols to whole groups of four. A group emits its second and third byte only when its
// third and fourth symbols are not "=". Never fails; no symbols give no bytes.
bytes base64_decode(std::string_view text);

// Two lower-case digits per byte, high nibble first.
std::string hex_encode(byte_span data);

}  // namespace pelto
