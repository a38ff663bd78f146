// Preferences on Windows: four values under one key of HKEY_CURRENT_USER, read with type checks.

#include <windows.h>

#include <string>
#include <vector>

#include "system/preferences.h"
#include "base/obfuscated.h"

namespace pelto {
namespace {

constexpr DWORD url_buffer_bytes = 16386;  // 8193 wide characters with the terminator

class registry_key {
public:
    registry_key() = default;
    ~registry_key()
    {
        if (key_ != nullptr) {
            ::RegCloseKey(key_);
        }
    }
    registry_key(const registry_key&) = delete;
    registry_key& operator=(const registry_key&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

std::optional<std::uint32_t> read_dword(HKEY key, const wchar_t* name)
{
    DWORD value = 0;
    DWORD size = sizeof value;
    if (::RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

bool write_dword(HKEY key, const wchar_t* name, std::uint32_t value)
{
    const DWORD data = value;
    return ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data) ==
           ERROR_SUCCESS;
}

}  // namespace

bool read_stored_values(stored_values& out)
{
    out = stored_values{};
    registry_key key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, PELTO_TEXT(L"Software\\Pelto").c_str(), 0, KEY_QUERY_VALUE,
                        key.out()) != ERROR_SUCCESS) {
        return false;
    }
    std::vector<wchar_t> buffer(url_buffer_bytes / sizeof(wchar_t), L'\0');
    DWORD size = url_buffer_bytes;
    if (::RegGetValueW(key.get(), nullptr, PELTO_TEXT(L"SubscriptionUrl").c_str(), RRF_RT_REG_SZ, nullptr,
                       buffer.data(), &size) == ERROR_SUCCESS) {
        const std::size_t chars = size / sizeof(wchar_t);
        std::u16string text(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(chars));
        while (!text.empty() && text.back() == u'\0') {
            text.pop_back();
        }
        out.subscription_url = std::move(text);
    }
    out.tun = read_dword(key.get(), PELTO_TEXT(L"TunMode").c_str());
    out.option = read_dword(key.get(), PELTO_TEXT(L"LeakProtection").c_str());
    out.language = read_dword(key.get(), PELTO_TEXT(L"Language").c_str());
    return true;
}

bool write_stored_values(const std::u16string& subscription_url, std::uint32_t tun, std::uint32_t option,
                         std::uint32_t language)
{
    registry_key key;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, PELTO_TEXT(L"Software\\Pelto").c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                          nullptr, key.out(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::wstring url(subscription_url.begin(), subscription_url.end());
    const DWORD bytes = static_cast<DWORD>((url.size() + 1) * sizeof(wchar_t));
    if (::RegSetValueExW(key.get(), PELTO_TEXT(L"SubscriptionUrl").c_str(), 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(url.c_str()), bytes) != ERROR_SUCCESS) {
        return false;
    }
    return write_dword(key.get(), PELTO_TEXT(L"TunMode").c_str(), tun) &&
           write_dword(key.get(), PELTO_TEXT(L"LeakProtection").c_str(), option) &&
           write_dword(key.get(), PELTO_TEXT(L"Language").c_str(), language);
}

}  // namespace pelto
