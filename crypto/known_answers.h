#pragma once
// Known-answer self-test of the crypto primitives, run before any node is loaded.

namespace pelto {

// Checks SHA-224, BLAKE3, AES-128-GCM, SHA-256 and X25519 against published values and makes
// one key pair; false at the first mismatch or failure.
bool crypto_self_test();

}  // namespace pelto
