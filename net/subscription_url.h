#pragma once
// The one check every user-supplied or configured subscription address passes before it is
// stored or fetched, and the deployment's built-in endpoint address.
//
// `check_subscription_url` accepts a text of 1..8192 UTF-16 units with no control, space or other
// character that is never valid in a URL, that the platform's URL parser accepts with the scheme
// HTTP or HTTPS, a non-empty host, no user name and no password, and that has no number sign
// anywhere (no fragment). It never fails otherwise and may be called from any thread.

#include <string>
#include <string_view>

namespace pelto {

inline constexpr std::size_t max_subscription_url_length = 8192;

bool check_subscription_url(std::u16string_view url);

// The primary address of the embedded endpoint document (deployment configuration).
std::u16string builtin_endpoint_url();

// Platform backend (WinHttpCrackUrl on Windows, libcurl's URL API on Linux): true when the parser
// accepts `url` with the scheme HTTP or HTTPS, a non-empty host and no user name or password.
bool platform_url_parser_accepts(std::u16string_view url);

}  // namespace pelto
