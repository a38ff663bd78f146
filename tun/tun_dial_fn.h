#pragma once
// How TUN mode opens an outbound connection for a new flow: the engine hands a `dial_fn` to TUN
// mode when it starts, and a flow worker calls it with the host name remembered for the flow's
// destination address and the destination port.
//
// Returns the connected channel, or none with `out_error` holding the reason. May block for as
// long as a connect and a protocol handshake take; called from many flow workers at once.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "proxy/stream.h"

namespace pelto {

using dial_fn = std::function<std::unique_ptr<tun_conn>(std::string_view host, std::int32_t port,
                                                        std::u16string& out_error)>;

}  // namespace pelto
