#include "crypto/aes_gcm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "crypto/encoding.h"
#include "crypto/test_hex.h"

namespace pelto {
namespace {

using test::from_hex;

using nonce_bytes = std::array<std::uint8_t, aes_gcm_nonce_size>;

nonce_bytes nonce_from_hex(std::string_view text)
{
    const bytes b = from_hex(text);
    nonce_bytes n{};
    std::copy(b.begin(), b.end(), n.begin());
    return n;
}

struct gcm_vector {
    std::string key;
    std::string nonce;
    std::string plaintext;
    std::string aad;
    std::string sealed;  // ciphertext || tag
};

// Test cases of the original GCM submission to NIST, 1, 4, 13 and 16 (128- and 256-bit keys, empty plaintext,
// with additional data), followed by messages sealed with OpenSSL on Linux: every backend must
// produce the same bytes and open them.
const std::vector<gcm_vector>& vectors()
{
    static const std::vector<gcm_vector> v = {
        {"00000000000000000000000000000000", "000000000000000000000000", "", "", "58e2fccefa7e3061367f1d57a4e7455a"},
        {"feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657b"
         "a637b39",
         "feedfacedeadbeeffeedfacedeadbeefabaddad2",
         "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973"
         "d58e091"
         "5bc94fbc3221a5db94fae95ae7121a47"},
        {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "", "",
         "530f8afbc74536b9a963b4f1c4cb738b"},
        {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657b"
         "a637b39",
         "feedfacedeadbeeffeedfacedeadbeefabaddad2",
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0ab"
         "cc9f662"
         "76fc6ece0f4e1768cddf8853bb2d551b"},
        // Sealed by the OpenSSL backend.
        {"101112131415161718191a1b1c1d1e1f", "000000000000000000000001", "", "686561646572",
         "5cb34df99b21de4b5a18504e9b76fa1b"},
        {"101112131415161718191a1b1c1d1e1f", "000000000000000000000001", "78", "",
         "bf378721a4d2f4cec3430c974b7582892f"},
        {"101112131415161718191a1b1c1d1e1f", "000000000000000000000001", "736576656e7465656e20627974657321 21", "616164",
         "b4e02f8947134dd5bf8ed3e33e297180727b93610b28d40f75baf561d734af79f1"},
        {"101112131415161718191a1b1c1d1e1f", "000000000000000000000001",
         "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f3031"
         "32333435363738393a3b3c3d3e3f404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f60616263",
         "",
         "c7845bef2d622eb7d9a7bb9146410cae4367ad6b734085a9449a8c03e0c71d9e452cf40f12b0d443723c936c2e4d39dfac1e6a1711ff02"
         "0c41478562d7661cedb351aa5d2a36bc1ed58182c2d05ef02dff2c29e6e722f046a327d702b56d4058d4cf7ccd5aa38f54d7d989c290c6"
         "f5a1d873594c"},
        {"404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f", "000000000000000000000001",
         "746f6b656e20666f72207468652073657373696f6e206964", "170303",
         "c7c11854fc86822e62aafda1e9c31e08a02b43f66a320dc07dd258bda4fbc3bd12c50288f224325e"},
    };
    return v;
}

TEST(aes_gcm, seals_and_opens_published_and_cross_backend_vectors)
{
    for (const gcm_vector& v : vectors()) {
        aes_gcm_key key;
        ASSERT_TRUE(key.create(from_hex(v.key))) << v.key;
        const nonce_bytes nonce = nonce_from_hex(v.nonce);
        const bytes plaintext = from_hex(v.plaintext);
        bytes sealed;
        ASSERT_TRUE(aes_gcm_seal(key, nonce, plaintext, from_hex(v.aad), sealed));
        EXPECT_EQ(hex_encode(sealed), hex_encode(from_hex(v.sealed)));
        bytes opened;
        ASSERT_TRUE(aes_gcm_open(key, nonce, from_hex(v.sealed), from_hex(v.aad), opened));
        EXPECT_EQ(opened, plaintext);
    }
}

TEST(aes_gcm, any_flipped_bit_of_ciphertext_tag_nonce_or_aad_fails_open)
{
    const gcm_vector& v = vectors()[1];
    aes_gcm_key key;
    ASSERT_TRUE(key.create(from_hex(v.key)));
    const bytes sealed = from_hex(v.sealed);
    const bytes aad = from_hex(v.aad);
    const nonce_bytes nonce = nonce_from_hex(v.nonce);
    bytes out;

    for (std::size_t at : {std::size_t{0}, sealed.size() / 2, sealed.size() - 17, sealed.size() - 16, sealed.size() - 1}) {
        bytes tampered = sealed;
        tampered[at] ^= 0x01;
        EXPECT_FALSE(aes_gcm_open(key, nonce, tampered, aad, out)) << "byte " << at;
        EXPECT_TRUE(out.empty());
    }
    nonce_bytes other_nonce = nonce;
    other_nonce[11] ^= 0x80;
    EXPECT_FALSE(aes_gcm_open(key, other_nonce, sealed, aad, out));
    bytes other_aad = aad;
    other_aad[0] ^= 0x04;
    EXPECT_FALSE(aes_gcm_open(key, nonce, sealed, other_aad, out));
    EXPECT_FALSE(aes_gcm_open(key, nonce, sealed, {}, out));
    // A truncated tag is a different message, not a shorter valid one.
    EXPECT_FALSE(aes_gcm_open(key, nonce, byte_span(sealed).first(sealed.size() - 1), aad, out));
    // The untouched message still opens: the key object survives failed opens.
    EXPECT_TRUE(aes_gcm_open(key, nonce, sealed, aad, out));
}

TEST(aes_gcm, empty_plaintext_and_short_input)
{
    aes_gcm_key key;
    ASSERT_TRUE(key.create(bytes(16, 0x42)));
    const nonce_bytes nonce{};
    bytes sealed;
    ASSERT_TRUE(aes_gcm_seal(key, nonce, {}, as_bytes("aad"), sealed));
    EXPECT_EQ(sealed.size(), 16u);
    bytes opened{1, 2, 3};
    ASSERT_TRUE(aes_gcm_open(key, nonce, sealed, as_bytes("aad"), opened));
    EXPECT_TRUE(opened.empty());
    EXPECT_FALSE(aes_gcm_open(key, nonce, byte_span(sealed).first(15), as_bytes("aad"), opened));
    EXPECT_FALSE(aes_gcm_open(key, nonce, {}, {}, opened));
}

TEST(aes_gcm, a_forged_tag_over_an_empty_text_is_refused)
{
    // GCM test case 1: zero key and nonce, empty text, tag 58e2fcce...; only the tag authenticates.
    aes_gcm_key key;
    ASSERT_TRUE(key.create(bytes(16, 0)));
    const nonce_bytes nonce{};
    const bytes tag = from_hex("58e2fccefa7e3061367f1d57a4e7455a");
    bytes fresh;
    EXPECT_TRUE(aes_gcm_open(key, nonce, tag, {}, fresh));
    for (std::size_t i = 0; i < tag.size(); ++i) {
        bytes forged = tag;
        forged[i] ^= 0x01;
        bytes out;  // no storage: the empty-output path of the provider
        EXPECT_FALSE(aes_gcm_open(key, nonce, forged, {}, out)) << "byte " << i;
        std::array<std::uint8_t, 16> in_place{};
        std::copy(forged.begin(), forged.end(), in_place.begin());
        EXPECT_FALSE(aes_gcm_open_in_place(key, nonce, in_place, {})) << "byte " << i;
    }
}

TEST(aes_gcm, span_forms_work_in_place_and_check_sizes)
{
    aes_gcm_key key;
    ASSERT_TRUE(key.create(bytes(16, 7)));
    const nonce_bytes nonce{1};
    const byte_span text = as_bytes("sealed over itself, opened over itself");
    const bytes message(text.begin(), text.end());
    bytes expected;
    ASSERT_TRUE(aes_gcm_seal(key, nonce, message, as_bytes("h"), expected));

    bytes buffer = message;
    buffer.resize(message.size() + 16);
    ASSERT_TRUE(aes_gcm_seal_into(key, nonce, byte_span(buffer).first(message.size()), as_bytes("h"), buffer));
    EXPECT_EQ(buffer, expected);
    ASSERT_TRUE(aes_gcm_open_in_place(key, nonce, buffer, as_bytes("h")));
    EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(message.size())), message);

    // A failed open wipes the text it decrypted, so nothing unauthenticated stays readable.
    buffer = expected;
    buffer.back() ^= 0x80;
    EXPECT_FALSE(aes_gcm_open_in_place(key, nonce, buffer, as_bytes("h")));
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(message.size()),
                            [](std::uint8_t b) { return b == 0; }));

    bytes wrong_size(message.size() + 15);
    EXPECT_FALSE(aes_gcm_seal_into(key, nonce, message, {}, wrong_size));
    std::array<std::uint8_t, 15> too_short{};
    EXPECT_FALSE(aes_gcm_open_in_place(key, nonce, too_short, {}));
}

TEST(aes_gcm, key_creation_checks_length_and_unusable_keys_fail)
{
    aes_gcm_key key;
    EXPECT_FALSE(key.valid());
    for (std::size_t n : {0u, 15u, 24u, 33u}) {
        EXPECT_FALSE(key.create(bytes(n, 1))) << n;
        EXPECT_FALSE(key.valid());
    }
    const nonce_bytes nonce{};
    bytes out;
    EXPECT_FALSE(aes_gcm_seal(key, nonce, as_bytes("x"), {}, out));
    EXPECT_FALSE(aes_gcm_open(key, nonce, bytes(20, 0), {}, out));
}

TEST(aes_encrypt_block, fips197_examples)
{
    const bytes input = from_hex("00112233445566778899aabbccddeeff");
    std::array<std::uint8_t, 16> in{};
    std::copy(input.begin(), input.end(), in.begin());
    std::array<std::uint8_t, 16> out{};
    ASSERT_TRUE(aes_encrypt_block(from_hex("000102030405060708090a0b0c0d0e0f"), in, out));
    EXPECT_EQ(hex_encode(out), "69c4e0d86a7b0430d8cdb78070b4c55a");
    ASSERT_TRUE(
        aes_encrypt_block(from_hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"), in, out));
    EXPECT_EQ(hex_encode(out), "8ea2b7ca516745bfeafc49904b496089");
    EXPECT_FALSE(aes_encrypt_block(bytes(20, 0), in, out));
}

TEST(nonce_increment, carries_little_endian_and_wraps)
{
    nonce_bytes n{};
    nonce_increment(n);
    EXPECT_EQ(hex_encode(n), "010000000000000000000000");
    n = nonce_from_hex("ff0000000000000000000000");
    nonce_increment(n);
    EXPECT_EQ(hex_encode(n), "000100000000000000000000");
    n = nonce_from_hex("ffffff000000000000000007");
    nonce_increment(n);
    EXPECT_EQ(hex_encode(n), "000000010000000000000007");
    n.fill(0xff);
    nonce_increment(n);
    EXPECT_EQ(hex_encode(n), "000000000000000000000000");
}

}  // namespace
}  // namespace pelto
