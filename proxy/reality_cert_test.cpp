// The REALITY certificate walk over certificates made by Python's cryptography package: an
// Ed25519 leaf whose signature bytes were replaced by HMAC-SHA512(auth key, its public key), and
// ECDSA and Ed448 leaves that must never pass.

#include "proxy/reality_cert.h"

#include <gtest/gtest.h>

#include "crypto/test_hex.h"

namespace pelto {
namespace {

using test::from_hex;

// auth key = bytes 0..31.
const bytes auth_key = [] {
    bytes k(32);
    for (std::size_t i = 0; i < k.size(); ++i) {
        k[i] = static_cast<std::uint8_t>(i);
    }
    return k;
}();

const bytes ed25519_leaf = from_hex(
    "3081ce308181a003020102020107300506032b65703011310f300d06035504030c06722e74657374301e170d323430313031303030303030"
    "5a170d3234303130323030303030305a3011310f300d06035504030c06722e74657374302a300506032b65700321006e7a1cdd29b0b78f"
    "d13af4c5598feff4ef2a97166e3ca6f2e4fbfccd80505bf1300506032b6570034100ff7d16aea6b45988e81798312723a1cc54f0e7f400"
    "85dc0b8d65f4fa0a902ec35b4cb858dc573d9e7f4225e4ea6546d4ba2334a980081c08405b901fd135709b");
const bytes ecdsa_leaf = from_hex(
    "3082010f3081b5a003020102020107300a06082a8648ce3d0403023011310f300d06035504030c06722e74657374301e170d32343031303130"
    "30303030305a170d3234303130323030303030305a3011310f300d06035504030c06722e746573743059301306072a8648ce3d020106082a"
    "8648ce3d0301070342000426efcebd0ee9e34a669187e18b3a9122b2f733945b649cc9f9f921e9f9dad81290238bde9cc7bb330d150c6770"
    "4dd25ae7055205744b6f31bf4070745872d0e6300a06082a8648ce3d0403020349003046022100a1b1350263354bc9b570643b47ddda31a1"
    "e7344b2f528ff46e030112e22b15c2022100af7b9010ea8c49fdb942682b286685afa4589dc36a366338a89008e32a6987cb");
const bytes ed448_leaf = from_hex(
    "3082011930819aa003020102020107300506032b65713011310f300d06035504030c06722e74657374301e170d32343031303130303030"
    "30305a170d3234303130323030303030305a3011310f300d06035504030c06722e746573743043300506032b6571033a0034572a859923"
    "541b4b7e77f8159011fa11a21e0c77ccab253bcf5e9f380880fad3316b2f4fe0b2ee684cef2fd77aeb1c5af81a277a09ed2d8030050603"
    "2b65710373003a95fb3bf84681ac5f2002b431ff35b67d7448f3eb75b4296c10bd61a616bb6e1c44ddd7cee593fdeb61c4eb78d36ca24e"
    "8c40e212b7183a004da9b41c3f372a6e32e62f11a5d45ba02fb3b7baa2aa9eb87e3181758fe57c6da922acb84edb25d75663e4ffcd78bf"
    "b0188ca0abdfa7282200");

TEST(reality_certificate, accepts_only_the_hmac_signed_ed25519_key)
{
    reality_certificate_fields fields;
    ASSERT_TRUE(reality_parse_certificate(ed25519_leaf, fields));
    EXPECT_EQ(bytes(fields.public_key.begin(), fields.public_key.end()),
              from_hex("6e7a1cdd29b0b78fd13af4c5598feff4ef2a97166e3ca6f2e4fbfccd80505bf1"));
    EXPECT_TRUE(reality_certificate_signed_by(ed25519_leaf, auth_key));

    bytes other_key = auth_key;
    other_key[31] ^= 1;
    EXPECT_FALSE(reality_certificate_signed_by(ed25519_leaf, other_key));
    bytes bad_signature = ed25519_leaf;
    bad_signature.back() ^= 0x80;
    EXPECT_FALSE(reality_certificate_signed_by(bad_signature, auth_key));
    EXPECT_FALSE(reality_parse_certificate(ecdsa_leaf, fields));
    EXPECT_FALSE(reality_parse_certificate(ed448_leaf, fields));
}

TEST(reality_certificate, every_truncated_prefix_and_trailing_byte_fails)
{
    reality_certificate_fields fields;
    for (std::size_t n = 0; n < ed25519_leaf.size(); ++n) {
        EXPECT_FALSE(reality_parse_certificate(byte_span(ed25519_leaf).first(n), fields)) << n;
    }
    bytes longer = ed25519_leaf;
    longer.push_back(0);
    EXPECT_FALSE(reality_parse_certificate(longer, fields));
}

TEST(reality_certificate, lengths_in_long_form_and_children_overrunning_their_parent)
{
    // tbsCertificate's length (81 81) re-encoded with two length bytes (82 00 81); the outer
    // SEQUENCE grows by one byte.
    bytes wide = {0x30, 0x81, 0xCF, 0x30, 0x82, 0x00, 0x81};
    wide.insert(wide.end(), ed25519_leaf.begin() + 6, ed25519_leaf.end());
    reality_certificate_fields fields;
    EXPECT_TRUE(reality_parse_certificate(wide, fields));
    EXPECT_TRUE(reality_certificate_signed_by(wide, auth_key));

    // The serial number (02 01 07 at offset 11) claims more bytes than tbsCertificate holds.
    bytes overrun = ed25519_leaf;
    ASSERT_EQ(overrun[11], 0x02);
    overrun[12] = 0x7F;
    EXPECT_FALSE(reality_parse_certificate(overrun, fields));
    // An indefinite length.
    bytes indefinite = ed25519_leaf;
    indefinite[4] = 0x80;
    EXPECT_FALSE(reality_parse_certificate(indefinite, fields));
}

}  // namespace
}  // namespace pelto
