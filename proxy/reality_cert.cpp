#include "proxy/reality_cert.h"

#include <algorithm>
#include <cstring>

#include "crypto/hmac.h"

namespace pelto {
namespace {

constexpr std::uint8_t der_sequence = 0x30;
constexpr std::uint8_t der_bit_string = 0x03;
constexpr std::uint8_t der_oid = 0x06;
constexpr std::uint8_t der_explicit_0 = 0xA0;
constexpr std::uint8_t ed25519_oid[] = {0x2B, 0x65, 0x70};  // 1.3.101.112

// One DER element: its tag and its content as a child reader.
bool read_element(byte_reader& reader, std::uint8_t& out_tag, byte_reader& out_content)
{
    byte_reader probe = reader;
    std::uint8_t tag = 0;
    std::uint8_t first = 0;
    if (!probe.read_u8(tag) || (tag & 0x1F) == 0x1F || !probe.read_u8(first)) {
        return false;  // high tag numbers never occur in a certificate's outer structure
    }
    std::size_t length = first;
    if (first & 0x80) {
        const std::size_t count = first & 0x7F;
        if (count == 0 || count > 4) {
            return false;  // indefinite or absurd
        }
        length = 0;
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t b = 0;
            if (!probe.read_u8(b)) {
                return false;
            }
            length = (length << 8) | b;
        }
    }
    if (!probe.read_child(length, out_content)) {
        return false;
    }
    out_tag = tag;
    reader = probe;
    return true;
}

bool read_expected(byte_reader& reader, std::uint8_t tag, byte_reader& out_content)
{
    byte_reader probe = reader;
    std::uint8_t found = 0;
    if (!read_element(probe, found, out_content) || found != tag) {
        return false;
    }
    reader = probe;
    return true;
}

bool skip_element(byte_reader& reader)
{
    std::uint8_t tag = 0;
    byte_reader content;
    return read_element(reader, tag, content);
}

bool read_ed25519_key(byte_reader spki, std::array<std::uint8_t, 32>& out)
{
    byte_reader algorithm;
    byte_reader oid;
    byte_reader key;
    std::uint8_t unused_bits = 1;
    if (!read_expected(spki, der_sequence, algorithm) || !read_expected(algorithm, der_oid, oid) ||
        !algorithm.empty() || oid.remaining() != sizeof(ed25519_oid) ||
        !std::equal(oid.rest().begin(), oid.rest().end(), std::begin(ed25519_oid)) ||
        !read_expected(spki, der_bit_string, key) || !spki.empty() || !key.read_u8(unused_bits) ||
        unused_bits != 0 || key.remaining() != out.size()) {
        return false;
    }
    return key.copy_bytes(out);
}

}  // namespace

bool reality_parse_certificate(byte_span der, reality_certificate_fields& out)
{
    byte_reader whole(der);
    byte_reader certificate;
    byte_reader tbs;
    byte_reader signature;
    if (!read_expected(whole, der_sequence, certificate) || !whole.empty() ||
        !read_expected(certificate, der_sequence, tbs) || !skip_element(certificate) ||
        !read_expected(certificate, der_bit_string, signature) || !certificate.empty()) {
        return false;
    }
    std::uint8_t unused_bits = 1;
    if (!signature.read_u8(unused_bits) || unused_bits != 0 || signature.remaining() != out.signature.size() ||
        !signature.copy_bytes(out.signature)) {
        return false;
    }
    std::uint8_t tag = 0;
    if (tbs.peek_u8(tag) && tag == der_explicit_0 && !skip_element(tbs)) {
        return false;
    }
    for (int i = 0; i < 5; ++i) {  // serial number, signature, issuer, validity, subject
        if (!skip_element(tbs)) {
            return false;
        }
    }
    byte_reader spki;
    return read_expected(tbs, der_sequence, spki) && read_ed25519_key(spki, out.public_key);
}

bool reality_certificate_signed_by(byte_span der, byte_span auth_key)
{
    reality_certificate_fields fields;
    if (!reality_parse_certificate(der, fields)) {
        return false;
    }
    std::array<std::uint8_t, 64> expected{};
    if (!hmac(hash_algorithm::sha512, auth_key, fields.public_key, expected)) {
        return false;
    }
    std::uint8_t difference = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        difference |= static_cast<std::uint8_t>(expected[i] ^ fields.signature[i]);
    }
    return difference == 0;
}

}  // namespace pelto
