#include "crypto/chacha20_poly1305.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "crypto/encoding.h"
#include "crypto/test_hex.h"

namespace pelto {
namespace {

using test::from_hex;

template <std::size_t N>
std::array<std::uint8_t, N> fixed(std::string_view hex)
{
    const bytes b = from_hex(hex);
    std::array<std::uint8_t, N> out{};
    EXPECT_EQ(b.size(), N);
    std::copy_n(b.begin(), std::min(N, b.size()), out.begin());
    return out;
}

bytes range_key()
{
    bytes key(32);
    for (int i = 0; i < 32; ++i) {
        key[i] = static_cast<std::uint8_t>(i);
    }
    return key;
}

constexpr std::string_view sunscreen =
    "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, sunscreen would be it.";

std::vector<chacha20_path> available_paths()
{
    std::vector<chacha20_path> paths;
    for (const auto p : {chacha20_path::scalar, chacha20_path::avx2, chacha20_path::avx512}) {
        if (chacha20_path_available(p)) {
            paths.push_back(p);
        }
    }
    return paths;
}

// RFC 8439 section 2.4.2, on every path this processor can run.
TEST(chacha20, rfc8439_encryption_example_on_every_path)
{
    const auto key = fixed<32>(hex_encode(range_key()));
    const auto nonce = fixed<12>("000000000000004a00000000");
    for (const chacha20_path path : available_paths()) {
        bytes out(sunscreen.size());
        chacha20_xor_on_path(path, key, nonce, 1, as_bytes(sunscreen), out);
        EXPECT_EQ(hex_encode(out),
                  "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0bf91b65c5524733ab8f593dabcd62b3571639d6"
                  "24e65152ab8f530c359f0861d807ca0dbf500d6a6156a38e088a22b65e52bc514d16ccf806818ce91ab77937365af90bbf74a35b"
                  "e6b40b8eedf2785e42874d")
            << static_cast<int>(path);
    }
}

// The vector paths against the scalar one for lengths around their group sizes (8 and 16
// blocks), from several counters including one that wraps, in place and out of place.
TEST(chacha20, every_path_gives_the_scalar_stream)
{
    std::mt19937 generator(8439);
    std::array<std::uint8_t, 32> key{};
    std::array<std::uint8_t, 12> nonce{};
    for (auto& b : key) {
        b = static_cast<std::uint8_t>(generator());
    }
    for (auto& b : nonce) {
        b = static_cast<std::uint8_t>(generator());
    }
    bytes input(2200);
    for (auto& b : input) {
        b = static_cast<std::uint8_t>(generator());
    }
    for (const std::uint32_t counter : {0u, 1u, 0xfffffff5u}) {
        for (std::size_t size : {0u, 1u, 63u, 64u, 65u, 128u, 129u, 511u, 512u, 513u, 1023u, 1024u, 1025u, 1600u,
                                 2048u, 2200u}) {
            const byte_span in = byte_span(input).first(size);
            bytes expected(size);
            chacha20_xor_on_path(chacha20_path::scalar, key, nonce, counter, in, expected);
            for (const chacha20_path path : available_paths()) {
                bytes out(size);
                chacha20_xor_on_path(path, key, nonce, counter, in, out);
                EXPECT_EQ(out, expected) << static_cast<int>(path) << " size " << size << " counter " << counter;
                bytes in_place(in.begin(), in.end());
                chacha20_xor_on_path(path, key, nonce, counter, in_place, in_place);
                EXPECT_EQ(in_place, expected) << static_cast<int>(path) << " in place, size " << size;
            }
        }
    }
}

// RFC 8439 section 2.5.2, and a message of 0xff bytes under a key whose r and s are all ones after
// clamping, which drives every carry of the accumulator (value from OpenSSL's Poly1305).
TEST(poly1305, rfc8439_example_and_carry_heavy_input)
{
    const auto key = fixed<32>("85d6be7857556d337f4452fe42d506a80103808afb0db2fd4abff6af4149f51b");
    EXPECT_EQ(hex_encode(poly1305(key, as_bytes("Cryptographic Forum Research Group"))),
              "a8061dc1305136c6c22b8baf0c0127a9");
    std::array<std::uint8_t, 32> ones{};
    ones.fill(0xff);
    EXPECT_EQ(hex_encode(poly1305(ones, bytes(1000, 0xff))), "de9406b10e7023bcd692ff687f4cbc7f");
    EXPECT_EQ(hex_encode(poly1305(ones, {})), "ffffffffffffffffffffffffffffffff");
}

std::string repeat(std::string_view hex_byte, int count)
{
    std::string out;
    for (int i = 0; i < count; ++i) {
        out += hex_byte;
    }
    return out;
}

// RFC 8439 appendix A.3, vectors 5 to 9: accumulators that end between 2^130 - 5 and 2^130, or
// that wrap, so the final reduction must be exact. Keys are r || s.
TEST(poly1305, rfc8439_final_reduction_edge_cases)
{
    struct edge {
        std::string key;
        std::string message;
        std::string tag;
    };
    const std::string r_one = "01" + repeat("00", 15);
    const std::string r_two = "02" + repeat("00", 15);
    const std::vector<edge> cases = {
        {r_two + repeat("00", 16), repeat("ff", 16), "03" + repeat("00", 15)},
        {r_two + repeat("ff", 16), "02" + repeat("00", 15), "03" + repeat("00", 15)},
        {r_one + repeat("00", 16), repeat("ff", 16) + "f0" + repeat("ff", 15) + "11" + repeat("00", 15),
         "05" + repeat("00", 15)},
        {r_one + repeat("00", 16), repeat("ff", 16) + "fb" + repeat("fe", 15) + repeat("01", 16), repeat("00", 16)},
        {r_two + repeat("00", 16), "fd" + repeat("ff", 15), "fa" + repeat("ff", 15)},
    };
    int number = 5;
    for (const edge& c : cases) {
        EXPECT_EQ(hex_encode(poly1305(fixed<32>(c.key), from_hex(c.message))), c.tag) << "vector " << number++;
    }
}

struct aead_vector {
    std::string key;
    std::string nonce;
    std::string aad;
    bytes plaintext;
    std::string sealed;  // ciphertext || tag
};

// RFC 8439 section 2.8.2 (sealing) and appendix A.5 (opening).
aead_vector rfc8439_seal_example()
{
    return {"808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f", "070000004041424344454647",
            "50515253c0c1c2c3c4c5c6c7", bytes(sunscreen.begin(), sunscreen.end()),
            "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b1a71de0a9e060b"
            "2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc3ff4def08e4b7a9de576d26586"
            "cec64b6116"
            "1ae10b594f09e26a7e902ecbd0600691"};
}

aead_vector rfc8439_open_example()
{
    const std::string text =
        "Internet-Drafts are draft documents valid for a maximum of six months and may be updated, replaced, or "
        "obsoleted by other documents at any time. It is inappropriate to use Internet-Drafts as reference material or "
        "to cite them other than as /\xe2\x80\x9cwork in progress./\xe2\x80\x9d";
    return {"1c9240a5eb55d38af333888604f6b5f0473917c1402b80099dca5cbc207075c0", "000000000102030405060708",
            "f33388860000000000004e91", bytes(text.begin(), text.end()),
            "64a0861575861af460f062c79be643bd5e805cfd345cf389f108670ac76c8cb24c6cfc18755d43eea09ee94e382d26b0bdb7b73c321b01"
            "00d4f03b7f355894cf332f830e710b97ce98c8a84abd0b948114ad176e008d33bd60f982b1ff37c8559797a06ef4f0ef61c186324e2b"
            "3506383606907b6a7c02b0f9f6157b53c867e4b9166c767b804d46a59b5216cde7a4e99040c5a40433225ee282a1b0a06c523eaf4534"
            "d7f83fa1155b0047718cbc546a0d072b04b3564eea1b422273f548271a0bb2316053fa76991955ebd63159434ecebb4e466dae5a1073"
            "a6727627097a1049e617d91d361094fa68f0ff77987130305beaba2eda04df997b714d6c6f2c29a6ad5cb4022b02709b"
            "eead9d67890cbb22392336fea1851f38"};
}

TEST(chacha20_poly1305, rfc8439_vectors_seal_and_open)
{
    for (const aead_vector& v : {rfc8439_seal_example(), rfc8439_open_example()}) {
        chacha20_poly1305_key key;
        ASSERT_TRUE(key.create(from_hex(v.key)));
        const auto nonce = fixed<12>(v.nonce);
        const bytes aad = from_hex(v.aad);
        bytes sealed;
        ASSERT_TRUE(chacha20_poly1305_seal(key, nonce, v.plaintext, aad, sealed));
        EXPECT_EQ(hex_encode(sealed), v.sealed);
        bytes opened;
        ASSERT_TRUE(chacha20_poly1305_open(key, nonce, from_hex(v.sealed), aad, opened));
        EXPECT_EQ(opened, v.plaintext);
    }
}

// Any changed byte of ciphertext, tag, additional data or nonce fails, and the text is wiped.
TEST(chacha20_poly1305, tampering_fails_and_wipes)
{
    const aead_vector v = rfc8439_seal_example();
    chacha20_poly1305_key key;
    ASSERT_TRUE(key.create(from_hex(v.key)));
    const auto nonce = fixed<12>(v.nonce);
    const bytes aad = from_hex(v.aad);
    const bytes sealed = from_hex(v.sealed);
    for (std::size_t at : {std::size_t{0}, std::size_t{63}, sealed.size() - 17, sealed.size() - 16, sealed.size() - 1}) {
        bytes changed = sealed;
        changed[at] ^= 0x20;
        EXPECT_FALSE(chacha20_poly1305_open_in_place(key, nonce, changed, aad)) << at;
        EXPECT_EQ(bytes(changed.begin(), changed.end() - 16), bytes(sealed.size() - 16, 0)) << at;
    }
    bytes other_aad = aad;
    other_aad.back() ^= 1;
    bytes out;
    EXPECT_FALSE(chacha20_poly1305_open(key, nonce, sealed, other_aad, out));
    EXPECT_TRUE(out.empty());
    auto other_nonce = nonce;
    other_nonce[11] ^= 1;
    EXPECT_FALSE(chacha20_poly1305_open(key, other_nonce, sealed, aad, out));
    EXPECT_FALSE(chacha20_poly1305_open(key, nonce, byte_span(sealed).first(15), aad, out));
}

// The sealing and opening passes interleave Poly1305 with the vector groups: every path must give
// the scalar path's bytes for lengths that end inside, at and after group boundaries, and open
// what the scalar path sealed (and refuse it once changed in its last group).
TEST(chacha20_poly1305, every_path_seals_and_opens_like_the_scalar_path)
{
    chacha20_poly1305_key key;
    ASSERT_TRUE(key.create(bytes(32, 0x42)));
    const std::array<std::uint8_t, 12> nonce{9, 8, 7, 6, 5, 4, 3, 2, 1};
    bytes message(5000);
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    }
    const bytes aad = from_hex("170303");
    for (std::size_t size : {0u, 15u, 129u, 511u, 512u, 513u, 1024u, 1040u, 2047u, 2048u, 3072u, 4999u}) {
        const byte_span text = byte_span(message).first(size);
        bytes expected(size + 16);
        ASSERT_TRUE(chacha20_poly1305_seal_on_path(chacha20_path::scalar, key, nonce, text, aad, expected));
        for (const chacha20_path path : available_paths()) {
            bytes sealed(size + 16);
            ASSERT_TRUE(chacha20_poly1305_seal_on_path(path, key, nonce, text, aad, sealed));
            EXPECT_EQ(sealed, expected) << static_cast<int>(path) << " size " << size;
            bytes opened = expected;
            ASSERT_TRUE(chacha20_poly1305_open_on_path(path, key, nonce, opened, aad))
                << static_cast<int>(path) << " size " << size;
            EXPECT_TRUE(std::equal(text.begin(), text.end(), opened.begin()));
            if (size > 0) {
                bytes changed = expected;
                changed[size - 1] ^= 0x80;
                EXPECT_FALSE(chacha20_poly1305_open_on_path(path, key, nonce, changed, aad))
                    << static_cast<int>(path) << " size " << size;
            }
        }
    }
}

TEST(chacha20_poly1305, in_place_equals_out_of_place_and_sizes_are_checked)
{
    chacha20_poly1305_key key;
    EXPECT_FALSE(key.valid());
    const std::array<std::uint8_t, 12> nonce{1, 2, 3};
    bytes message(3000);
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<std::uint8_t>(i * 13);
    }
    bytes out(message.size() + 16);
    EXPECT_FALSE(chacha20_poly1305_seal_into(key, nonce, message, {}, out)) << "no key";
    EXPECT_FALSE(key.create(bytes(31, 1)));
    EXPECT_FALSE(key.valid());
    ASSERT_TRUE(key.create(bytes(32, 7)));

    for (std::size_t size : {0u, 1u, 16u, 17u, 1024u, 1500u, 3000u}) {
        const byte_span text = byte_span(message).first(size);
        bytes separate(size + 16);
        ASSERT_TRUE(chacha20_poly1305_seal_into(key, nonce, text, as_bytes("aad"), separate));
        bytes in_place(size + 16);
        std::copy(text.begin(), text.end(), in_place.begin());
        ASSERT_TRUE(chacha20_poly1305_seal_into(key, nonce, byte_span(in_place).first(size), as_bytes("aad"),
                                                in_place));
        EXPECT_EQ(in_place, separate) << size;
        ASSERT_TRUE(chacha20_poly1305_open_in_place(key, nonce, in_place, as_bytes("aad")));
        EXPECT_EQ(bytes(in_place.begin(), in_place.begin() + static_cast<std::ptrdiff_t>(size)),
                  bytes(text.begin(), text.end()));
    }

    bytes wrong(message.size() + 15);
    EXPECT_FALSE(chacha20_poly1305_seal_into(key, nonce, message, {}, wrong));
    // An output that overlaps the input without starting where it starts is refused.
    bytes shifted(100 + 16 + 1);
    EXPECT_FALSE(chacha20_poly1305_seal_into(key, nonce, byte_span(shifted).subspan(1, 100),
                                             std::span(shifted).first(116), {}));
}

}  // namespace
}  // namespace pelto
