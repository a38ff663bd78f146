#include "base/localized_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace {

using pelto::localized_text;
using pelto::message_count;
using pelto::message_id;

bool has_cjk(std::u16string_view text)
{
    for (char16_t c : text) {
        if (c >= 0x4E00 && c <= 0x9FFF) {
            return true;
        }
    }
    return false;
}

std::u16string format_markers(std::u16string_view text)
{
    std::u16string markers;
    for (char16_t c : text) {
        if (c == u'%' || c == u'{' || c == u'}') {
            markers += c;
        }
    }
    return markers;
}

TEST(localized_text, every_message_has_an_english_and_a_chinese_text)
{
    for (int id = 0; id < message_count; ++id) {
        const std::u16string_view english = localized_text(static_cast<message_id>(id), false);
        const std::u16string_view chinese = localized_text(static_cast<message_id>(id), true);
        EXPECT_FALSE(english.empty()) << id;
        EXPECT_FALSE(has_cjk(english)) << id;  // a pair stored the wrong way round shows here
        EXPECT_TRUE(has_cjk(chinese)) << id;
        EXPECT_EQ(format_markers(english), format_markers(chinese)) << id;
    }
}

TEST(localized_text, ids_outside_the_table_give_an_empty_text)
{
    for (int id : {-1, message_count, message_count + 1, INT_MIN, INT_MAX}) {
        ASSERT_NE(localized_text(static_cast<message_id>(id), false), nullptr);
        EXPECT_EQ(std::u16string_view(localized_text(static_cast<message_id>(id), false)), u"") << id;
        EXPECT_EQ(std::u16string_view(localized_text(static_cast<message_id>(id), true)), u"") << id;
    }
}

TEST(language_choice, explicit_choices_override_the_system)
{
    pelto::language_choice = 1;
    EXPECT_TRUE(pelto::use_second_language());
    EXPECT_EQ(std::u16string_view(localized_text(message_id::save)), localized_text(message_id::save, true));
    for (int choice : {2, 3, -1, INT_MAX}) {
        pelto::language_choice = choice;
        EXPECT_FALSE(pelto::use_second_language()) << choice;
    }
    EXPECT_EQ(std::u16string_view(localized_text(message_id::save)), localized_text(message_id::save, false));
    pelto::language_choice = 0;
    EXPECT_EQ(pelto::use_second_language(), pelto::system_ui_language_is_chinese());
}

#ifndef _WIN32
// The Linux backend reads the locale variables; Windows asks the system and has no variables.
bool chinese_with(std::initializer_list<std::pair<const char*, const char*>> vars)
{
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        unsetenv(name);
    }
    for (const auto& [name, value] : vars) {
        setenv(name, value, 1);
    }
    pelto::language_choice = 0;
    return pelto::use_second_language();
}

TEST(system_language, first_non_empty_locale_variable_decides)
{
    EXPECT_FALSE(chinese_with({}));
    EXPECT_TRUE(chinese_with({{"LANG", "zh_CN.UTF-8"}}));
    EXPECT_TRUE(chinese_with({{"LC_MESSAGES", "zh_TW.UTF-8"}, {"LANG", "en_US.UTF-8"}}));
    EXPECT_FALSE(chinese_with({{"LC_MESSAGES", "en_GB.UTF-8"}, {"LANG", "zh_CN.UTF-8"}}));
    EXPECT_TRUE(chinese_with({{"LC_ALL", "zh_HK.UTF-8"}, {"LC_MESSAGES", "de_DE.UTF-8"}}));
    EXPECT_FALSE(chinese_with({{"LC_ALL", "C"}, {"LANG", "zh_CN.UTF-8"}}));
    EXPECT_TRUE(chinese_with({{"LC_ALL", ""}, {"LC_MESSAGES", ""}, {"LANG", "zh_SG"}}));
    EXPECT_TRUE(chinese_with({{"LANGUAGE", "zh_CN"}, {"LC_ALL", "en_US.UTF-8"}}));
    EXPECT_FALSE(chinese_with({{"LANGUAGE", "en_US"}, {"LANG", "zh_CN.UTF-8"}}));
}

TEST(system_language, language_list_uses_its_first_entry)
{
    EXPECT_FALSE(chinese_with({{"LANGUAGE", "fr:zh_CN"}, {"LANG", "zh_CN.UTF-8"}}));
    EXPECT_TRUE(chinese_with({{"LANGUAGE", "zh_CN:en"}}));
    EXPECT_TRUE(chinese_with({{"LANGUAGE", "::zh"}, {"LANG", "en_US.UTF-8"}}));
    EXPECT_TRUE(chinese_with({{"LANGUAGE", ":"}, {"LANG", "zh_CN.UTF-8"}}));
}

TEST(system_language, only_chinese_locale_names_match)
{
    EXPECT_FALSE(chinese_with({{"LANG", "zu_ZA.UTF-8"}}));  // Zulu also starts with z
    EXPECT_FALSE(chinese_with({{"LANG", "zhx"}}));
    EXPECT_FALSE(chinese_with({{"LANG", "z"}}));
    EXPECT_TRUE(chinese_with({{"LANG", "zh"}}));
    EXPECT_TRUE(chinese_with({{"LANG", "zh@stroke"}}));
    EXPECT_TRUE(chinese_with({{"LANG", "zh-Hant"}}));
    EXPECT_TRUE(chinese_with({{"LANG", "ZH_cn"}}));
}
#endif

}  // namespace
