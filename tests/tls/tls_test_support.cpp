#include "tests/tls/tls_test_support.h"

#include <cstdlib>
#include <sstream>

#include "base/text.h"

namespace pelto::testing {

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::uint16_t tls_peer_port(std::string_view name)
{
    std::stringstream in(environment("PELTO_TLS_PORTS"));
    for (std::string entry; in >> entry;) {
        const auto eq = entry.find('=');
        if (eq != std::string::npos && entry.compare(0, eq, name) == 0) {
            return static_cast<std::uint16_t>(std::stoi(entry.substr(eq + 1)));
        }
    }
    return 0;
}

std::string narrow(std::u16string_view text)
{
    return utf16_to_utf8(text);
}

}  // namespace pelto::testing
