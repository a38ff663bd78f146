#include "base/text.h"

#include <gtest/gtest.h>

namespace {

using pelto::utf16_to_utf8;
using pelto::utf8_to_utf16;

TEST(utf_conversion, round_trips_every_plane)
{
    const std::string text = "ascii \xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x87\xAF\xF0\x9F\x87\xB5 \xF4\x8F\xBF\xBF";
    const std::u16string wide = utf8_to_utf16(text);
    EXPECT_EQ(wide, u"ascii \u00E9 \u4E2D\u6587 \U0001F1EF\U0001F1F5 \U0010FFFF");
    EXPECT_EQ(utf16_to_utf8(wide), text);
}

TEST(utf_conversion, replaces_ill_formed_utf8_by_maximal_subparts)
{
    struct sample {
        const char* input;
        std::u16string expected;
    };
    const sample samples[] = {
        {"\x80", u"\uFFFD"},                      // lone continuation byte
        {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong '/': C0 is never a lead
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},  // overlong three-byte form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xE4\xB8", u"\uFFFD"},                  // truncated at the end: one subpart
        {"\xE4\xB8x", u"\uFFFDx"},                // truncated before ASCII
        {"a\xFF" "b", u"a\uFFFDb"},
    };
    for (const auto& s : samples) {
        EXPECT_EQ(utf8_to_utf16(s.input), s.expected) << s.input;
    }
}

TEST(utf_conversion, replaces_unpaired_surrogates)
{
    const char16_t lone_high[] = {u'a', 0xD83D, u'b', 0};
    const char16_t lone_low[] = {0xDE00, 0};
    const char16_t high_at_end[] = {u'x', 0xD83D, 0};
    EXPECT_EQ(utf16_to_utf8(lone_high), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(utf16_to_utf8(lone_low), "\xEF\xBF\xBD");
    EXPECT_EQ(utf16_to_utf8(high_at_end), "x\xEF\xBF\xBD");
}

TEST(ascii_case, folds_only_ascii_letters)
{
    EXPECT_EQ(pelto::ascii_lower("VLESS://Host.EXAMPLE:443 \xC3\x89"), "vless://host.example:443 \xC3\x89");
    EXPECT_TRUE(pelto::ascii_iequals("Trojan", "tROJAN"));
    EXPECT_FALSE(pelto::ascii_iequals("trojan", "trojans"));
    EXPECT_FALSE(pelto::ascii_iequals("\xC3\x89", "\xC3\xA9"));
}

}  // namespace
