#include "ui/flags.h"

#include <gtest/gtest.h>

#include <set>

namespace pelto::ui {
namespace {

constexpr std::int32_t id(char a, char b)
{
    return 1000 + 26 * (a - 'a') + (b - 'a');
}

// Flags a test pretends the program carries.
bool some_flags(std::int32_t flag)
{
    static const std::set<std::int32_t> present{id('d', 'e'), id('f', 'r'), id('n', 'l'), id('c', 'n')};
    return present.count(flag) > 0;
}

TEST(flags, regional_indicator_pair_wins_over_keywords_and_two_letter_words)
{
    // 🇯🇵 Tokyo DE 01: the emoji decides.
    EXPECT_EQ(flag_resource_for(u"\U0001F1EF\U0001F1F5 Tokyo DE 01", some_flags), id('j', 'p'));
    // An emoji pair found after other text; the pair t, w is the c, n flag.
    EXPECT_EQ(flag_resource_for(u"node \U0001F1F9\U0001F1FC", some_flags), id('c', 'n'));
    EXPECT_EQ(flag_code(u't', u'w'), 1065);
    // A lone indicator is not a pair.
    EXPECT_EQ(flag_resource_for(u"\U0001F1EF x", some_flags), 0);
}

TEST(flags, keywords_match_whole_words_long_ones_first)
{
    EXPECT_EQ(flag_resource_for(u"Hong Kong 02 | IPLC", some_flags), id('h', 'k'));
    EXPECT_EQ(flag_resource_for(u"香港 高速 01", some_flags), id('h', 'k'));
    EXPECT_EQ(flag_resource_for(u"美国 洛杉矶", some_flags), id('u', 's'));
    // "usa" is short: the long keyword "japan" of a later entry is tried first.
    EXPECT_EQ(flag_resource_for(u"USA to Japan relay", some_flags), id('j', 'p'));
    // Short keywords only as whole words: "ukraine" is a long keyword of Ukraine, "uk" must not hit
    // inside "ukx", "usa" not inside "pausa".
    EXPECT_EQ(flag_resource_for(u"ukx pausa", some_flags), 0);
    EXPECT_EQ(flag_resource_for(u"UK London", some_flags), id('g', 'b'));
    EXPECT_EQ(flag_resource_for(u"uk-1", some_flags), id('g', 'b'));
    // A later whole-word occurrence is found after an earlier one that fails the boundary test.
    EXPECT_EQ(flag_resource_for(u"ukraineuk uk", some_flags), id('g', 'b'));
    // Keywords with a non-letter edge need no boundary on that side.
    EXPECT_EQ(flag_resource_for(u"Node日本01", some_flags), id('j', 'p'));
}

TEST(flags, two_letter_words_need_an_existing_resource)
{
    EXPECT_EQ(flag_resource_for(u"Premium DE 03", some_flags), id('d', 'e'));
    // "xy" has no flag; the next two-letter run is tried.
    EXPECT_EQ(flag_resource_for(u"xy fr 1", some_flags), id('f', 'r'));
    // Runs of other lengths do not count; no resource at all gives the globe.
    EXPECT_EQ(flag_resource_for(u"abc nlx d", some_flags), 0);
    EXPECT_EQ(flag_resource_for(u"zz relay", some_flags), 0);
    EXPECT_EQ(flag_resource_for(u"", some_flags), 0);
}

TEST(flags, keyword_table_ids_lie_in_the_flag_range)
{
    const std::vector<std::int32_t> ids = keyword_flag_ids();
    ASSERT_EQ(ids.size(), 61u);
    for (std::int32_t flag : ids) {
        EXPECT_GE(flag, flag_first_id);
        EXPECT_LE(flag, flag_last_id);
    }
}

}  // namespace
}  // namespace pelto::ui
