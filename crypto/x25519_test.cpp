#include "crypto/x25519.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/encoding.h"
#include "crypto/random.h"
#include "crypto/test_hex.h"

namespace pelto {
namespace {

x25519_bytes key(std::string_view text)
{
    const bytes b = test::from_hex(text);
    x25519_bytes out{};
    std::copy(b.begin(), b.end(), out.begin());
    return out;
}

// Every test runs on both field-multiplication paths.
class x25519_paths : public testing::TestWithParam<field_path> {
protected:
    void SetUp() override
    {
        if (!x25519_path_available(GetParam())) {
            GTEST_SKIP() << "this processor cannot run the vectorised path";
        }
    }
    x25519_bytes run(const x25519_bytes& scalar, const x25519_bytes& u) const
    {
        return x25519_on_path(GetParam(), scalar, u);
    }
};

TEST_P(x25519_paths, rfc7748_section_5_2_vectors)
{
    EXPECT_EQ(hex_encode(run(key("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4"),
                             key("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c"))),
              "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552");
    // This u has its top bit set, which must be ignored.
    EXPECT_EQ(hex_encode(run(key("4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d"),
                             key("e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493"))),
              "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957");
    x25519_bytes cleared = key("e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493");
    cleared[31] &= 0x7f;
    EXPECT_EQ(hex_encode(run(key("4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d"), cleared)),
              "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957");
}

// The iterated test: k and u start as 9; each round k, u = X25519(k, u), k.
TEST_P(x25519_paths, rfc7748_iterations_1_and_1000)
{
    x25519_bytes k{};
    k[0] = 9;
    x25519_bytes u = k;
    for (int i = 1; i <= 1000; ++i) {
        const x25519_bytes r = run(k, u);
        u = k;
        k = r;
        if (i == 1) {
            EXPECT_EQ(hex_encode(k), "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079");
        }
    }
    EXPECT_EQ(hex_encode(k), "684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51");
}

TEST_P(x25519_paths, rfc7748_section_6_1_diffie_hellman)
{
    const x25519_bytes alice = key("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    const x25519_bytes bob = key("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
    x25519_bytes nine{};
    nine[0] = 9;
    const x25519_bytes alice_public = run(alice, nine);
    const x25519_bytes bob_public = run(bob, nine);
    EXPECT_EQ(hex_encode(alice_public), "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    EXPECT_EQ(hex_encode(bob_public), "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    const std::string shared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";
    EXPECT_EQ(hex_encode(run(alice, bob_public)), shared);
    EXPECT_EQ(hex_encode(run(bob, alice_public)), shared);
}

// Non-canonical and extreme u values (p, p + 1, 2^255 - 1, 0) reduce like any other input and
// both paths agree on them and on random inputs.
TEST_P(x25519_paths, agrees_with_the_scalar_path_on_edge_and_random_inputs)
{
    const x25519_bytes scalar = key("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4");
    const x25519_bytes edges[] = {
        key("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // p
        key("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // p + 1
        key("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // 2^255 - 1
        x25519_bytes{},
    };
    for (const x25519_bytes& u : edges) {
        EXPECT_EQ(run(scalar, u), x25519_on_path(field_path::scalar, scalar, u));
    }
    // u = p is 0 and u = p + 1 is 1: both are low-order points with a zero result.
    EXPECT_EQ(run(scalar, edges[0]), x25519_bytes{});
    EXPECT_EQ(run(scalar, edges[1]), x25519_bytes{});
    for (int i = 0; i < 20; ++i) {
        x25519_bytes k;
        x25519_bytes u;
        random_bytes(k);
        random_bytes(u);
        EXPECT_EQ(run(k, u), x25519_on_path(field_path::scalar, k, u));
    }
}

INSTANTIATE_TEST_SUITE_P(field, x25519_paths, testing::Values(field_path::scalar, field_path::vector),
                         [](const testing::TestParamInfo<field_path>& info) {
                             return info.param == field_path::scalar ? std::string("scalar") : std::string("vector");
                         });

TEST(x25519, keypair_public_key_is_the_base_point_multiple)
{
    const x25519_key_pair a = x25519_keypair();
    const x25519_key_pair b = x25519_keypair();
    EXPECT_NE(a.private_key, b.private_key);
    x25519_bytes nine{};
    nine[0] = 9;
    EXPECT_EQ(a.public_key, x25519(a.private_key, nine));
    EXPECT_EQ(x25519(a.private_key, b.public_key), x25519(b.private_key, a.public_key));
}

}  // namespace
}  // namespace pelto
