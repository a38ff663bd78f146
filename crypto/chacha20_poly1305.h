#pragma once
// ChaCha20-Poly1305 (RFC 8439), computed in this module: the same code on both platforms, so a
// TLS record layer can use it beside `aes_gcm_key` through the same span interface.
//
// A `chacha20_poly1305_key` holds one key for one direction of one connection; it is used by one
// thread at a time, is not copyable and wipes its key when destroyed. Nonces are 12 bytes, tags
// 16 bytes and always follow the ciphertext. Failures are reported as false only.
//
// ChaCha20 runs 16 blocks at a time with AVX-512, 8 with AVX2, and one at a time elsewhere; the
// paths give identical bytes, and the `_on_path` functions force one for tests and benchmarks.
// Poly1305 uses radix 2^64 with 128-bit products; on the vector paths its blocks are computed
// between the vector rounds (sealing one group behind, opening the group being decrypted), so
// the scalar and the vector work overlap.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/bytes.h"

namespace pelto {

inline constexpr std::size_t chacha20_poly1305_key_size = 32;
inline constexpr std::size_t chacha20_poly1305_nonce_size = 12;
inline constexpr std::size_t chacha20_poly1305_tag_size = 16;

class chacha20_poly1305_key {
public:
    chacha20_poly1305_key() = default;
    ~chacha20_poly1305_key();
    chacha20_poly1305_key(const chacha20_poly1305_key&) = delete;
    chacha20_poly1305_key& operator=(const chacha20_poly1305_key&) = delete;

    // Exactly 32 bytes; any other length returns false and leaves the object unusable (a key it
    // held before is wiped). May be called again to replace the key.
    bool create(byte_span key);
    bool valid() const { return valid_; }

    // The key as eight little-endian words, for the functions below.
    const std::array<std::uint32_t, 8>& words() const { return words_; }

private:
    std::array<std::uint32_t, 8> words_{};
    bool valid_ = false;
};

// `out` becomes ciphertext || tag and must be exactly 16 bytes longer than `plaintext`, and either
// not overlap it at all or start exactly where it starts (in place). Empty plaintext and empty
// additional data are allowed. False on an invalid key, a size mismatch or a text longer than the
// block counter allows (256 GiB less 64 bytes).
bool chacha20_poly1305_seal_into(chacha20_poly1305_key& key, std::span<const std::uint8_t, 12> nonce,
                                 byte_span plaintext, byte_span additional_data, std::span<std::uint8_t> out);

// Opens `sealed` (ciphertext || tag, at least 16 bytes) in place: on success its first
// `sealed.size() - 16` bytes hold the plaintext. The tag is compared in constant time; on a
// mismatch those bytes (decrypted in the same pass) are wiped and false is returned.
bool chacha20_poly1305_open_in_place(chacha20_poly1305_key& key, std::span<const std::uint8_t, 12> nonce,
                                     std::span<std::uint8_t> sealed, byte_span additional_data);

// Vector forms like `aes_gcm_seal` / `aes_gcm_open`: `out` is resized; on failure it is cleared.
bool chacha20_poly1305_seal(chacha20_poly1305_key& key, std::span<const std::uint8_t, 12> nonce,
                            byte_span plaintext, byte_span additional_data, bytes& out);
bool chacha20_poly1305_open(chacha20_poly1305_key& key, std::span<const std::uint8_t, 12> nonce, byte_span input,
                            byte_span additional_data, bytes& out);

enum class chacha20_path { scalar, avx2, avx512 };

// The path the AEAD uses on this processor, and whether a path can run here (scalar always can).
chacha20_path chacha20_default_path();
bool chacha20_path_available(chacha20_path path);

// The AEAD forced onto one path (tests and benchmarks); the functions above use the default path.
bool chacha20_poly1305_seal_on_path(chacha20_path path, chacha20_poly1305_key& key,
                                    std::span<const std::uint8_t, 12> nonce, byte_span plaintext,
                                    byte_span additional_data, std::span<std::uint8_t> out);
bool chacha20_poly1305_open_on_path(chacha20_path path, chacha20_poly1305_key& key,
                                    std::span<const std::uint8_t, 12> nonce, std::span<std::uint8_t> sealed,
                                    byte_span additional_data);

// The two primitives on their own (RFC 8439 sections 2.4 and 2.5), for tests.
// XORs the ChaCha20 key stream from block `counter` on into `out` (same size as `in`; may equal
// it). A path this processor cannot run falls back to the scalar one.
void chacha20_xor_on_path(chacha20_path path, std::span<const std::uint8_t, 32> key,
                          std::span<const std::uint8_t, 12> nonce, std::uint32_t counter, byte_span in,
                          std::span<std::uint8_t> out);

// Poly1305 of `message` under a 32-byte one-time key (r || s).
std::array<std::uint8_t, 16> poly1305(std::span<const std::uint8_t, 32> one_time_key, byte_span message);

}  // namespace pelto
