#pragma once
// The user's four settings as one plain value record, copied freely between the application
// controller and the engine.

#include <cstdint>
#include <string>

namespace pelto {

struct preferences {
    std::u16string subscription_url;  // user override of the subscription endpoint; empty: built-in
    bool tun_enabled = false;         // TUN mode wanted
    bool option_flag = false;         // leak protection wanted (TUN mode)
    std::int32_t language = 0;        // language_choice: 0 follow the system, 1 and 2 fixed
};

}  // namespace pelto
