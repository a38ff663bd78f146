#pragma once
// SHA-3 and SHAKE (FIPS 202) on the Keccak-f[1600] permutation, computed in this module.
//
// `keccak_sponge` is the sponge both share: absorb any number of times, then squeeze any number
// of times; the first squeeze pads. Absorbing after squeezing has begun is a programming error
// and is ignored. Every state wipes itself when destroyed, since ML-KEM feeds secrets through it.
// `sha3_state` and `shake_state` fix the rate and the domain bits of the four functions.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/bytes.h"

namespace pelto {

using sha3_256_digest = std::array<std::uint8_t, 32>;
using sha3_512_digest = std::array<std::uint8_t, 64>;

class keccak_sponge {
public:
    // `rate` in bytes (a multiple of 8 below 200); `domain` holds the suffix bits with the first
    // padding bit above them (0x06 for SHA-3, 0x1f for SHAKE).
    keccak_sponge(std::size_t rate, std::uint8_t domain);
    ~keccak_sponge();
    keccak_sponge(const keccak_sponge&) = default;
    keccak_sponge& operator=(const keccak_sponge&) = default;

    void absorb(byte_span data);
    void squeeze(std::span<std::uint8_t> out);

    std::size_t rate() const { return rate_; }

private:
    void finish_absorbing();

    std::array<std::uint64_t, 25> lanes_{};
    std::size_t rate_;
    std::size_t position_ = 0;  // byte offset inside the current block
    std::uint8_t domain_;
    bool squeezing_ = false;
};

class sha3_state {
public:
    enum class variant { sha3_256, sha3_512 };

    explicit sha3_state(variant v);

    void update(byte_span data);
    // Pads and writes the digest; `out` must be 32 bytes for SHA3-256 and 64 for SHA3-512 (a
    // shorter span receives a prefix). The state is spent afterwards.
    void final(std::span<std::uint8_t> out);

private:
    keccak_sponge sponge_;
};

class shake_state {
public:
    enum class variant { shake128, shake256 };

    explicit shake_state(variant v);

    // Absorb until the first squeeze, then squeeze repeatedly: the output continues where the last
    // squeeze stopped, so squeezing in pieces gives the same bytes as one squeeze.
    void absorb(byte_span data);
    void squeeze(std::span<std::uint8_t> out);

    // 168 bytes for SHAKE128, 136 for SHAKE256.
    std::size_t rate() const { return sponge_.rate(); }

private:
    keccak_sponge sponge_;
};

sha3_256_digest sha3_256(byte_span data);
sha3_512_digest sha3_512(byte_span data);

// The permutation itself, 24 rounds on 25 lanes (lane x + 5 y), for tests and benchmarks.
void keccak_f1600(std::array<std::uint64_t, 25>& lanes);

}  // namespace pelto
