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

TEST(flags, the_emoji_flag_and_its_space_leave_the_shown_name)
{
    EXPECT_EQ(name_without_flag_emoji(u"\U0001F1EF\U0001F1F5 Tokyo 01"), u"Tokyo 01");
    EXPECT_EQ(name_without_flag_emoji(u"Tokyo\U0001F1EF\U0001F1F5 01"), u"Tokyo01");
    EXPECT_EQ(name_without_flag_emoji(u"node \U0001F1F9\U0001F1FC"), u"node ");
    // Only the pair the lookup reads: a second flag stays; a lone indicator is no flag.
    EXPECT_EQ(name_without_flag_emoji(u"\U0001F1EF\U0001F1F5\U0001F1FA\U0001F1F8 x"), u"\U0001F1FA\U0001F1F8 x");
    EXPECT_EQ(name_without_flag_emoji(u"\U0001F1EF x"), u"\U0001F1EF x");
    EXPECT_EQ(name_without_flag_emoji(u"Relay \U0001F680 fast"), u"Relay \U0001F680 fast");
    EXPECT_EQ(name_without_flag_emoji(u"\U0001F1EF\U0001F1F5"), u"");
}

TEST(flags, twins_are_chosen_so_the_flag_is_never_enlarged)
{
    EXPECT_EQ(flag_twin_for_height(19), 0u);      // 100 %
    EXPECT_EQ(flag_twin_for_height(23.75f), 1u);  // 125 %
    EXPECT_EQ(flag_twin_for_height(28.5f), 1u);   // 150 %: the 29-pixel twin
    EXPECT_EQ(flag_twin_for_height(33.25f), 2u);  // 175 %
    EXPECT_EQ(flag_twin_for_height(38), 2u);      // 200 %
    EXPECT_EQ(flag_twin_for_height(47.5f), 3u);   // 250 %
    EXPECT_EQ(flag_twin_for_height(57), 3u);      // 300 %
    EXPECT_EQ(flag_twin_for_height(95), 3u);      // beyond: the largest
    EXPECT_EQ(flag_twin_id(flag_code(u'j', u'p'), 0), 2249);
    EXPECT_EQ(flag_twin_id(flag_last_id, 3), 5675);
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
