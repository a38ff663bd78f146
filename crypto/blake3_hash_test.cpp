#include "crypto/blake3_hash.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/encoding.h"

namespace pelto {
namespace {

struct blake3_vector {
    std::size_t length;
    const char* hash;
    const char* derive_key;
};

// The BLAKE3 project's test vectors: input byte i is i % 251; derive_key uses the input as key
// material with the vectors' context string.
constexpr blake3_vector vectors[] = {
    {0, "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262",
     "2cc39783c223154fea8dfb7c1b1660f2ac2dcbd1c1de8277b0b0dd39b7e50d7d"},
    {1, "2d3adedff11b61f14c886e35afa036736dcd87a74d27b5c1510225d0f592e213",
     "b3e2e340a117a499c6cf2398a19ee0d29cca2bb7404c73063382693bf66cb06c"},
    {1023, "10108970eeda3eb932baac1428c7a2163b0e924c9a9e25b35bba72b28f70bd11",
     "74a16c1c3d44368a86e1ca6df64be6a2f64cce8f09220787450722d85725dea5"},
    {1024, "42214739f095a406f3fc83deb889744ac00df831c10daa55189b5d121c855af7",
     "7356cd7720d5b66b6d0697eb3177d9f8d73a4a5c5e968896eb6a689684302706"},
    {1025, "d00278ae47eb27b34faecf67b4fe263f82d5412916c1ffd97c8cb7fb814b8444",
     "effaa245f065fbf82ac186839a249707c3bddf6d3fdda22d1b95a3c970379bcb"},
    {2048, "e776b6028c7cd22a4d0ba182a8bf62205d2ef576467e838ed6f2529b85fba24a",
     "7b2945cb4fef70885cc5d78a87bf6f6207dd901ff239201351ffac04e1088a23"},
    {3072, "b98cb0ff3623be03326b373de6b9095218513e64f1ee2edd2525c7ad1e5cffd2",
     "050df97f8c2ead654d9bb3ab8c9178edcd902a32f8495949feadcc1e0480c46b"},
    {4097, "9b4052b38f1c5fc8b1f9ff7ac7b27cd242487b3d890d15c96a1c25b8aa0fb995",
     "aca51029626b55fda7117b42a7c211f8c6e9ba4fe5b7a8ca922f34299500ead8"},
    {31744, "62b6960e1a44bcc1eb1a611a8d6235b6b4b78f32e7abc4fb4c6cdcce94895c47",
     "39772aef80e0ebe60596361e45b061e8f417429d529171b6764468c22928e28e"},
};

TEST(blake3, official_vectors_for_hash_and_derive_key)
{
    const std::string context = "BLAKE3 2019-12-27 16:29:52 test vectors context";
    for (const blake3_vector& v : vectors) {
        bytes input(v.length);
        for (std::size_t i = 0; i < input.size(); ++i) {
            input[i] = static_cast<std::uint8_t>(i % 251);
        }
        EXPECT_EQ(hex_encode(blake3_hash(input)), v.hash) << v.length;
        EXPECT_EQ(hex_encode(blake3_derive_key(context, input)), v.derive_key) << v.length;
    }
}

}  // namespace
}  // namespace pelto
