#include "system/preferences.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "net/subscription_url.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace pelto {
namespace {

// Each test starts from an empty store: a fresh XDG_CONFIG_HOME on Linux, the Software\Pelto key
// of the Wine prefix's current user removed on Windows.
class PreferencesStore : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef _WIN32
        ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Pelto");
#else
        std::random_device random;
        dir_ = std::filesystem::temp_directory_path() / ("pelto-prefs-" + std::to_string(random()));
        std::filesystem::create_directories(dir_);
        ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
#endif
    }
    void TearDown() override
    {
#ifdef _WIN32
        ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Pelto");
#else
        std::filesystem::remove_all(dir_);
#endif
    }

    // Writes raw values as another program might have left them: `kind` "string" or "number".
    void write_raw(const std::string& name, const std::string& kind, const std::string& value)
    {
#ifdef _WIN32
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Pelto", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    &key, nullptr),
                  ERROR_SUCCESS);
        const std::wstring wname = name == "subscription" ? L"SubscriptionUrl"
                                   : name == "tun"        ? L"TunMode"
                                   : name == "leak_protection" ? L"LeakProtection"
                                                          : L"Language";
        if (kind == "string") {
            const std::wstring wvalue(value.begin(), value.end());
            ::RegSetValueExW(key, wname.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wvalue.c_str()),
                             static_cast<DWORD>((wvalue.size() + 1) * sizeof(wchar_t)));
        } else {
            const DWORD number = static_cast<DWORD>(std::stoul(value));
            ::RegSetValueExW(key, wname.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
        }
        ::RegCloseKey(key);
#else
        // The key file holds text only: a string where a number belongs is the wrong type.
        std::filesystem::create_directories(dir_ / "pelto");
        std::ofstream(dir_ / "pelto" / "settings", std::ios::app) << name << '=' << value << '\n';
        (void)kind;
#endif
    }

#ifndef _WIN32
    std::filesystem::path dir_;
#endif
};

TEST_F(PreferencesStore, MissingStoreGivesDefaults)
{
    const preferences p = load_preferences();
    EXPECT_TRUE(p.subscription_url.empty());
    EXPECT_FALSE(p.tun_enabled);
    EXPECT_FALSE(p.option_flag);
    EXPECT_EQ(p.language, 0);
}

TEST_F(PreferencesStore, RoundTripAndEmptyAddressStoredAsString)
{
    preferences p;
    p.subscription_url = u"https://subscription.example/list?token=abc";
    p.tun_enabled = true;
    p.option_flag = true;
    p.language = 2;
    ASSERT_TRUE(store_preferences(p));
    preferences back = load_preferences();
    EXPECT_EQ(back.subscription_url, p.subscription_url);
    EXPECT_TRUE(back.tun_enabled);
    EXPECT_TRUE(back.option_flag);
    EXPECT_EQ(back.language, 2);

    p = preferences{};
    ASSERT_TRUE(store_preferences(p));
    stored_values raw;
    ASSERT_TRUE(read_stored_values(raw));
    ASSERT_TRUE(raw.subscription_url.has_value());
    EXPECT_TRUE(raw.subscription_url->empty());
    EXPECT_EQ(raw.tun, 0u);
    back = load_preferences();
    EXPECT_FALSE(back.tun_enabled);
    EXPECT_EQ(back.language, 0);
}

TEST_F(PreferencesStore, BadAddressesAreRefusedAndLoadAsEmpty)
{
    for (const char16_t* bad : {u"https://user:pw@subscription.example/", u"https://subscription.example/#x",
                                u"ftp://subscription.example/"}) {
        preferences p;
        p.subscription_url = bad;
        p.language = 1;
        EXPECT_FALSE(store_preferences(p));
    }
    // Nothing was written by the refused stores.
    stored_values raw;
    EXPECT_FALSE(read_stored_values(raw) && raw.language.has_value());

    write_raw("subscription", "string", "ftp://subscription.example/");
    EXPECT_TRUE(load_preferences().subscription_url.empty());
}

TEST_F(PreferencesStore, BuiltInEndpointLoadsAsEmpty)
{
    const std::u16string builtin = builtin_endpoint_url();
    write_raw("subscription", "string", std::string(builtin.begin(), builtin.end()));
    EXPECT_TRUE(load_preferences().subscription_url.empty());
}

TEST_F(PreferencesStore, WrongTypesAndOutOfRangeLanguageGiveDefaults)
{
    write_raw("tun", "string", "yes");
    write_raw("leak_protection", "number", "1");
    write_raw("language", "number", "3");
    const preferences p = load_preferences();
    EXPECT_FALSE(p.tun_enabled);
    EXPECT_TRUE(p.option_flag);
    EXPECT_EQ(p.language, 0);
}

TEST_F(PreferencesStore, HugeLanguageValueIsRejectedUnsigned)
{
    write_raw("language", "number", "4294967295");
    EXPECT_EQ(load_preferences().language, 0);
}

#ifndef _WIN32
TEST_F(PreferencesStore, KeyFileIsPrivate)
{
    preferences p;
    p.subscription_url = u"https://subscription.example/list?token=secret";
    ASSERT_TRUE(store_preferences(p));
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "pelto" / "settings").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((dir_ / "pelto").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
    // No temporary file is left beside it.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_ / "pelto")) {
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}
#endif

}  // namespace
}  // namespace pelto
