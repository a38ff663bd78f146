#include "net/https_get.h"

#include <cstdio>

#include "base/obfuscated.h"
#include "base/text.h"
#include "net/subscription_url.h"
#include "base/localized_text.h"

namespace pelto {

namespace https_text {

std::u16string status_error(long status)
{
    char frame[32];
    std::snprintf(frame, sizeof frame, PELTO_TEXT(" (HTTP %ld)").c_str(), status);
    std::u16string text = localized_text(message_id::server_returned_error);
    text += ascii_to_utf16(frame);
    return text;
}

std::u16string step_failed(std::u16string_view step, long error_number)
{
    char number[32];
    std::snprintf(number, sizeof number, PELTO_TEXT(" (error %ld)").c_str(), error_number);
    std::u16string text(step);
    text += ascii_to_utf16(number);
    return text;
}

std::u16string stopped()
{
    return PELTO_TEXT(u"The request was stopped because the program is reloading or closing").str();
}

}  // namespace https_text

bool https_get(std::u16string_view url, std::string& out_body, std::u16string& out_error)
{
    out_body.clear();
    if (!check_subscription_url(url)) {
        out_error = localized_text(message_id::invalid_subscription_url);
        return false;
    }
    if (!platform_https_get(url, out_body, out_error)) {
        out_body.clear();
        return false;
    }
    return true;
}

}  // namespace pelto
