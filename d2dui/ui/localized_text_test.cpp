#include "d2dui/ui/localized_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using pelto::localized_text;
using pelto::message_count;

bool has_cjk(std::u16string_view text)
{
    for (char16_t c : text) {
        if (c >= 0x4E00 && c <= 0x9FFF) {
            return true;
        }
    }
    return false;
}

TEST(localized_text, every_message_has_an_english_and_a_chinese_text)
{
    for (int id = 0; id < message_count; ++id) {
        const std::u16string_view english = localized_text(id, false);
        const std::u16string_view chinese = localized_text(id, true);
        EXPECT_FALSE(english.empty()) << id;
        EXPECT_FALSE(has_cjk(english)) << id;  // a pair stored the wrong way round shows here
        EXPECT_TRUE(has_cjk(chinese)) << id;
    }
}

TEST(localized_text, both_languages_carry_the_same_format_markers)
{
    for (int id = 0; id < message_count; ++id) {
        std::u16string english_markers;
        std::u16string chinese_markers;
        for (char16_t c : std::u16string_view(localized_text(id, false))) {
            if (c == u'%' || c == u'{' || c == u'}') {
                english_markers += c;
            }
        }
        for (char16_t c : std::u16string_view(localized_text(id, true))) {
            if (c == u'%' || c == u'{' || c == u'}') {
                chinese_markers += c;
            }
        }
        EXPECT_EQ(english_markers, chinese_markers) << id;
    }
}

TEST(localized_text, ids_outside_the_table_give_an_empty_text)
{
    for (int id : {-1, message_count, message_count + 1, INT_MIN, INT_MAX}) {
        ASSERT_NE(localized_text(id, false), nullptr);
        EXPECT_EQ(std::u16string_view(localized_text(id, false)), u"") << id;
        EXPECT_EQ(std::u16string_view(localized_text(id, true)), u"") << id;
    }
}

TEST(localized_text, texts_stay_at_the_same_address)
{
    const char16_t* first = localized_text(16, true);
    EXPECT_EQ(first, localized_text(16, true));
    EXPECT_EQ(std::u16string_view(first), u"已连接");
}

TEST(language_choice, explicit_choices_override_the_system)
{
    pelto::language_choice = 1;
    EXPECT_TRUE(pelto::use_second_language());
    EXPECT_EQ(std::u16string_view(localized_text(9)), localized_text(9, true));
    for (int choice : {2, 3, -1, INT_MAX}) {
        pelto::language_choice = choice;
        EXPECT_FALSE(pelto::use_second_language()) << choice;
    }
    EXPECT_EQ(std::u16string_view(localized_text(9)), localized_text(9, false));
    pelto::language_choice = 0;
    EXPECT_EQ(pelto::use_second_language(), pelto::system_ui_language_is_chinese());
}

#ifndef _WIN32
// The Linux backend reads the locale variables; Windows asks the system and has no variables.
class locale_environment : public testing::Test {
protected:
    static constexpr const char* names[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

    void SetUp() override
    {
        for (std::size_t i = 0; i < std::size(names); ++i) {
            const char* value = std::getenv(names[i]);
            present_[i] = value != nullptr;
            saved_[i] = present_[i] ? std::string(value) : std::string();
            unsetenv(names[i]);
        }
        pelto::language_choice = 0;
    }
    void TearDown() override
    {
        for (std::size_t i = 0; i < std::size(names); ++i) {
            if (present_[i]) {
                setenv(names[i], saved_[i].c_str(), 1);
            } else {
                unsetenv(names[i]);
            }
        }
    }
    static bool chinese_with(std::initializer_list<std::pair<const char*, const char*>> vars)
    {
        for (const char* name : names) {
            unsetenv(name);
        }
        for (const auto& [name, value] : vars) {
            setenv(name, value, 1);
        }
        return pelto::use_second_language();
    }

private:
    std::string saved_[4];
    bool present_[4] = {};
};

TEST_F(locale_environment, first_non_empty_variable_decides)
{
    EXPECT_FALSE(chinese_with({}));
    EXPECT_TRUE(chinese_with({{"LANG", "zh_CN.UTF-8"}}));
    EXPECT_TRUE(chinese_with({{"LANG", "zh"}}));
    EXPECT_TRUE(chinese_with({{"LC_MESSAGES", "zh_TW.UTF-8"}, {"LANG", "en_US.UTF-8"}}));
    EXPECT_FALSE(chinese_with({{"LC_MESSAGES", "en_GB.UTF-8"}, {"LANG", "zh_CN.UTF-8"}}));
    EXPECT_TRUE(chinese_with({{"LC_ALL", "zh_HK.UTF-8"}, {"LC_MESSAGES", "de_DE.UTF-8"}}));
    EXPECT_FALSE(chinese_with({{"LC_ALL", "C"}, {"LANG", "zh_CN.UTF-8"}}));
    EXPECT_TRUE(chinese_with({{"LC_ALL", ""}, {"LC_MESSAGES", ""}, {"LANG", "zh_SG"}}));
    EXPECT_TRUE(chinese_with({{"LANGUAGE", "zh_CN"}, {"LC_ALL", "en_US.UTF-8"}}));
    EXPECT_FALSE(chinese_with({{"LANGUAGE", "en_US"}, {"LANG", "zh_CN.UTF-8"}}));
}

TEST_F(locale_environment, language_list_uses_its_first_entry)
{
    EXPECT_FALSE(chinese_with({{"LANGUAGE", "fr:zh_CN"}, {"LANG", "zh_CN.UTF-8"}}));
    EXPECT_TRUE(chinese_with({{"LANGUAGE", "zh_CN:en"}}));
    EXPECT_TRUE(chinese_with({{"LANGUAGE", "::zh"}, {"LANG", "en_US.UTF-8"}}));
    EXPECT_TRUE(chinese_with({{"LANGUAGE", ":"}, {"LANG", "zh_CN.UTF-8"}}));
}

TEST_F(locale_environment, only_chinese_locale_names_match)
{
    EXPECT_FALSE(chinese_with({{"LANG", "zu_ZA.UTF-8"}}));  // Zulu also starts with z
    EXPECT_FALSE(chinese_with({{"LANG", "zhx"}}));
    EXPECT_FALSE(chinese_with({{"LANG", "z"}}));
    EXPECT_TRUE(chinese_with({{"LANG", "zh@stroke"}}));
    EXPECT_TRUE(chinese_with({{"LANG", "zh-Hant"}}));
    EXPECT_TRUE(chinese_with({{"LANG", "ZH_cn"}}));
}
#endif

}  // namespace
