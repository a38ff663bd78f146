#pragma once
// X25519 (RFC 7748), computed in this module.
//
// Field elements are five 51-bit limbs multiplied with 128-bit products; the same code runs on
// every platform. `x25519` is the Montgomery ladder for any u. Key generation takes the fixed-base
// path `x25519_base`: the scalar times the base point on the birationally equivalent twisted
// Edwards curve, from a table of multiples of the base point built on first use. Both run in time
// independent of the scalar (no branch and no table index depends on it); they wipe their copies
// of the scalar before returning.

#include <array>
#include <cstdint>

#include "base/bytes.h"

namespace pelto {

using x25519_bytes = std::array<std::uint8_t, 32>;

struct x25519_key_pair {
    x25519_bytes private_key{};
    x25519_bytes public_key{};
};

// RFC 7748 X25519(scalar, u): the scalar is clamped, the top bit of u is ignored. The result is
// not checked for the all-zero value of a low-order point.
x25519_bytes x25519(const x25519_bytes& scalar, const x25519_bytes& u);

// X25519(scalar, 9), the public key of `scalar`, through the fixed-base table: the same result as
// `x25519(scalar, {9})` in about a third of the time. The first call builds the table (about
// 30 KiB, thread-safe, once per process).
x25519_bytes x25519_base(const x25519_bytes& scalar);

// A private key from `random_bytes` and its public key `x25519_base(private)`.
x25519_key_pair x25519_keypair();

}  // namespace pelto
