#include "base/localized_text.h"

#include "base/obfuscated.h"

#include <cstdlib>
#include <string_view>

namespace pelto {

namespace {

// A locale name such as "zh", "zh_CN.UTF-8", "zh_TW@stroke" or "zh-Hant" names Chinese.
bool names_chinese(std::string_view locale)
{
    const auto prefix = PELTO_TEXT("zh");
    if (locale.size() < 2 || (locale[0] | 0x20) != prefix.view()[0] ||
        (locale[1] | 0x20) != prefix.view()[1]) {
        return false;
    }
    if (locale.size() == 2) {
        return true;
    }
    const char next = locale[2];
    return next == '_' || next == '.' || next == '@' || next == '-';
}

}  // namespace

bool system_ui_language_is_chinese()
{
    // The message-language variables in order of precedence; the first non-empty one decides.
    // LANGUAGE is a colon-separated list of preferences, of which the first entry counts.
    const char* language = std::getenv(PELTO_TEXT("LANGUAGE").c_str());
    if (language != nullptr) {
        std::string_view list(language);
        while (!list.empty()) {
            const std::size_t colon = list.find(':');
            const std::string_view entry = list.substr(0, colon);
            if (!entry.empty()) {
                return names_chinese(entry);
            }
            if (colon == std::string_view::npos) {
                break;
            }
            list.remove_prefix(colon + 1);
        }
    }
    const auto lc_all = PELTO_TEXT("LC_ALL");
    const auto lc_messages = PELTO_TEXT("LC_MESSAGES");
    const auto lang = PELTO_TEXT("LANG");
    for (const char* name : {lc_all.c_str(), lc_messages.c_str(), lang.c_str()}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') {
            return names_chinese(value);
        }
    }
    return false;
}

}  // namespace pelto
