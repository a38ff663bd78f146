#include "net/subscription_url.h"

#include "base/obfuscated.h"
#include "base/text.h"

namespace pelto {
namespace {

bool is_forbidden(char16_t c)
{
    if (c < 0x20 || c == 0x7F || c == u' ') {
        return true;
    }
    // Characters RFC 3986 never allows unescaped; a pasted address holding one is broken.
    const auto forbidden = PELTO_TEXT(u"\"<>\\^`{|}");
    return forbidden.view().find(c) != std::u16string_view::npos;
}

}  // namespace

bool check_subscription_url(std::u16string_view url)
{
    if (url.empty() || url.size() > max_subscription_url_length) {
        return false;
    }
    for (const char16_t c : url) {
        if (is_forbidden(c)) {
            return false;
        }
    }
    if (!platform_url_parser_accepts(url)) {
        return false;
    }
    return url.find(u'#') == std::u16string_view::npos;
}

std::u16string builtin_endpoint_url()
{
    return utf8_to_utf16(PELTO_TEXT(PELTO_ENDPOINT_URL_LITERAL).view());
}

}  // namespace pelto
