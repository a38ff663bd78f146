#include "crypto/ml_kem.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "crypto/encoding.h"
#include "crypto/sha3.h"
#include "crypto/test_hex.h"

namespace pelto {
namespace {

using test::from_hex;

// NIST's vectors (see testdata/ml-kem-768/README.md): the "tests" array of one file.
nlohmann::json vectors(const std::string& name)
{
    const char* source = std::getenv("PELTO_SOURCE_DIR");
    const std::string dir = source != nullptr ? std::string(source) + "/crypto/testdata" : PELTO_CRYPTO_TESTDATA;
    std::ifstream file(dir + "/ml-kem-768/" + name, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    nlohmann::json parsed = nlohmann::json::parse(text.str(), nullptr, false);
    if (parsed.is_discarded() || !parsed.contains("tests")) {
        ADD_FAILURE() << "cannot read " << dir << "/ml-kem-768/" << name;
        return nlohmann::json::array();
    }
    return parsed["tests"];
}

template <std::size_t N>
std::array<std::uint8_t, N> fixed(const bytes& b)
{
    std::array<std::uint8_t, N> out{};
    EXPECT_EQ(b.size(), N);
    std::copy_n(b.begin(), std::min(N, b.size()), out.begin());
    return out;
}

std::string upper_hex(byte_span b)
{
    std::string text = hex_encode(b);
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

TEST(ml_kem_768, key_generation_matches_nist_vectors)
{
    const nlohmann::json tests = vectors("keygen.json");
    ASSERT_EQ(tests.size(), 4u);
    for (const auto& t : tests) {
        const auto d = fixed<32>(from_hex(t["d"].get<std::string>()));
        const auto z = fixed<32>(from_hex(t["z"].get<std::string>()));
        ml_kem_768_key_pair pair;
        pair.generate_from_seed(d, z);
        EXPECT_EQ(upper_hex(pair.encapsulation_key()), t["ek"].get<std::string>()) << t["id"];
        EXPECT_EQ(upper_hex(pair.decapsulation_key()), t["dk"].get<std::string>()) << t["id"];
        EXPECT_TRUE(ml_kem_768_check_decapsulation_key(pair.decapsulation_key()));
    }
}

TEST(ml_kem_768, encapsulation_matches_nist_vectors)
{
    const nlohmann::json tests = vectors("encap.json");
    ASSERT_EQ(tests.size(), 4u);
    for (const auto& t : tests) {
        const bytes ek = from_hex(t["ek"].get<std::string>());
        const auto m = fixed<32>(from_hex(t["m"].get<std::string>()));
        std::array<std::uint8_t, ml_kem_768_ciphertext_size> c{};
        std::array<std::uint8_t, 32> key{};
        ASSERT_TRUE(ml_kem_768_encapsulate_internal(ek, m, c, key)) << t["id"];
        EXPECT_EQ(upper_hex(c), t["c"].get<std::string>()) << t["id"];
        EXPECT_EQ(upper_hex(key), t["k"].get<std::string>()) << t["id"];
    }
}

// Valid ciphertexts give the encapsulated key; the modified ones the implicit-rejection key.
TEST(ml_kem_768, decapsulation_matches_nist_vectors_including_rejection)
{
    const nlohmann::json tests = vectors("decap.json");
    ASSERT_EQ(tests.size(), 5u);
    int rejections = 0;
    for (const auto& t : tests) {
        const auto dk = fixed<ml_kem_768_decapsulation_key_size>(from_hex(t["dk"].get<std::string>()));
        const bytes c = from_hex(t["c"].get<std::string>());
        std::array<std::uint8_t, 32> key{};
        ASSERT_TRUE(ml_kem_768_decapsulate(dk, c, key)) << t["id"];
        EXPECT_EQ(upper_hex(key), t["k"].get<std::string>()) << t["id"];
        rejections += t["kind"].get<std::string>().find("rejection") != std::string::npos;
    }
    EXPECT_EQ(rejections, 2);
}

// J(z || c) with z the last 32 bytes of the decapsulation key: the key a rejected ciphertext gets.
std::array<std::uint8_t, 32> rejection_key(std::span<const std::uint8_t, ml_kem_768_decapsulation_key_size> dk,
                                           byte_span c)
{
    shake_state j(shake_state::variant::shake256);
    j.absorb(dk.last(32));
    j.absorb(c);
    std::array<std::uint8_t, 32> out{};
    j.squeeze(out);
    return out;
}

TEST(ml_kem_768, random_keys_round_trip_and_reject_tampering)
{
    for (int round = 0; round < 5; ++round) {
        ml_kem_768_key_pair pair;
        ASSERT_TRUE(pair.generate());
        std::array<std::uint8_t, ml_kem_768_ciphertext_size> c{};
        std::array<std::uint8_t, 32> sent{};
        ASSERT_TRUE(ml_kem_768_encapsulate(bytes(pair.encapsulation_key().begin(), pair.encapsulation_key().end()), c,
                                           sent));
        std::array<std::uint8_t, 32> received{};
        std::array<std::uint8_t, 32> from_bytes{};
        ASSERT_TRUE(pair.decapsulate(c, received));
        ASSERT_TRUE(ml_kem_768_decapsulate(pair.decapsulation_key(), c, from_bytes));
        EXPECT_EQ(received, sent);
        EXPECT_EQ(from_bytes, sent);

        // One flipped bit anywhere (here in u, then in v) selects J(z, c'), on both paths.
        for (const std::size_t at : {static_cast<std::size_t>(round * 97), static_cast<std::size_t>(1000 + round)}) {
            auto tampered = c;
            tampered[at] ^= static_cast<std::uint8_t>(1u << round);
            std::array<std::uint8_t, 32> rejected{};
            ASSERT_TRUE(pair.decapsulate(tampered, rejected));
            EXPECT_NE(rejected, sent);
            EXPECT_EQ(rejected, rejection_key(pair.decapsulation_key(), tampered));
            ASSERT_TRUE(ml_kem_768_decapsulate(pair.decapsulation_key(), tampered, from_bytes));
            EXPECT_EQ(from_bytes, rejected);
        }
    }
}

TEST(ml_kem_768, refuses_wrong_lengths_and_unreduced_keys)
{
    ml_kem_768_key_pair pair;
    std::array<std::uint8_t, 32> out{};
    out.fill(0x55);
    EXPECT_FALSE(pair.decapsulate(bytes(ml_kem_768_ciphertext_size), out)) << "no key yet";
    EXPECT_EQ(out, (std::array<std::uint8_t, 32>{}));

    ASSERT_TRUE(pair.generate());
    for (const std::size_t size : {std::size_t{0}, ml_kem_768_ciphertext_size - 1, ml_kem_768_ciphertext_size + 1}) {
        out.fill(0x55);
        EXPECT_FALSE(pair.decapsulate(bytes(size, 1), out)) << size;
        EXPECT_EQ(out, (std::array<std::uint8_t, 32>{}));
        EXPECT_FALSE(ml_kem_768_decapsulate(pair.decapsulation_key(), bytes(size, 1), out)) << size;
    }

    bytes ek(pair.encapsulation_key().begin(), pair.encapsulation_key().end());
    std::array<std::uint8_t, ml_kem_768_ciphertext_size> c{};
    EXPECT_FALSE(ml_kem_768_encapsulate(byte_span(ek).first(ek.size() - 1), c, out));
    EXPECT_FALSE(ml_kem_768_encapsulate(bytes(ek.size() + 1), c, out));

    // The modulus check: the last coefficient of t-hat set to q - 1 passes, to q fails (its 12
    // bits are the high half of byte 1150 and byte 1151).
    const auto set_last_coefficient = [&ek](unsigned value) {
        ek[1150] = static_cast<std::uint8_t>((ek[1150] & 0x0f) | ((value & 0x0f) << 4));
        ek[1151] = static_cast<std::uint8_t>(value >> 4);
    };
    set_last_coefficient(3328);
    EXPECT_TRUE(ml_kem_768_encapsulate(ek, c, out));
    set_last_coefficient(3329);
    c.fill(0x55);
    out.fill(0x55);
    EXPECT_FALSE(ml_kem_768_encapsulate(ek, c, out));
    EXPECT_EQ(out, (std::array<std::uint8_t, 32>{}));
    EXPECT_EQ(c, (std::array<std::uint8_t, ml_kem_768_ciphertext_size>{}));
    const std::array<std::uint8_t, 32> m{};
    EXPECT_FALSE(ml_kem_768_encapsulate_internal(ek, m, c, out));
}

TEST(ml_kem_768, fresh_keys_differ_and_carry_their_hash)
{
    ml_kem_768_key_pair first;
    ml_kem_768_key_pair second;
    ASSERT_TRUE(first.generate());
    ASSERT_TRUE(second.generate());
    EXPECT_FALSE(std::equal(first.encapsulation_key().begin(), first.encapsulation_key().end(),
                            second.encapsulation_key().begin()));
    EXPECT_TRUE(ml_kem_768_check_decapsulation_key(first.decapsulation_key()));
    auto damaged = fixed<ml_kem_768_decapsulation_key_size>(
        bytes(first.decapsulation_key().begin(), first.decapsulation_key().end()));
    damaged[1200] ^= 1;  // inside the embedded encapsulation key
    EXPECT_FALSE(ml_kem_768_check_decapsulation_key(damaged));
}

}  // namespace
}  // namespace pelto
