#include "crypto/sha3.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/encoding.h"

namespace pelto {
namespace {

// FIPS 202 example values: the empty message, "abc", and 200 bytes of 0xa3 (longer than every
// rate, so absorbing crosses a block boundary).
const bytes a3_message(200, 0xa3);

bytes shake(shake_state::variant v, byte_span message, std::size_t length)
{
    shake_state state(v);
    state.absorb(message);
    bytes out(length);
    state.squeeze(out);
    return out;
}

TEST(sha3, matches_the_published_examples)
{
    EXPECT_EQ(hex_encode(sha3_256({})), "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a");
    EXPECT_EQ(hex_encode(sha3_256(as_bytes("abc"))),
              "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532");
    EXPECT_EQ(hex_encode(sha3_256(a3_message)), "79f38adec5c20307a98ef76e8324afbfd46cfd81b22e3973c65fa1bd9de31787");
    EXPECT_EQ(hex_encode(sha3_512({})),
              "a69f73cca23a9ac5c8b567dc185a756e97c982164fe25859e0d1dcc1475c80a615b2123af1f5f94c11e3e9402c3ac558f500199d9"
              "5b6d3e301758586281dcd26");
    EXPECT_EQ(hex_encode(sha3_512(as_bytes("abc"))),
              "b751850b1a57168a5693cd924b6b096e08f621827444f70d884f5d0240d2712e10e116e9192af3c91a7ec57647e3934057340b4cf"
              "408d5a56592f8274eec53f0");
    EXPECT_EQ(hex_encode(sha3_512(a3_message)),
              "e76dfad22084a8b1467fcf2ffa58361bec7628edf5f3fdc0e4805dc48caeeca81b7c13c30adf52a3659584739a2df46be589c51ca"
              "1a4a8416df6545a1ce8ba00");
}

TEST(shake, matches_the_published_examples)
{
    EXPECT_EQ(hex_encode(shake(shake_state::variant::shake128, {}, 32)),
              "7f9c2ba4e88f827d616045507605853ed73b8093f6efbc88eb1a6eacfa66ef26");
    EXPECT_EQ(hex_encode(shake(shake_state::variant::shake256, {}, 64)),
              "46b9dd2b0ba88d13233b3feb743eeb243fcd52ea62b81b82b50c27646ed5762fd75dc4ddd8c0f200cb05019d67b592f6fc821c494"
              "79ab48640292eacb3b7c4be");
    // 512 output bytes: squeezing runs through several permutations. The last 32 bytes of each.
    const bytes long128 = shake(shake_state::variant::shake128, a3_message, 512);
    const bytes long256 = shake(shake_state::variant::shake256, a3_message, 512);
    EXPECT_EQ(hex_encode(byte_span(long128).first(16)), "131ab8d2b594946b9c81333f9bb6e0ce");
    EXPECT_EQ(hex_encode(byte_span(long128).last(32)),
              "44c9fb359fd56ac0a9a75a743cff6862f17d7259ab075216c0699511643b6439");
    EXPECT_EQ(hex_encode(byte_span(long256).first(16)), "cd8a920ed141aa0407a22d59288652e9");
    EXPECT_EQ(hex_encode(byte_span(long256).last(32)),
              "6a1a9d7846436e4dca5728b6f760eef0ca92bf0be5615e96959d767197a0beeb");
}

// Absorbing and squeezing in pieces of every size from 1 to 300 gives the bytes of one call.
TEST(shake, pieces_equal_one_call)
{
    bytes message(777);
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    for (const auto v : {shake_state::variant::shake128, shake_state::variant::shake256}) {
        const bytes whole = shake(v, message, 1000);
        for (std::size_t piece : {1u, 5u, 8u, 13u, 136u, 168u, 300u}) {
            shake_state state(v);
            for (std::size_t at = 0; at < message.size(); at += piece) {
                state.absorb(byte_span(message).subspan(at, std::min(piece, message.size() - at)));
            }
            bytes out(whole.size());
            for (std::size_t at = 0; at < out.size(); at += piece) {
                state.squeeze(std::span(out).subspan(at, std::min(piece, out.size() - at)));
            }
            EXPECT_EQ(out, whole) << "piece " << piece;
        }
    }
}

TEST(sha3, incremental_updates_equal_one_call)
{
    const bytes message(1000, 0x5c);
    sha3_state state(sha3_state::variant::sha3_512);
    for (std::size_t at = 0; at < message.size(); at += 71) {
        state.update(byte_span(message).subspan(at, std::min<std::size_t>(71, message.size() - at)));
    }
    sha3_512_digest out;
    state.final(out);
    EXPECT_EQ(out, sha3_512(message));
}

}  // namespace
}  // namespace pelto
