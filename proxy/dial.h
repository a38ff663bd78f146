#pragma once
// Turning a node and a destination into a connected stream, and the wrapper through which TUN
// mode receives such streams.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "proxy/node_record.h"
#include "proxy/stream.h"

namespace pelto {

// Connects to `node` and asks it for `host`:`port`, sending `initial_payload` with the request.
// Returns the stream (unique ownership) or none. On failure `out_error` holds the reason set by
// the layer that failed (connect, handshake, protocol); it is written only where that layer writes
// it, so callers that need it clear it first. A failed dial never leaves a connection open.
std::unique_ptr<stream> dial_node(const node_record& node, std::string_view host,
                                  std::uint16_t port, std::int32_t connect_timeout_ms,
                                  std::int32_t io_timeout_ms, const bytes& initial_payload,
                                  std::u16string& out_error);

// A dialled stream as TUN mode sees it. Forwards every call to the owned stream; with none, reads
// 0, writes false and closes without effect. Destroying it destroys the stream (which closes it).
class tun_dial final : public tun_conn {
public:
    explicit tun_dial(std::unique_ptr<stream> inner) : inner_(std::move(inner)) {}

    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override;
    bool write(const std::uint8_t* data, std::int32_t length) override;
    void close() override;

private:
    std::unique_ptr<stream> inner_;
};

// The dial factory TUN mode is started with. For a host that `is_proxied_host` accepts it dials
// a snapshot of the current node (connect 8000 ms, I/O 120000 ms, no initial payload); any other
// host, or a port outside 1..65535, fails with an error text and opens nothing.
dial_fn make_tun_dial_fn(std::function<bool(std::string_view host)> is_proxied_host,
                         std::function<node_record()> current_node_snapshot);

}  // namespace pelto
