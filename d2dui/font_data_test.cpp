#include "d2dui/font_data.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace d2dui {
namespace {

TEST(font_data, fragment_bounds_do_not_wrap)
{
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    EXPECT_TRUE(fragment_in_bounds(0, 100, 100));
    EXPECT_TRUE(fragment_in_bounds(100, 0, 100));
    EXPECT_TRUE(fragment_in_bounds(40, 60, 100));
    EXPECT_FALSE(fragment_in_bounds(40, 61, 100));
    EXPECT_FALSE(fragment_in_bounds(101, 0, 100));
    // offset + size wraps to a small number: a naive sum check would accept these.
    EXPECT_FALSE(fragment_in_bounds(16, max - 15, 100));
    EXPECT_FALSE(fragment_in_bounds(max, 2, 100));
    EXPECT_FALSE(fragment_in_bounds(1, max, 100));
}

TEST(font_data, containers_by_signature)
{
    auto sniff = [](std::vector<std::uint8_t> b) { return sniff_font_container(b); };
    EXPECT_EQ(sniff({0x00, 0x01, 0x00, 0x00, 0x00}), font_container::opentype);
    EXPECT_EQ(sniff({'O', 'T', 'T', 'O'}), font_container::opentype);
    EXPECT_EQ(sniff({'t', 't', 'c', 'f'}), font_container::collection);
    EXPECT_EQ(sniff({'w', 'O', 'F', '2', 0}), font_container::woff2);
    EXPECT_EQ(sniff({'w', 'O', 'F', 'F'}), font_container::woff);
    EXPECT_EQ(sniff({'w', 'O', 'F'}), font_container::unknown);  // short
    EXPECT_EQ(sniff({'<', 's', 'v', 'g'}), font_container::unknown);
}

TEST(font_data, family_hash_is_fnv1a_over_utf16_bytes)
{
    EXPECT_EQ(family_hash(u""), 0xcbf29ce484222325ull);
    // FNV-1a of the bytes "a\0" (the published FNV-1a of "a" is 0xaf63dc4c8601ec8c).
    std::uint64_t h = 0xaf63dc4c8601ec8cull;
    h = (h ^ 0) * 0x100000001b3ull;
    EXPECT_EQ(family_hash(u"a"), h);
    EXPECT_NE(family_hash(u"Inter"), family_hash(u"Inteq"));
}

}  // namespace
}  // namespace d2dui
