#pragma once
// The user's four settings as one plain value record, copied freely between the application
// controller and the engine, and their store: the registry under the current user on Windows, a
// key file (`$XDG_CONFIG_HOME/pelto/settings`, mode 0600, replaced atomically) on Linux.
//
// `load_preferences` never fails: a missing store, a missing value, a value of the wrong type, a
// language other than 0, 1 or 2, or a subscription address that fails `check_subscription_url`
// or equals the built-in endpoint yields that field's default. `store_preferences` refuses a
// non-empty address that fails the check without writing anything; otherwise it writes all four
// values (the address as a string, empty included) and reports whether that worked.

#include <cstdint>
#include <optional>
#include <string>

namespace pelto {

struct preferences {
    std::u16string subscription_url;  // user override of the subscription endpoint; empty: built-in
    bool tun_enabled = false;         // TUN mode wanted
    bool option_flag = false;         // leak protection wanted (TUN mode)
    std::int32_t language = 0;        // language_choice: 0 follow the system, 1 and 2 fixed
};

preferences load_preferences();
bool store_preferences(const preferences& prefs);

// The store's raw values as the platform holds them; a value that is absent or of the wrong type
// is empty. Platform backend of the two calls above.
struct stored_values {
    std::optional<std::u16string> subscription_url;
    std::optional<std::uint32_t> tun;
    std::optional<std::uint32_t> option;
    std::optional<std::uint32_t> language;
};
// False when the store cannot be opened (then every value is empty).
bool read_stored_values(stored_values& out);
// Writes the four values in the order subscription, TUN, option, language; false at the first
// failure (on Windows the earlier values stay written; the Linux key file is replaced whole or
// not at all).
bool write_stored_values(const std::u16string& subscription_url, std::uint32_t tun, std::uint32_t option,
                         std::uint32_t language);

}  // namespace pelto
