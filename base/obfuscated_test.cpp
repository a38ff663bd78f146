#include "base/obfuscated.h"

#include <gtest/gtest.h>

namespace {

TEST(obfuscated_text, decodes_narrow_and_wide_literals_of_every_block_length)
{
    EXPECT_EQ(PELTO_TEXT("").str(), "");
    EXPECT_EQ(PELTO_TEXT("a").str(), "a");
    EXPECT_EQ(PELTO_TEXT("fifteen chars!!").str(), "fifteen chars!!");    // 15 + terminator = 16 bytes
    EXPECT_EQ(PELTO_TEXT("sixteen chars!!!").str(), "sixteen chars!!!");  // spills into a second block
    EXPECT_EQ(PELTO_TEXT(u"").str(), u"");
    EXPECT_EQ(PELTO_TEXT(u"\u4E2D\u6587 mixed \U0001F600").str(), u"\u4E2D\u6587 mixed \U0001F600");
    EXPECT_EQ(PELTO_TEXT(u"seven c").str(), u"seven c");                 // 7 units + terminator = 16 bytes
}

TEST(obfuscated_text, is_terminated_and_sized_like_the_literal)
{
    const auto text = PELTO_TEXT("2022-blake3-aes-128-gcm");
    EXPECT_EQ(text.size(), 23u);
    EXPECT_EQ(text.c_str()[23], '\0');
    EXPECT_EQ(std::string_view(text.c_str()), text.view());
    const auto wide = PELTO_TEXT(u"wide");
    EXPECT_EQ(wide.c_str()[4], u'\0');
}

TEST(obfuscated_text, keeps_bytes_with_the_high_bit_and_embedded_zeros)
{
    const auto text = PELTO_TEXT("\xE4\xB8\xAD\x00\xFF");
    ASSERT_EQ(text.size(), 5u);
    EXPECT_EQ(text.view(), std::string_view("\xE4\xB8\xAD\x00\xFF", 5));
}

TEST(obfuscated_text, the_same_literal_is_sealed_with_different_keys_at_different_places)
{
    constexpr auto a = pelto::obf::seal("same text here!", pelto::obf::seed(1, 0, "a.cpp"));
    constexpr auto b = pelto::obf::seal("same text here!", pelto::obf::seed(2, 1, "a.cpp"));
    EXPECT_NE(a.data[0], b.data[0]);
    EXPECT_NE(a.key[0], a.key[1]);
}

}  // namespace
