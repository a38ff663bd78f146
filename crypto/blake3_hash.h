#pragma once
// BLAKE3 with 32-byte output, through the BLAKE3 reference library.

#include <array>
#include <cstdint>
#include <string_view>

#include "base/bytes.h"

namespace pelto {

using blake3_digest = std::array<std::uint8_t, 32>;

// Default hash mode.
blake3_digest blake3_hash(byte_span data);

// Derive-key mode: `context` is the application's fixed context string, `key_material` the
// input key material.
blake3_digest blake3_derive_key(std::string_view context, byte_span key_material);

}  // namespace pelto
