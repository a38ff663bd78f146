#pragma once
// A test seam for name resolution: replaces the system lookup that `resolve_host` runs on its
// worker thread (on both platforms, the worker path is then always taken). Tests use it to inject
// a slow lookup or a chosen address list; the product never calls it. Pass nullptr to restore
// the system lookup. The function must stay callable until every lookup started with it is done.

#include <string>

#include "net/socket.h"

namespace pelto {

using replacement_lookup = bool (*)(const std::u16string& host, const std::u16string& service,
                                    address_list& out);
void replace_lookup_for_tests(replacement_lookup lookup);

}  // namespace pelto
