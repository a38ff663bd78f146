#pragma once
// HMAC through the platform's hash provider (CNG on Windows, OpenSSL 3 on Linux), and HKDF
// built on it: the general forms take the hash, the `_sha256` forms fix it.
//
// Every function here reports failure: a provider that cannot be opened, an unknown algorithm,
// an output of the wrong size or an HKDF length beyond RFC 5869's limit all return false, and
// the output then holds no usable key material (it is zeroed). Callers must fail closed.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/bytes.h"

namespace pelto {

enum class hash_algorithm { sha256, sha384, sha512 };

// 32 for SHA-256, 48 for SHA-384, 64 for SHA-512, 0 for anything else.
std::size_t hmac_size(hash_algorithm algorithm);

// HMAC(key, data) into `out`, which must be exactly hmac_size(algorithm) bytes long.
bool hmac(hash_algorithm algorithm, byte_span key, byte_span data, std::span<std::uint8_t> out);

// RFC 5869 HKDF with HMAC-SHA256. An empty salt stands for 32 zero bytes. `length` may be at
// most 255 * 32 bytes; on success `out` holds exactly `length` bytes.
bool hkdf_sha256(byte_span input_key, byte_span salt, byte_span info, std::size_t length, bytes& out);

// HKDF-Extract alone (the TLS 1.3 key schedule needs it apart from Expand).
bool hkdf_extract_sha256(byte_span salt, byte_span input_key, std::span<std::uint8_t, 32> out_prk);

// HKDF-Expand alone with HMAC-SHA256 and a pseudorandom key of at least 32 bytes.
bool hkdf_expand_sha256(byte_span prk, byte_span info, std::size_t length, bytes& out);

// RFC 8446 section 7.1 HKDF-Expand-Label: the label is given without the "tls13 " prefix, which
// is added here. The label with its prefix and the context are at most 255 bytes each.
bool hkdf_expand_label(byte_span secret, std::string_view label, byte_span context, std::size_t length,
                       bytes& out);

// The same three steps for any of the hashes above (TLS 1.3 suites use SHA-256 and SHA-384).
// `hkdf_extract` writes exactly hmac_size(algorithm) bytes: `out_prk` must have that size; an
// empty salt stands for that many zero bytes. `hkdf_expand` allows at most 255 * hmac_size bytes.
bool hkdf_extract(hash_algorithm algorithm, byte_span salt, byte_span input_key, std::span<std::uint8_t> out_prk);
bool hkdf_expand(hash_algorithm algorithm, byte_span prk, byte_span info, std::size_t length, bytes& out);
bool hkdf_expand_label(hash_algorithm algorithm, byte_span secret, std::string_view label, byte_span context,
                       std::size_t length, bytes& out);

}  // namespace pelto
