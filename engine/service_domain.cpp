#include "engine/service_domain.h"

#include <mutex>

#include "base/obfuscated.h"
#include "base/text.h"

#ifndef PELTO_SERVICE_DOMAIN_LITERAL
#error "PELTO_SERVICE_DOMAIN_LITERAL must be defined by the build"
#endif

namespace pelto {
namespace {

std::mutex override_mutex;
std::string override_domain;  // guarded by override_mutex; empty: the built-in domain

}  // namespace

std::string service_domain()
{
    {
        const std::lock_guard<std::mutex> lock(override_mutex);
        if (!override_domain.empty()) {
            return override_domain;
        }
    }
    return ascii_lower(PELTO_TEXT(PELTO_SERVICE_DOMAIN_LITERAL).view());
}

bool is_proxied_host(std::string_view host)
{
    const std::string domain = service_domain();
    if (domain.empty()) {
        return false;
    }
    // A fully qualified name may end in the root's dot: "www.service.example." is the same host.
    if (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);
    }
    const std::string lower = ascii_lower(host);
    if (lower == domain) {
        return true;
    }
    // "x.domain": at least one character, then a dot, then the domain.
    return lower.size() >= domain.size() + 2 &&
           lower.compare(lower.size() - domain.size(), domain.size(), domain) == 0 &&
           lower[lower.size() - domain.size() - 1] == '.';
}

void set_service_domain_for_testing(std::string_view domain)
{
    const std::lock_guard<std::mutex> lock(override_mutex);
    override_domain = ascii_lower(domain);
}

}  // namespace pelto
