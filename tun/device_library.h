#pragma once
// Making the device calls available. Windows: the adapter library is written from the program's
// resources (RCDATA 500) into the program's directory, replacing any file there, opened again so
// that nobody can write, rename or delete it until it is loaded, checked to have the SHA-256 of
// the resource (a file someone altered in between is refused), loaded from there with its
// dependencies searched only beside it and in the system directory, and its eleven entry points
// looked up. Linux: the calls are this program's own `/dev/net/tun` backend, always
// available.
//
// Called under the TUN lock only; `unload_device_library` forgets the calls (Windows: frees the
// library). The table stays valid from a successful load until the unload.

#include <string>

#include "tun/device_table.h"

namespace pelto::tun {

// False with a message for the user when the library cannot be written, loaded or is missing an
// entry point (it then stays loaded until `unload_device_library`).
bool load_device_library(std::u16string& out_message);
void unload_device_library();
// The calls of the loaded library; all null before a load and after the unload.
const device_table& device_calls();

// The adapter named `name`: the one an earlier run left (`out_left_over`), or a new one created
// with that name as name and tunnel type and `adapter_guid`. Null when neither works; the
// device's last error then tells why.
device_table::adapter_handle open_or_create_adapter(const device_table& calls, const std::u16string& name,
                                                    bool& out_left_over);

}  // namespace pelto::tun
