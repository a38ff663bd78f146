#pragma once
// Test seam of the Windows library loader: loads from another resource of the program into the
// given file path instead of RCDATA 500 and the program's directory. `after_write`, when given,
// runs between writing the file and checking it (where another program could alter it). The
// product never calls it.

#include <functional>
#include <string>
#include <string_view>

namespace pelto::tun {

bool load_device_library_for_testing(int resource_id, std::u16string_view file_path,
                                     std::u16string& out_message,
                                     const std::function<void()>& after_write = {});

}  // namespace pelto::tun
