#include "crypto/sha512.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/encoding.h"

namespace pelto {
namespace {

// The two-block message of FIPS 180-4's SHA-384/512 examples (112 bytes).
constexpr std::string_view two_block_message =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

TEST(sha512, matches_fips_180_4_examples)
{
    EXPECT_EQ(hex_encode(sha512({})),
              "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd4"
              "7417a81a538327af927da3e");
    EXPECT_EQ(hex_encode(sha512(as_bytes("abc"))),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d44236"
              "43ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(hex_encode(sha512(as_bytes(two_block_message))),
              "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb"
              "6dd26545e96e55b874be909");
}

TEST(sha384, matches_fips_180_4_examples)
{
    EXPECT_EQ(hex_encode(sha384({})),
              "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b");
    EXPECT_EQ(hex_encode(sha384(as_bytes("abc"))),
              "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7");
    EXPECT_EQ(hex_encode(sha384(as_bytes(two_block_message))),
              "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039");
}

// A million "a" fed in pieces of awkward sizes crosses every fill level of the block buffer.
TEST(sha512, million_a_in_odd_pieces)
{
    const std::string chunk(997, 'a');
    sha512_state state512;
    sha512_state state384(sha512_state::variant::sha384);
    std::size_t left = 1000000;
    std::size_t piece = 1;
    while (left > 0) {
        const std::size_t n = std::min({piece, left, chunk.size()});
        state512.update(as_bytes(std::string_view(chunk).substr(0, n)));
        state384.update(as_bytes(std::string_view(chunk).substr(0, n)));
        left -= n;
        piece = piece * 3 % 997 + 1;
    }
    EXPECT_EQ(hex_encode(state512.final()),
              "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2"
              "c49aa2e4eadb217ad8cc09b");
    EXPECT_EQ(hex_encode(state384.final384()),
              "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985");
}

// Lengths around the padding boundary (111, 112 bytes: the length field no longer fits).
TEST(sha384, transcript_can_be_read_repeatedly_and_continued)
{
    sha512_state transcript(sha512_state::variant::sha384);
    transcript.update(as_bytes(two_block_message.substr(0, 111)));
    const sha384_digest first = transcript.final384();
    EXPECT_EQ(transcript.final384(), first);
    EXPECT_EQ(first, sha384(as_bytes(two_block_message.substr(0, 111))));
    transcript.update(as_bytes(two_block_message.substr(111)));
    EXPECT_EQ(hex_encode(transcript.final384()),
              "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039");
}

}  // namespace
}  // namespace pelto
