#include "crypto/sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/encoding.h"

namespace pelto {
namespace {

constexpr std::string_view two_block_message = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

TEST(sha256, matches_fips_180_4_examples)
{
    EXPECT_EQ(hex_encode(sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex_encode(sha256(as_bytes("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex_encode(sha256(as_bytes(two_block_message))),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(sha224, matches_fips_180_4_examples)
{
    EXPECT_EQ(hex_encode(sha224({})), "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f");
    EXPECT_EQ(hex_encode(sha224(as_bytes("abc"))), "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7");
    EXPECT_EQ(hex_encode(sha224(as_bytes(two_block_message))),
              "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525");
}

// A million "a" fed in pieces of awkward sizes crosses every fill level of the block buffer.
TEST(sha256, million_a_in_odd_pieces)
{
    const std::string chunk(997, 'a');
    sha256_state state256;
    sha256_state state224(sha256_state::variant::sha224);
    std::size_t left = 1000000;
    std::size_t piece = 1;
    while (left > 0) {
        const std::size_t n = std::min({piece, left, chunk.size()});
        state256.update(as_bytes(std::string_view(chunk).substr(0, n)));
        state224.update(as_bytes(std::string_view(chunk).substr(0, n)));
        left -= n;
        piece = piece * 3 % 997 + 1;
    }
    EXPECT_EQ(hex_encode(state256.final()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(hex_encode(state224.final224()), "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67");
}

TEST(sha256, transcript_can_be_read_repeatedly_and_continued)
{
    sha256_state transcript;
    transcript.update(as_bytes("ab"));
    const sha256_digest first = transcript.final();
    EXPECT_EQ(transcript.final(), first);
    EXPECT_EQ(first, sha256(as_bytes("ab")));
    transcript.update(as_bytes("c"));
    EXPECT_EQ(hex_encode(transcript.final()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace pelto
