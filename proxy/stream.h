#pragma once
// The blocking byte channel every relayed byte passes through, in proxy mode and in TUN mode.
//
// `read` blocks until data is available and returns the number of bytes placed (1..capacity);
// any value below 1 means end of stream or error. `write` returns true once every byte has been
// handed to the connection; a false write ends the connection. `close` shuts the connection down
// and is idempotent; it may be called from another thread while `read` or `write` block, which
// then return end of stream / false (this is how a relay wakes its other direction). The
// destructor releases everything, closing the connection if it is still open.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace pelto {

class stream {
public:
    virtual ~stream() = default;
    virtual std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) = 0;
    virtual bool write(const std::uint8_t* data, std::int32_t length) = 0;
    virtual void close() = 0;

    stream() = default;
    stream(const stream&) = delete;
    stream& operator=(const stream&) = delete;
};

// The same contract, as seen by TUN mode.
class tun_conn {
public:
    virtual ~tun_conn() = default;
    virtual std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) = 0;
    virtual bool write(const std::uint8_t* data, std::int32_t length) = 0;
    virtual void close() = 0;

    tun_conn() = default;
    tun_conn(const tun_conn&) = delete;
    tun_conn& operator=(const tun_conn&) = delete;
};

// How TUN mode opens an outbound connection for a new flow: the engine hands a `dial_fn` to TUN
// mode when it starts, and a flow worker calls it with the host name remembered for the flow's
// destination address and the destination port. Returns the connected channel, or none with
// `out_error` holding the reason. May block for as long as a connect and a protocol handshake
// take; called from many flow workers at once.
using dial_fn = std::function<std::unique_ptr<tun_conn>(std::string_view host, std::uint16_t port,
                                                        std::u16string& out_error)>;

}  // namespace pelto
