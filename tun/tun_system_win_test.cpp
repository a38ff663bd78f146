// The name-resolution policy in the registry (under Wine: the prefix's registry). Nothing here
// creates an adapter or a route.

#include "tun/tun_system.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

namespace {

const wchar_t* const key_path =
    L"SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters\\DnsPolicyConfig\\{pelto-tun}";

std::wstring read_string(const wchar_t* name)
{
    wchar_t buffer[128] = {};
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key_path, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS) {
        return L"<missing>";
    }
    return buffer;
}

TEST(dns_policy, written_with_the_rule_values_then_deleted_without_a_trace)
{
    pelto::tun::delete_dns_policy();
    ASSERT_FALSE(pelto::tun::dns_policy_journal_exists());

    const std::uint8_t raw[4] = {172, 19, 77, 53};
    std::uint32_t virtual_dns = 0;
    std::memcpy(&virtual_dns, raw, 4);
    std::u16string message;
    ASSERT_TRUE(pelto::tun::write_dns_policy(1, virtual_dns, message)) << std::string(message.begin(), message.end());
    EXPECT_TRUE(pelto::tun::dns_policy_journal_exists());
    EXPECT_EQ(read_string(L"GenericDNSServers"), L"172.19.77.53");

    DWORD version = 0, options = 0, size = sizeof(DWORD);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, key_path, L"Version", RRF_RT_REG_DWORD, nullptr, &version, &size),
              ERROR_SUCCESS);
    size = sizeof(DWORD);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, key_path, L"ConfigOptions", RRF_RT_REG_DWORD, nullptr, &options, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(version, 2u);
    EXPECT_EQ(options, 8u);
    wchar_t names[8] = {};
    size = sizeof names;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, key_path, L"Name", RRF_RT_REG_MULTI_SZ, nullptr, names, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(names[0], L'.');
    EXPECT_EQ(names[1], L'\0');
    EXPECT_EQ(names[2], L'\0');  // the list's double terminator

    // Writing again over a left-over rule succeeds; one delete removes it whole.
    ASSERT_TRUE(pelto::tun::write_dns_policy(1, virtual_dns, message));
    pelto::tun::delete_dns_policy();
    EXPECT_FALSE(pelto::tun::dns_policy_journal_exists());
    EXPECT_EQ(read_string(L"GenericDNSServers"), L"<missing>");
}

// Volatile: the rule cannot outlive a crash or power loss beyond the next boot. The registry's
// one visible sign of it: a volatile key refuses a non-volatile subkey.
LSTATUS non_volatile_child_result()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, KEY_CREATE_SUB_KEY, &key) != ERROR_SUCCESS) {
        return ERROR_FILE_NOT_FOUND;
    }
    HKEY child = nullptr;
    const LSTATUS result = RegCreateKeyExW(key, L"probe", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ, nullptr,
                                           &child, nullptr);
    if (result == ERROR_SUCCESS) {
        RegCloseKey(child);
        RegDeleteKeyW(key, L"probe");
    }
    RegCloseKey(key);
    return result;
}

std::uint32_t virtual_dns_address()
{
    const std::uint8_t raw[4] = {172, 19, 77, 53};
    std::uint32_t out = 0;
    std::memcpy(&out, raw, 4);
    return out;
}

TEST(dns_policy, the_rule_key_is_volatile_even_over_a_non_volatile_one_left_by_an_older_run)
{
    pelto::tun::delete_dns_policy();
    std::u16string message;
    ASSERT_TRUE(pelto::tun::write_dns_policy(1, virtual_dns_address(), message));
    EXPECT_EQ(non_volatile_child_result(), ERROR_CHILD_MUST_BE_VOLATILE);
    pelto::tun::delete_dns_policy();

    HKEY left = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &left, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(left);
    ASSERT_EQ(non_volatile_child_result(), ERROR_SUCCESS);  // the left-over is an ordinary key
    ASSERT_TRUE(pelto::tun::write_dns_policy(1, virtual_dns_address(), message));
    EXPECT_EQ(non_volatile_child_result(), ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(read_string(L"GenericDNSServers"), L"172.19.77.53");
    pelto::tun::delete_dns_policy();
}

TEST(dns_policy, a_rule_someone_altered_or_removed_is_put_back_and_an_intact_one_kept)
{
    pelto::tun::delete_dns_policy();
    std::u16string message;
    ASSERT_TRUE(pelto::tun::write_dns_policy(1, virtual_dns_address(), message));
    EXPECT_EQ(pelto::tun::reassert_dns_policy(1, virtual_dns_address(), message), pelto::tun::dns_policy_check::kept);

    const wchar_t other[] = L"192.0.2.1";
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_path, L"GenericDNSServers", REG_SZ, other, sizeof other),
              ERROR_SUCCESS);
    EXPECT_EQ(pelto::tun::reassert_dns_policy(1, virtual_dns_address(), message),
              pelto::tun::dns_policy_check::restored);
    EXPECT_EQ(read_string(L"GenericDNSServers"), L"172.19.77.53");

    const DWORD options = 0;
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_path, L"ConfigOptions", REG_DWORD, &options, sizeof options),
              ERROR_SUCCESS);
    EXPECT_EQ(pelto::tun::reassert_dns_policy(1, virtual_dns_address(), message),
              pelto::tun::dns_policy_check::restored);

    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, key_path), ERROR_SUCCESS);
    EXPECT_EQ(pelto::tun::reassert_dns_policy(1, virtual_dns_address(), message),
              pelto::tun::dns_policy_check::restored);
    EXPECT_EQ(read_string(L"GenericDNSServers"), L"172.19.77.53");
    EXPECT_EQ(non_volatile_child_result(), ERROR_CHILD_MUST_BE_VOLATILE);
    pelto::tun::delete_dns_policy();
}

// Wine has no filtering engine: opening fails with a message. Where one exists, a dynamic session
// opens and takes a filter.
TEST(leak_filters, opening_either_works_or_fails_with_a_message)
{
    std::u16string message;
    auto filters = pelto::tun::open_leak_filters(1, message);
    if (filters == nullptr) {
        EXPECT_NE(message.find(u"filtering engine"), std::u16string::npos);
        return;
    }
    const std::uint8_t address[4] = {192, 0, 2, 1};
    EXPECT_TRUE(filters->add(pelto::byte_span(address, 4), false));
    EXPECT_TRUE(filters->add(pelto::byte_span(address, 4), false));  // once only
}

}  // namespace
