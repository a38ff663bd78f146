#include "crypto/hmac.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "crypto/encoding.h"
#include "crypto/sha256.h"
#include "crypto/test_hex.h"

namespace pelto {
namespace {

using test::from_hex;

struct hmac_case {
    bytes key;
    bytes data;
    std::string sha256;  // expected, possibly truncated (case 5)
    std::string sha512;
    std::string sha384;
};

bytes text(std::string_view s)
{
    return bytes(s.begin(), s.end());
}

bytes key_1_to_25()
{
    bytes k;
    for (int i = 1; i <= 25; ++i) {
        k.push_back(static_cast<std::uint8_t>(i));
    }
    return k;
}

// RFC 4231 section 4, test cases 1 to 7.
const std::vector<hmac_case>& rfc4231_cases()
{
    static const std::vector<hmac_case> cases = {
        {bytes(20, 0x0b), text("Hi There"), "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f17"
         "02e696c203a126854",
         "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6"},
        {text("Jefe"), text("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4"
         "b636e070a38bce737",
         "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649"},
        {bytes(20, 0xaa), bytes(50, 0xdd), "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe",
         "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39bf3e848279a722c806b485a47e67c807b946a337bee8942"
         "674278859e13292fb",
         "88062608d3e6ad8a0aa2ace014c8a86f0aa635d947ac9febe83ef4e55966144b2a5ab39dc13814b94e3ab6e101a34f27"},
        {key_1_to_25(), bytes(50, 0xcd), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b",
         "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3dba91ca5c11aa25eb4d679275cc5788063a5f19741120c4f2"
         "de2adebeb10a298dd",
         "3e8a69b7783c25851933ab6290af6ca77a9981480850009cc5577c6e1f573b4e6801dd23c4a7d679ccf8a386c674cffb"},
        {bytes(20, 0x0c), text("Test With Truncation"), "a3b6167473100ee06e0c796c2955552b",
         "415fad6271580a531d4179bc891d87a6",
         "3abf34c3503b2a23a46efc619baef897"},
        {bytes(131, 0xaa), text("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54",
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0ae"
         "c8b915a985d786598",
         "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952"},
        {bytes(131, 0xaa),
         text("This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
              "hashed before being used by the HMAC algorithm."),
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2",
         "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944b6022cac3c4982b10d5eeb55c3e4de15134676fb6de0446"
         "065c97440fa8c6a58",
         "6617178e941f020d351e2f254e8fd32c602420feb0b8fb9adccebb82461e99c5a678cc31e799176d3860e6110c46523e"},
    };
    return cases;
}

TEST(hmac, rfc4231_sha256_sha384_and_sha512)
{
    int number = 1;
    for (const hmac_case& c : rfc4231_cases()) {
        std::array<std::uint8_t, 32> out256{};
        std::array<std::uint8_t, 48> out384{};
        std::array<std::uint8_t, 64> out512{};
        ASSERT_TRUE(hmac(hash_algorithm::sha256, c.key, c.data, out256)) << number;
        ASSERT_TRUE(hmac(hash_algorithm::sha384, c.key, c.data, out384)) << number;
        ASSERT_TRUE(hmac(hash_algorithm::sha512, c.key, c.data, out512)) << number;
        EXPECT_EQ(hex_encode(out256).substr(0, c.sha256.size()), c.sha256) << "case " << number;
        EXPECT_EQ(hex_encode(out384).substr(0, c.sha384.size()), c.sha384) << "case " << number;
        EXPECT_EQ(hex_encode(out512).substr(0, c.sha512.size()), c.sha512) << "case " << number;
        ++number;
    }
}

TEST(hmac, reports_failure_instead_of_returning_zero_bytes)
{
    std::array<std::uint8_t, 32> out;
    out.fill(0x5a);
    std::array<std::uint8_t, 64> wide{};
    const bytes key(16, 1);
    // Wrong output size for the algorithm.
    EXPECT_FALSE(hmac(hash_algorithm::sha512, key, key, out));
    EXPECT_FALSE(hmac(hash_algorithm::sha256, key, key, wide));
    EXPECT_FALSE(hmac(hash_algorithm::sha384, key, key, wide));
    // An algorithm the provider does not know.
    EXPECT_FALSE(hmac(static_cast<hash_algorithm>(7), key, key, out));
    EXPECT_EQ(hmac_size(static_cast<hash_algorithm>(7)), 0u);
}

TEST(hmac, empty_data_and_empty_key_are_valid_inputs)
{
    // HMAC-SHA256 with an empty key of empty data, a well-known value.
    std::array<std::uint8_t, 32> out{};
    ASSERT_TRUE(hmac(hash_algorithm::sha256, {}, {}, out));
    EXPECT_EQ(hex_encode(out), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

struct hkdf_case {
    bytes ikm;
    bytes salt;
    bytes info;
    std::size_t length;
    std::string okm;
};

bytes range(int first, int last)
{
    bytes out;
    for (int i = first; i <= last; ++i) {
        out.push_back(static_cast<std::uint8_t>(i));
    }
    return out;
}

TEST(hkdf_sha256, rfc5869_cases_1_to_3)
{
    const std::vector<hkdf_case> cases = {
        {bytes(22, 0x0b), range(0x00, 0x0c), range(0xf0, 0xf9), 42,
         "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
        {range(0x00, 0x4f), range(0x60, 0xaf), range(0xb0, 0xff), 82,
         "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09da3275600c2f09b8"
         "367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
        {bytes(22, 0x0b), {}, {}, 42,
         "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
    };
    for (const hkdf_case& c : cases) {
        bytes okm;
        ASSERT_TRUE(hkdf_sha256(c.ikm, c.salt, c.info, c.length, okm));
        EXPECT_EQ(hex_encode(okm), c.okm);
    }
}

TEST(hkdf_sha256, empty_salt_equals_32_zero_bytes)
{
    const bytes ikm = from_hex("000102030405");
    bytes with_empty;
    bytes with_zeros;
    ASSERT_TRUE(hkdf_sha256(ikm, {}, as_bytes("info"), 50, with_empty));
    ASSERT_TRUE(hkdf_sha256(ikm, bytes(32, 0), as_bytes("info"), 50, with_zeros));
    EXPECT_EQ(with_empty, with_zeros);
}

// The counter byte allows 255 blocks; a longer request must fail rather than wrap and repeat.
TEST(hkdf_sha256, output_length_limit_is_enforced)
{
    bytes okm;
    ASSERT_TRUE(hkdf_sha256(bytes(32, 1), {}, {}, 255 * 32, okm));
    EXPECT_EQ(okm.size(), 255u * 32);
    EXPECT_FALSE(hkdf_sha256(bytes(32, 1), {}, {}, 255 * 32 + 1, okm));
    EXPECT_TRUE(okm.empty());
    ASSERT_TRUE(hkdf_sha256(bytes(32, 1), {}, {}, 0, okm));
    EXPECT_TRUE(okm.empty());
}

TEST(hkdf_expand_label, rejects_labels_and_contexts_beyond_one_length_byte)
{
    bytes out;
    const bytes secret(32, 7);
    EXPECT_FALSE(hkdf_expand_label(secret, std::string(250, 'x'), {}, 32, out));
    EXPECT_FALSE(hkdf_expand_label(secret, "key", bytes(256, 0), 32, out));
    EXPECT_TRUE(hkdf_expand_label(secret, "key", bytes(255, 0), 32, out));
}

// HKDF-SHA384 cases of Wycheproof's hkdf_sha384_test.json (tcId 3: empty salt over two blocks,
// 12: salt and info, 23: a salt longer than the hash block), on the platform's HMAC-SHA384.
TEST(hkdf, sha384_published_cases)
{
    const std::vector<hkdf_case> cases = {
        {from_hex("d4dcb92a769f57c8bab8a420ee0aa351"), {}, {}, 64,
         "8998abf032b4fbb29e431f0bf1544e19590ef4fc99e013db8d6ce0dc085660dd3f2432b5f9cdcc44cb6ce0053e7eb43c0375ac7efba148"
         "ece8688e637a5759f6"},
        {from_hex("8677dc79233ef3480777c4c601ef4f0b"), from_hex("ad88db718244e2cb60e35f874d7ad81f"),
         from_hex("a38f634d947819a9bfa792174b42baa20c9fce15"), 64,
         "758546362a070c0f13cbfbf1756e8f29b7819fb903c7ed4f97a56be3c8f81e8c37aef5c0f8e5d2b17eb1aa02ec04c33f546cb2f3d193e9"
         "30a9f89ec9ce3a82b5"},
        {from_hex("5943c65bc33bf05a205b04be8ae0ab2e"),
         from_hex("329f445e7de8a156cf26a0208dbb028d9de6ef76b8de67ca634f4a5a732138a1bd436a7b345d7a0314c7ed0a00b0d34ecad2cb8b"
                  "d141e2ecc1c77e237094d55154"),
         from_hex("be082f301a03f87787a80fbea88941214d50c42b"), 32,
         "94190f4f21f412c1d9358264a9dbb5035f94f39f5a503c0f54189b1dff1df637"},
    };
    for (const hkdf_case& c : cases) {
        std::array<std::uint8_t, 48> prk{};
        bytes okm;
        ASSERT_TRUE(hkdf_extract(hash_algorithm::sha384, c.salt, c.ikm, prk));
        ASSERT_TRUE(hkdf_expand(hash_algorithm::sha384, prk, c.info, c.length, okm));
        EXPECT_EQ(hex_encode(okm), c.okm);
    }
}

TEST(hkdf, general_forms_check_sizes_and_limits)
{
    std::array<std::uint8_t, 48> prk384{};
    std::array<std::uint8_t, 32> prk256{};
    // The pseudorandom key has the hash's size; an empty salt is that many zero bytes.
    EXPECT_FALSE(hkdf_extract(hash_algorithm::sha384, {}, as_bytes("ikm"), prk256));
    EXPECT_FALSE(hkdf_extract(static_cast<hash_algorithm>(7), {}, as_bytes("ikm"), prk256));
    ASSERT_TRUE(hkdf_extract(hash_algorithm::sha384, {}, as_bytes("ikm"), prk384));
    std::array<std::uint8_t, 48> with_zeros{};
    ASSERT_TRUE(hkdf_extract(hash_algorithm::sha384, bytes(48, 0), as_bytes("ikm"), with_zeros));
    EXPECT_EQ(prk384, with_zeros);
    bytes okm;
    EXPECT_TRUE(hkdf_expand(hash_algorithm::sha384, prk384, {}, 255 * 48, okm));
    EXPECT_EQ(okm.size(), 255u * 48);
    EXPECT_FALSE(hkdf_expand(hash_algorithm::sha384, prk384, {}, 255 * 48 + 1, okm));
    EXPECT_TRUE(okm.empty());
    // The SHA-256 forms are the general ones with SHA-256.
    ASSERT_TRUE(hkdf_extract(hash_algorithm::sha256, {}, as_bytes("ikm"), prk256));
    std::array<std::uint8_t, 32> fixed{};
    ASSERT_TRUE(hkdf_extract_sha256({}, as_bytes("ikm"), fixed));
    EXPECT_EQ(prk256, fixed);
    bytes general;
    bytes sha256_form;
    ASSERT_TRUE(hkdf_expand_label(hash_algorithm::sha256, prk256, "key", as_bytes("ctx"), 16, general));
    ASSERT_TRUE(hkdf_expand_label(prk256, "key", as_bytes("ctx"), 16, sha256_form));
    EXPECT_EQ(general, sha256_form);
    ASSERT_TRUE(hkdf_expand_label(hash_algorithm::sha384, prk384, "key", as_bytes("ctx"), 32, general));
    EXPECT_NE(bytes(general.begin(), general.begin() + 16), sha256_form);
}

// RFC 8448 section 3, "Simple 1-RTT Handshake": the key schedule from the (EC)DHE shared secret
// and the transcript hashes it publishes.
TEST(hkdf_expand_label, reproduces_the_rfc8448_key_schedule)
{
    const sha256_digest empty_hash = sha256({});
    auto derive_secret = [](byte_span secret, std::string_view label, byte_span transcript_hash) {
        bytes out;
        EXPECT_TRUE(hkdf_expand_label(secret, label, transcript_hash, 32, out));
        return out;
    };
    auto extract = [](byte_span salt, byte_span ikm) {
        std::array<std::uint8_t, 32> prk{};
        EXPECT_TRUE(hkdf_extract_sha256(salt, ikm, prk));
        return bytes(prk.begin(), prk.end());
    };

    const bytes early = extract(bytes(32, 0), bytes(32, 0));
    EXPECT_EQ(hex_encode(early), "33ad0a1c607ec03b09e6cd9893680ce210adf300aa1f2660e1b22e10f170f92a");
    const bytes derived = derive_secret(early, "derived", empty_hash);
    EXPECT_EQ(hex_encode(derived), "6f2615a108c702c5678f54fc9dbab69716c076189c48250cebeac3576c3611ba");

    const bytes shared = from_hex("8bd4054fb55b9d63fdfbacf9f04b9f0d35e6d63f537563efd46272900f89492d");
    const bytes handshake = extract(derived, shared);
    EXPECT_EQ(hex_encode(handshake), "1dc826e93606aa6fdc0aadc12f741b01046aa6b99f691ed221a9f0ca043fbeac");

    const bytes hello_hash = from_hex("860c06edc07858ee8e78f0e7428c58edd6b43f2ca3e6e95f02ed063cf0e1cad8");
    EXPECT_EQ(hex_encode(derive_secret(handshake, "c hs traffic", hello_hash)),
              "b3eddb126e067f35a780b3abf45e2d8f3b1a950738f52e9600746a0e27a55a21");
    const bytes server_hs = derive_secret(handshake, "s hs traffic", hello_hash);
    EXPECT_EQ(hex_encode(server_hs), "b67b7d690cc16c4e75e54213cb2d37b4e9c912bcded9105d42befd59d391ad38");

    // Traffic key and IV of the server's handshake direction (lengths 16 and 12, empty context).
    bytes key;
    bytes iv;
    ASSERT_TRUE(hkdf_expand_label(server_hs, "key", {}, 16, key));
    ASSERT_TRUE(hkdf_expand_label(server_hs, "iv", {}, 12, iv));
    EXPECT_EQ(hex_encode(key), "3fce516009c21727d0f2e4e86ee403bc");
    EXPECT_EQ(hex_encode(iv), "5d313eb2671276ee13000b30");

    const bytes derived2 = derive_secret(handshake, "derived", empty_hash);
    EXPECT_EQ(hex_encode(derived2), "43de77e0c77713859a944db9db2590b53190a65b3ee2e4f12dd7a0bb7ce254b4");
    const bytes master = extract(derived2, bytes(32, 0));
    EXPECT_EQ(hex_encode(master), "18df06843d13a08bf2a449844c5f8a478001bc4d4c627984d5a41da8d0402919");

    const bytes finished_hash = from_hex("9608102a0f1ccc6db6250b7b7e417b1a000eaada3daae4777a7686c9ff83df13");
    EXPECT_EQ(hex_encode(derive_secret(master, "c ap traffic", finished_hash)),
              "9e40646ce79a7f9dc05af8889bce6552875afa0b06df0087f792ebb7c17504a5");
}

}  // namespace
}  // namespace pelto
