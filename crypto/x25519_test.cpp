#include "crypto/x25519.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(x25519, rfc7748_section_5_2_vectors)
{
    EXPECT_EQ(hex_encode(x25519(key("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4"),
                             key("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c"))),
              "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552");
    // This u has its top bit set, which must be ignored.
    EXPECT_EQ(hex_encode(x25519(key("4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d"),
                             key("e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493"))),
              "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957");
    x25519_bytes cleared = key("e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493");
    cleared[31] &= 0x7f;
    EXPECT_EQ(hex_encode(x25519(key("4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d"), cleared)),
              "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957");
}

// The iterated test: k and u start as 9; each round k, u = X25519(k, u), k.
TEST(x25519, rfc7748_iterations_1_and_1000)
{
    x25519_bytes k{};
    k[0] = 9;
    x25519_bytes u = k;
    for (int i = 1; i <= 1000; ++i) {
        const x25519_bytes r = x25519(k, u);
        u = k;
        k = r;
        if (i == 1) {
            EXPECT_EQ(hex_encode(k), "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079");
        }
    }
    EXPECT_EQ(hex_encode(k), "684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51");
}

TEST(x25519, rfc7748_section_6_1_diffie_hellman)
{
    const x25519_bytes alice = key("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    const x25519_bytes bob = key("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
    x25519_bytes nine{};
    nine[0] = 9;
    const x25519_bytes alice_public = x25519(alice, nine);
    const x25519_bytes bob_public = x25519(bob, nine);
    EXPECT_EQ(hex_encode(alice_public), "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    EXPECT_EQ(hex_encode(bob_public), "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    const std::string shared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";
    EXPECT_EQ(hex_encode(x25519(alice, bob_public)), shared);
    EXPECT_EQ(hex_encode(x25519(bob, alice_public)), shared);
}

// Non-canonical and extreme u values (p, p + 1, 2^255 - 1) reduce like the canonical ones: p is
// 0 and p + 1 is 1, both low-order points with a zero result, and 2^255 - 1 is 18.
TEST(x25519, non_canonical_u_reduces_mod_p)
{
    const x25519_bytes scalar = key("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4");
    EXPECT_EQ(x25519(scalar, key("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")), x25519_bytes{});
    EXPECT_EQ(x25519(scalar, key("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")), x25519_bytes{});
    EXPECT_EQ(x25519(scalar, x25519_bytes{}), x25519_bytes{});
    x25519_bytes eighteen{};
    eighteen[0] = 18;
    EXPECT_EQ(x25519(scalar, key("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")),
              x25519(scalar, eighteen));
    // p + 9 is the base point again.
    x25519_bytes nine{};
    nine[0] = 9;
    EXPECT_EQ(x25519(scalar, key("f6ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")),
              x25519(scalar, nine));
}

// The fixed-base table gives what the ladder gives for u = 9: the RFC's keys, scalars whose
// signed digits sit at the ends of their range (all bits set, all clear, alternating nibbles of 8
// and 7, which carry through every digit), and random ones.
TEST(x25519, fixed_base_equals_the_ladder)
{
    x25519_bytes nine{};
    nine[0] = 9;
    EXPECT_EQ(hex_encode(x25519_base(key("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"))),
              "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    EXPECT_EQ(hex_encode(x25519_base(key("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"))),
              "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    std::vector<x25519_bytes> scalars;
    x25519_bytes all{};
    all.fill(0xFF);
    scalars.push_back(all);
    scalars.push_back(x25519_bytes{});
    x25519_bytes eights{};
    eights.fill(0x88);
    scalars.push_back(eights);
    x25519_bytes sevens{};
    sevens.fill(0x78);
    scalars.push_back(sevens);
    for (int i = 0; i < 200; ++i) {
        x25519_bytes k;
        random_bytes(k);
        scalars.push_back(k);
    }
    for (const x25519_bytes& k : scalars) {
        ASSERT_EQ(hex_encode(x25519_base(k)), hex_encode(x25519(k, nine))) << hex_encode(k);
    }
}

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
