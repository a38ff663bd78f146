// The URL check's parser on Windows: WinHttpCrackUrl with no flags.

#include <windows.h>
#include <winhttp.h>

#include <string>

#include "net/subscription_url.h"

namespace pelto {

bool platform_url_parser_accepts(std::u16string_view url)
{
    const std::wstring text(url.begin(), url.end());
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    // Lengths of -1 ask for pointers into the text without copying.
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUserNameLength = static_cast<DWORD>(-1);
    parts.dwPasswordLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(text.c_str(), static_cast<DWORD>(text.size()), 0, &parts)) {
        return false;
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        return false;
    }
    if (parts.lpszHostName == nullptr || parts.dwHostNameLength == 0) {
        return false;
    }
    if (parts.lpszUserName != nullptr && parts.dwUserNameLength != 0) {
        return false;
    }
    if (parts.lpszPassword != nullptr && parts.dwPasswordLength != 0) {
        return false;
    }
    // "https://@host/" has an empty user name; the text before the host still carries one.
    const std::wstring::size_type host_at = static_cast<std::wstring::size_type>(parts.lpszHostName - text.c_str());
    if (host_at > 0 && text[host_at - 1] == L'@') {
        return false;
    }
    return true;
}

}  // namespace pelto
