#pragma once
// AES-GCM and the single AES block transform, through the platform's cipher provider (CNG on
// Windows, OpenSSL 3 on Linux).
//
// An `aes_gcm_key` holds one key for one direction of one connection; it is used by one thread
// at a time and is not copyable. Nonces are 12 bytes, tags 16 bytes and always follow the
// ciphertext. Every failure is reported as false only; callers turn it into a connection
// failure.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "base/bytes.h"

namespace pelto {

inline constexpr std::size_t aes_gcm_nonce_size = 12;
inline constexpr std::size_t aes_gcm_tag_size = 16;

class aes_gcm_key {
public:
    aes_gcm_key();
    ~aes_gcm_key();
    aes_gcm_key(const aes_gcm_key&) = delete;
    aes_gcm_key& operator=(const aes_gcm_key&) = delete;

    // 16 bytes select AES-128-GCM, 32 bytes AES-256-GCM; any other length or a provider failure
    // returns false and leaves the object unusable. May be called again to replace the key.
    bool create(byte_span key);
    bool valid() const;

    struct backend;  // the platform's handles

private:
    friend bool aes_gcm_seal_into(aes_gcm_key&, std::span<const std::uint8_t, aes_gcm_nonce_size>, byte_span,
                                  byte_span, std::span<std::uint8_t>);
    friend bool aes_gcm_open_in_place(aes_gcm_key&, std::span<const std::uint8_t, aes_gcm_nonce_size>,
                                      std::span<std::uint8_t>, byte_span);
    std::unique_ptr<backend> backend_;
};

// `out` becomes ciphertext || tag (plaintext size + 16 bytes) and must not share memory with the
// inputs; a reused buffer of the right size is not reallocated. An empty plaintext is allowed.
// `additional_data` may be empty. On failure `out` is cleared.
bool aes_gcm_seal(aes_gcm_key& key, std::span<const std::uint8_t, aes_gcm_nonce_size> nonce, byte_span plaintext,
                  byte_span additional_data, bytes& out);

// `input` is ciphertext || tag. Inputs shorter than a tag fail without reaching the platform; a
// tag mismatch fails. On failure `out` is cleared and no unauthenticated byte is handed out.
bool aes_gcm_open(aes_gcm_key& key, std::span<const std::uint8_t, aes_gcm_nonce_size> nonce, byte_span input,
                  byte_span additional_data, bytes& out);

// The span forms, for callers that keep their own buffers (record layers, chunk streams).
// `aes_gcm_seal_into` writes ciphertext || tag to `out`, which must be exactly 16 bytes longer than
// `plaintext` and either not overlap it at all or start exactly where it starts (in place).
// `aes_gcm_open_in_place` opens `sealed` (ciphertext || tag, at least 16 bytes): on success its
// first `sealed.size() - 16` bytes hold the plaintext; on failure they are wiped. Both check their
// sizes and fail on a mismatch; neither ever treats an empty text as a size query.
bool aes_gcm_seal_into(aes_gcm_key& key, std::span<const std::uint8_t, aes_gcm_nonce_size> nonce,
                       byte_span plaintext, byte_span additional_data, std::span<std::uint8_t> out);
bool aes_gcm_open_in_place(aes_gcm_key& key, std::span<const std::uint8_t, aes_gcm_nonce_size> nonce,
                           std::span<std::uint8_t> sealed, byte_span additional_data);

// The plain AES transform of one 16-byte block (no IV, no padding) with a 16- or 32-byte key.
bool aes_encrypt_block(byte_span key, std::span<const std::uint8_t, 16> input, std::span<std::uint8_t, 16> out);

// Adds one to the nonce read as a 96-bit little-endian integer (byte 0 lowest); the carry out of
// the last byte is dropped.
void nonce_increment(std::span<std::uint8_t, aes_gcm_nonce_size> nonce);

}  // namespace pelto
