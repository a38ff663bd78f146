// libFuzzer target: any bytes as a DNS message, through every reader the resolver uses. Nothing
// may read outside the message or loop; a rewritten answer must itself be a walkable message with
// exactly the records it announces, TC and AD clear; a truncated reply must keep one question.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tun/dns_message.h"

namespace {

using namespace pelto;
using namespace pelto::tun;

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const byte_span message(data, size);
    for (std::size_t at = 0; at < size && at < 600; ++at) {
        if (auto name = read_dns_name(message, at)) {
            require(name->text.size() <= 253);
            require(name->end > at && name->end <= size);
        }
    }
    bytes query(message.begin(), message.end());
    if (sanitise_query(query)) {
        require(query.size() == size);
    }
    static_cast<void>(is_forwardable_query(message));
    static_cast<void>(answer_matches(message, message));

    const bool refuse_v6 = size > 0 && (data[0] & 1);
    const dns_rewrite_hooks hooks{
        [](std::string_view name) { return std::string(name.empty() ? "" : "routed.test"); },
        [](std::string_view target, std::string_view routed) { require(!target.empty() && !routed.empty()); },
        [](std::uint32_t address, std::string_view) { return (address & 1) == 0; },
        [refuse_v6](byte_span address) {
            require(address.size() == 16);
            return !refuse_v6;
        },
    };
    bytes out;
    if (rewrite_answer(message, hooks, out) == rewrite_outcome::rewritten) {
        require(out.size() >= dns_header_size);
        require((out[2] & 0x02) == 0 && (out[3] & 0x20) == 0);
        require(out[8] == 0 && out[9] == 0 && out[10] == 0 && out[11] == 0);
        // Questions as received, then exactly the announced records, nothing behind them.
        bytes walk = out;
        require(sanitise_query(walk));
    }
    const bytes tc = truncated_reply(message);
    if (!tc.empty()) {
        require(dns_truncated(tc));
        require(tc[4] == 0 && tc[5] == 1 && tc[7] == 0);
    }
    return 0;
}
