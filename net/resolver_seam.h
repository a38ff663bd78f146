#pragma once
// A test seam for name resolution: replaces the system lookup that `resolve_host` runs on its
// worker thread (on both platforms, the worker path is then always taken). Tests use it to inject
// a slow lookup or a chosen address list; the product never calls it. Pass nullptr to restore
// the system lookup. The function must stay callable until every lookup started with it is done.

#include <string>
#include <string_view>

#include "net/socket.h"

namespace pelto {

using replacement_lookup = bool (*)(const std::string& host, const std::string& service,
                                    address_list& out);
void replace_lookup_for_tests(replacement_lookup lookup);

// How many worker lookups are running now, abandoned ones included.
int running_lookups_for_tests();

// Windows only (defined by the Winsock backend): runs the overlapped resolver directly, with the
// system's cancel or with a cancel that does nothing, as some systems export it. False with
// `out_available` false when the system lacks the overlapped entry points; otherwise the
// resolver's own result.
enum class overlapped_cancel { system, stub };
bool resolve_overlapped_for_tests(overlapped_cancel mode, std::string_view host, std::string_view service,
                                  address_list& out_addresses, std::u16string& out_error, bool& out_available);

}  // namespace pelto
