#include "tun/device_library.h"

namespace pelto::tun {

device_table::adapter_handle open_or_create_adapter(const device_table& calls, const std::u16string& name,
                                                    bool& out_left_over)
{
    device_table::adapter_handle adapter = calls.open_adapter(name.c_str());
    out_left_over = adapter != nullptr;
    if (adapter == nullptr) {
        adapter = calls.create_adapter(name.c_str(), name.c_str(), &adapter_guid);
    }
    return adapter;
}

}  // namespace pelto::tun
