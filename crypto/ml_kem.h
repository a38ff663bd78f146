#pragma once
// ML-KEM-768 (FIPS 203), computed in this module: key generation and decapsulation for the
// client side of a hybrid TLS 1.3 key exchange, encapsulation for tests and test tools.
//
// Keys and ciphertexts are the byte strings FIPS 203 defines. Decapsulation rejects implicitly:
// a ciphertext of the right length that does not re-encrypt to itself yields the pseudorandom
// key J(z, c) instead of an error, and the choice is made without branching on secret data.
// Every secret intermediate (d, z, the secret vector, m, K, r, the decrypted m') is wiped before
// a function returns; outputs are zeroed on failure.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "base/bytes.h"

namespace pelto {

inline constexpr std::size_t ml_kem_768_encapsulation_key_size = 1184;
inline constexpr std::size_t ml_kem_768_decapsulation_key_size = 2400;
inline constexpr std::size_t ml_kem_768_ciphertext_size = 1088;
inline constexpr std::size_t ml_kem_shared_secret_size = 32;
inline constexpr std::size_t ml_kem_seed_size = 32;

// One key pair, owned by one handshake. Not copyable; the decapsulation key and its expanded
// form are wiped when the pair is destroyed or replaced. Besides the keys' bytes the pair keeps
// the decoded key (matrix and secret vector), so `decapsulate` skips re-deriving it.
class ml_kem_768_key_pair {
public:
    ml_kem_768_key_pair();
    ~ml_kem_768_key_pair();
    ml_kem_768_key_pair(const ml_kem_768_key_pair&) = delete;
    ml_kem_768_key_pair& operator=(const ml_kem_768_key_pair&) = delete;

    // A fresh key pair from seeds d and z drawn from `random_bytes`. Returns false only when the
    // generator fails (today's `random_bytes` aborts the process instead, so this returns true).
    bool generate();
    // ML-KEM.KeyGen_internal(d, z): the deterministic key generation of the published vectors.
    void generate_from_seed(std::span<const std::uint8_t, ml_kem_seed_size> d,
                            std::span<const std::uint8_t, ml_kem_seed_size> z);

    // The keys' bytes; all zero before the first generation.
    std::span<const std::uint8_t, ml_kem_768_encapsulation_key_size> encapsulation_key() const;
    std::span<const std::uint8_t, ml_kem_768_decapsulation_key_size> decapsulation_key() const;

    // ML-KEM.Decaps with implicit rejection. False (and a zeroed output) only for a ciphertext
    // that is not exactly 1088 bytes long or a pair that holds no key yet.
    bool decapsulate(byte_span ciphertext, std::span<std::uint8_t, ml_kem_shared_secret_size> out_shared_secret) const;

    struct expanded;  // the decoded key, defined with the algorithm

private:
    std::array<std::uint8_t, ml_kem_768_decapsulation_key_size> dk_{};
    std::unique_ptr<expanded> expanded_;
};

// ML-KEM.Decaps from the bytes of a decapsulation key, which must come from a trusted key
// generation (see `ml_kem_768_check_decapsulation_key`). False (and a zeroed output) only for a
// ciphertext that is not exactly 1088 bytes long.
bool ml_kem_768_decapsulate(std::span<const std::uint8_t, ml_kem_768_decapsulation_key_size> dk, byte_span ciphertext,
                            std::span<std::uint8_t, ml_kem_shared_secret_size> out_shared_secret);

// The hash check of FIPS 203 section 7.3: the key's copy of H(ek) matches its encapsulation key.
bool ml_kem_768_check_decapsulation_key(std::span<const std::uint8_t, ml_kem_768_decapsulation_key_size> dk);

// ML-KEM.Encaps with a fresh random m. Checks the encapsulation key first (its length and the
// modulus check of FIPS 203 section 7.2: every encoded coefficient below q); false, with zeroed
// outputs, on a bad key or a generator failure.
bool ml_kem_768_encapsulate(byte_span encapsulation_key,
                            std::span<std::uint8_t, ml_kem_768_ciphertext_size> out_ciphertext,
                            std::span<std::uint8_t, ml_kem_shared_secret_size> out_shared_secret);

// ML-KEM.Encaps_internal(ek, m): the deterministic encapsulation of the published vectors, with
// the same key checks.
bool ml_kem_768_encapsulate_internal(byte_span encapsulation_key, std::span<const std::uint8_t, ml_kem_seed_size> m,
                                     std::span<std::uint8_t, ml_kem_768_ciphertext_size> out_ciphertext,
                                     std::span<std::uint8_t, ml_kem_shared_secret_size> out_shared_secret);

}  // namespace pelto
