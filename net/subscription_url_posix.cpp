// The URL check's parser on Linux: libcurl's URL API, restricted to HTTP and HTTPS.

#include <curl/curl.h>

#include <memory>

#include "base/obfuscated.h"
#include "base/text.h"
#include "net/subscription_url.h"

namespace pelto {
namespace {

struct url_deleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

struct part_deleter {
    void operator()(char* p) const { curl_free(p); }
};

// True when the part exists and is not empty; `out` receives its text.
bool get_part(CURLU* url, CURLUPart which, std::string& out)
{
    char* raw = nullptr;
    if (curl_url_get(url, which, &raw, 0) != CURLUE_OK || raw == nullptr) {
        return false;
    }
    const std::unique_ptr<char, part_deleter> owned(raw);
    out = raw;
    return !out.empty();
}

}  // namespace

bool platform_url_parser_accepts(std::u16string_view url)
{
    const std::unique_ptr<CURLU, url_deleter> parsed(curl_url());
    if (!parsed) {
        return false;
    }
    const std::string text = utf16_to_utf8(url);
    // libcurl reads "https:///name" as host "name"; the Windows parser sees an empty host there.
    const std::size_t authority = text.find(PELTO_TEXT("://").view());
    if (authority == std::string::npos || authority + 3 >= text.size() || text[authority + 3] == '/' ||
        text[authority + 3] == '?') {
        return false;
    }
    if (curl_url_set(parsed.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
        return false;
    }
    std::string part;
    if (!get_part(parsed.get(), CURLUPART_SCHEME, part)) {
        return false;
    }
    const std::string scheme = ascii_lower(part);
    if (scheme != PELTO_TEXT("http").view() && scheme != PELTO_TEXT("https").view()) {
        return false;
    }
    if (!get_part(parsed.get(), CURLUPART_HOST, part)) {
        return false;
    }
    // A user name or password is refused even when empty ("https://@host/", "https://:@host/").
    char* raw = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_USER, &raw, 0) == CURLUE_OK) {
        curl_free(raw);
        return false;
    }
    if (curl_url_get(parsed.get(), CURLUPART_PASSWORD, &raw, 0) == CURLUE_OK) {
        curl_free(raw);
        return false;
    }
    return true;
}

}  // namespace pelto
