// libFuzzer target: any endpoint document must parse without a crash, an exception or a
// sanitizer report, and every URL that comes out must pass the subscription address check.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/node_loader.h"
#include "net/subscription_url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view document(reinterpret_cast<const char*>(data), size);
    const auto list = pelto::parse_endpoint_document(document);
    if (list.size() > 33) {
        std::abort();
    }
    for (const auto& url : list) {
        if (!pelto::check_subscription_url(url)) {
            std::abort();
        }
    }
    return 0;
}
