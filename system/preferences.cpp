#include "system/preferences.h"

#include "net/subscription_url.h"

namespace pelto {

preferences load_preferences()
{
    preferences prefs;
    stored_values values;
    if (!read_stored_values(values)) {
        return prefs;
    }
    if (values.subscription_url && check_subscription_url(*values.subscription_url) &&
        *values.subscription_url != builtin_endpoint_url()) {
        prefs.subscription_url = *values.subscription_url;
    }
    if (values.tun) {
        prefs.tun_enabled = *values.tun != 0;
    }
    if (values.option) {
        prefs.option_flag = *values.option != 0;
    }
    if (values.language && *values.language <= 2) {
        prefs.language = static_cast<std::int32_t>(*values.language);
    }
    return prefs;
}

bool store_preferences(const preferences& prefs)
{
    if (!prefs.subscription_url.empty() && !check_subscription_url(prefs.subscription_url)) {
        return false;
    }
    return write_stored_values(prefs.subscription_url, prefs.tun_enabled ? 1 : 0, prefs.option_flag ? 1 : 0,
                               static_cast<std::uint32_t>(prefs.language));
}

}  // namespace pelto
