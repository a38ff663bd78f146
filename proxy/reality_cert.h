#pragma once
// The REALITY server certificate check: the leaf certificate is walked as DER (no general ASN.1
// library) down to its Ed25519 subject public key and its 64-byte signature, and the signature
// must be HMAC-SHA512(auth key, public key). Pure functions over bytes.

#include <array>
#include <cstdint>

#include "base/bytes.h"

namespace pelto {

struct reality_certificate_fields {
    std::array<std::uint8_t, 32> public_key{};  // the Ed25519 subject public key
    std::array<std::uint8_t, 64> signature{};   // the certificate's signature value
};

// Walks Certificate ::= SEQUENCE { tbsCertificate SEQUENCE, signatureAlgorithm, signature BIT
// STRING }, with tbsCertificate's optional [0] version, five skipped fields and a
// subjectPublicKeyInfo that must be exactly { { OID 1.3.101.112 } , BIT STRING of 32 key bytes }.
// DER lengths in short or long form (at most 4 length bytes, never indefinite); each element must
// fit its parent and nothing may follow the certificate. False for anything else.
bool reality_parse_certificate(byte_span der, reality_certificate_fields& out);

// True when the certificate parses and its signature is HMAC-SHA512(auth_key, public key).
bool reality_certificate_signed_by(byte_span der, byte_span auth_key);

}  // namespace pelto
