#pragma once
// SHA-256 and SHA-224 (FIPS 180-4), computed in this module.
//
// `sha256_state` hashes a stream: `update` any number of times, `final` any number of times.
// `final` pads a copy of the state, so a running hash (the TLS 1.3 transcript) can be read after
// each handshake message and then continued.

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/bytes.h"

namespace pelto {

using sha256_digest = std::array<std::uint8_t, 32>;
using sha224_digest = std::array<std::uint8_t, 28>;

class sha256_state {
public:
    enum class variant { sha256, sha224 };

    explicit sha256_state(variant v = variant::sha256);

    void update(byte_span data);
    // Digest of everything fed so far; the state itself is left untouched.
    sha256_digest final() const;
    // The first 28 bytes of `final`, which is the SHA-224 digest when built as variant::sha224.
    sha224_digest final224() const;

private:
    void compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> h_{};
    std::uint64_t length_bits_ = 0;
    std::array<std::uint8_t, 64> block_{};
    std::size_t fill_ = 0;
};

sha256_digest sha256(byte_span data);
sha224_digest sha224(byte_span data);

}  // namespace pelto
