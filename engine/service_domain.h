#pragma once
// The built-in domain whose hosts are reached through the selected node.
//
// The value is fixed when the program is built (the PELTO_SERVICE_DOMAIN CMake variable) and is
// kept obfuscated in the executable. Tests may replace it process-wide through
// `set_service_domain_for_testing` before any connection is served; the product never calls it.

#include <string>
#include <string_view>

namespace pelto {

// The domain in ASCII lower case.
std::string service_domain();

// True when `host` (compared in ASCII lower case) equals the service domain, or ends with a dot
// followed by it and has at least one character before that dot.
bool is_proxied_host(std::string_view host);

// Test seam: replaces the domain for the rest of the process (an empty text restores the built-in
// one). Thread-safe, but meant to be called before connections are served.
void set_service_domain_for_testing(std::string_view domain);

}  // namespace pelto
