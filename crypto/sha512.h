#pragma once
// SHA-512 and SHA-384 (FIPS 180-4), computed in this module.
//
// `sha512_state` hashes a stream: `update` any number of times, `final` any number of times.
// `final` pads a copy of the state, so a running hash (the TLS 1.3 transcript of a SHA-384 suite)
// can be read after each handshake message and then continued.

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/bytes.h"

namespace pelto {

using sha512_digest = std::array<std::uint8_t, 64>;
using sha384_digest = std::array<std::uint8_t, 48>;

class sha512_state {
public:
    enum class variant { sha512, sha384 };

    explicit sha512_state(variant v = variant::sha512);

    void update(byte_span data);
    // Digest of everything fed so far; the state itself is left untouched.
    sha512_digest final() const;
    // The first 48 bytes of `final`, which is the SHA-384 digest when built as variant::sha384.
    sha384_digest final384() const;

private:
    void compress(const std::uint8_t* block);

    std::array<std::uint64_t, 8> h_{};
    std::uint64_t length_bytes_ = 0;  // the 128-bit length field's upper half stays zero below 2^61 bytes
    std::array<std::uint8_t, 128> block_{};
    std::size_t fill_ = 0;
};

sha512_digest sha512(byte_span data);
sha384_digest sha384(byte_span data);

}  // namespace pelto
