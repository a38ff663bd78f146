#include "engine/system_proxy.h"

#include "base/obfuscated.h"
#include "base/text.h"

#include <windows.h>
#include <wininet.h>

#include <string>

namespace pelto {

namespace {

std::u16string error_with_code(std::u16string_view label, DWORD code)
{
    std::u16string text(label);
    text += PELTO_TEXT(u" (error ").view();
    text += ascii_to_utf16(std::to_string(code));
    text += u')';
    return text;
}

std::u16string from_wide(const wchar_t* text)
{
    std::u16string out;
    if (text != nullptr) {
        for (; *text != L'\0'; ++text) {
            out.push_back(static_cast<char16_t>(*text));
        }
    }
    return out;
}

std::wstring to_wide(std::u16string_view text)
{
    return std::wstring(text.begin(), text.end());
}

}  // namespace

std::u16string loopback_bypass_list()
{
    return PELTO_TEXT(u"localhost;127.*;10.*;172.16.*;172.17.*;172.18.*;172.19.*;172.20.*;172.21.*;"
                      u"172.22.*;172.23.*;172.24.*;172.25.*;172.26.*;172.27.*;172.28.*;172.29.*;"
                      u"172.30.*;172.31.*;192.168.*;<local>")
        .str();
}

namespace {

// Queries the four options with `flags_option` as the connection type's option. False with the
// system's error code when the query fails.
bool query_options(DWORD flags_option, proxy_settings& out, DWORD& out_error_code)
{
    INTERNET_PER_CONN_OPTIONW options[4] = {};
    options[0].dwOption = flags_option;
    options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[3].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    INTERNET_PER_CONN_OPTION_LISTW list = {};
    list.dwSize = sizeof list;
    list.pszConnection = nullptr;  // the default connection
    list.dwOptionCount = 4;
    list.pOptions = options;
    DWORD size = sizeof list;
    if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size)) {
        out_error_code = GetLastError();
        return false;
    }
    proxy_settings settings;
    settings.flags = options[0].Value.dwValue;
    settings.server = from_wide(options[1].Value.pszValue);
    settings.bypass = from_wide(options[2].Value.pszValue);
    settings.autoconfig_url = from_wide(options[3].Value.pszValue);
    for (int i = 1; i < 4; ++i) {
        if (options[i].Value.pszValue != nullptr) {
            GlobalFree(options[i].Value.pszValue);
        }
    }
    out = std::move(settings);
    return true;
}

}  // namespace

// Since Windows 7 the connection type as the user set it ("Automatically detect settings"
// included) is the UI flags option; the plain flags option may leave out automatic detection
// when detection found nothing, and a setting saved from it would be restored as off. The plain
// option is the fallback where the UI one is unknown.
bool read_proxy_settings(proxy_settings& out, std::u16string& out_error)
{
    DWORD code = 0;
    if (query_options(INTERNET_PER_CONN_FLAGS_UI, out, code) || query_options(INTERNET_PER_CONN_FLAGS, out, code)) {
        return true;
    }
    out_error = error_with_code(PELTO_TEXT(u"Could not read the proxy settings").view(), code);
    return false;
}

bool write_proxy_settings(const proxy_settings& settings, std::u16string& out_error)
{
    std::wstring server = to_wide(settings.server);
    std::wstring bypass = to_wide(settings.bypass);
    std::wstring autoconfig_url = to_wide(settings.autoconfig_url);
    INTERNET_PER_CONN_OPTIONW options[4] = {};
    options[0].dwOption = INTERNET_PER_CONN_FLAGS;
    options[0].Value.dwValue = settings.flags;
    options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[1].Value.pszValue = server.data();
    options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[2].Value.pszValue = bypass.data();
    options[3].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    options[3].Value.pszValue = autoconfig_url.data();
    INTERNET_PER_CONN_OPTION_LISTW list = {};
    list.dwSize = sizeof list;
    list.pszConnection = nullptr;
    list.dwOptionCount = 4;
    list.pOptions = options;
    if (!InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof list)) {
        out_error = error_with_code(PELTO_TEXT(u"Could not change the proxy settings").view(),
                                    GetLastError());
        return false;
    }
    // Tell running programs; whether they listen does not change the outcome.
    InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
    return true;
}

}  // namespace pelto
