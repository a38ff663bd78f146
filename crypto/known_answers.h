#pragma once
// Known-answer self-test of the crypto primitives, run before any node is loaded.

namespace pelto {

// Checks SHA-224, BLAKE3, AES-128-GCM, SHA-256, X25519, SHA3-256, HMAC-SHA384, ChaCha20-Poly1305
// and ML-KEM-768 against known values and makes one key pair; false at the first mismatch or
// failure.
bool crypto_self_test();

// The same run with one stored answer made wrong, so tests can see every check fail on a wrong
// answer; `none` is the product's run.
enum class self_test_check {
    none,
    sha224,
    blake3,
    aes_gcm,
    sha256,
    x25519,
    sha3_256,
    hmac_sha384,
    chacha20_poly1305,
    ml_kem_768,
};
bool crypto_self_test_with_wrong_answer(self_test_check wrong);

}  // namespace pelto
