#include "base/localized_text.h"

#include <windows.h>

namespace pelto {

bool system_ui_language_is_chinese()
{
    // The primary language is the low ten bits of the language identifier.
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_CHINESE;
}

}  // namespace pelto
