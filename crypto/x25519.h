#pragma once
// X25519 (RFC 7748), computed in this module.
//
// Field elements are 16 signed 64-bit limbs of 16 bits. The field multiplication has a scalar
// path and a vectorised path (two 64-bit lanes, SSE4.1); `x25519` takes the vectorised one when
// the processor has SSE4.1. Both paths give identical results; `x25519_on_path` forces one for
// tests and benchmarks.

#include <array>
#include <cstdint>

#include "base/bytes.h"

namespace pelto {

using x25519_bytes = std::array<std::uint8_t, 32>;

struct x25519_key_pair {
    x25519_bytes private_key{};
    x25519_bytes public_key{};
};

enum class field_path { scalar, vector };

// The path `x25519` uses on this processor.
field_path x25519_default_path();
// Whether a path can run on this processor (the scalar one always can).
bool x25519_path_available(field_path path);

// RFC 7748 X25519(scalar, u): the scalar is clamped, the top bit of u is ignored. The result is
// not checked for the all-zero value of a low-order point.
x25519_bytes x25519(const x25519_bytes& scalar, const x25519_bytes& u);

// As `x25519`, on the given path; a path the processor cannot run falls back to the scalar path.
x25519_bytes x25519_on_path(field_path path, const x25519_bytes& scalar, const x25519_bytes& u);

// A private key from `random_bytes` and its public key X25519(private, 9).
x25519_key_pair x25519_keypair();

}  // namespace pelto
