#include "crypto/encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace pelto {
namespace {

TEST(base64, encodes_rfc4648_vectors_with_padding)
{
    EXPECT_EQ(base64_encode(as_bytes("")), "");
    EXPECT_EQ(base64_encode(as_bytes("f")), "Zg==");
    EXPECT_EQ(base64_encode(as_bytes("fo")), "Zm8=");
    EXPECT_EQ(base64_encode(as_bytes("foo")), "Zm9v");
    EXPECT_EQ(base64_encode(as_bytes("foobar")), "Zm9vYmFy");
    const bytes sixteen(16, 0xFB);
    const std::string text = base64_encode(sixteen);
    EXPECT_EQ(text.size(), 24u);
    EXPECT_EQ(text.substr(20), "+w==");
}

TEST(base64, round_trips_every_byte_value_and_tail_length)
{
    bytes all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<std::uint8_t>(i));
    }
    for (std::size_t n = 0; n <= 6; ++n) {
        const bytes part(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(250 + n));
        EXPECT_EQ(base64_decode(base64_encode(part)), part) << n;
    }
}

TEST(base64, decoder_ignores_line_breaks_and_noise)
{
    bytes data;
    for (int i = 0; i < 200; ++i) {
        data.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    }
    const std::string plain = base64_encode(data);
    std::string wrapped;
    for (std::size_t i = 0; i < plain.size(); i += 76) {
        wrapped += plain.substr(i, 76) + "\r\n";
    }
    EXPECT_EQ(base64_decode(wrapped), data);
    EXPECT_EQ(base64_decode(" Zm9v\tYm Fy\n!*"), bytes({'f', 'o', 'o', 'b', 'a', 'r'}));
}

TEST(base64, decoder_accepts_url_safe_text_without_padding)
{
    const bytes data = {0xFB, 0xFF, 0xBF, 0xFE, 0x3E};
    EXPECT_EQ(base64_encode(data), "+/+//j4=");
    EXPECT_EQ(base64_decode("-_-__j4"), data);
}

TEST(base64, short_inputs_pad_to_one_group)
{
    EXPECT_TRUE(base64_decode("").empty());
    EXPECT_EQ(base64_decode("Zg").size(), 1u);
    EXPECT_EQ(base64_decode("Z").size(), 1u);  // one symbol still forms a group once padded
    EXPECT_EQ(base64_decode("Zm8"), bytes({'f', 'o'}));
}

TEST(hex, encodes_lower_case_high_nibble_first)
{
    EXPECT_EQ(hex_encode(bytes{0x00, 0x0F, 0xA5, 0xFF}), "000fa5ff");
    EXPECT_EQ(hex_encode({}), "");
}

}  // namespace
}  // namespace pelto
