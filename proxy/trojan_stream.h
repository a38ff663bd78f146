#pragma once
// One proxied TCP connection over Trojan: TLS to the node, one request header (the password's
// SHA-224 in hex, the destination, the caller's initial payload) in the first TLS write, then the
// destination's bytes unchanged in both directions. There is no response header; a server that
// refuses the password typically hands the connection to its fallback site, so the stream itself
// cannot tell.
//
// One thread may read while another writes and a third closes (see net/tls_channel.h). The
// destructor closes.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "proxy/node_record.h"
#include "net/tls_channel.h"
#include "proxy/stream.h"

namespace pelto {

class trojan_stream final : public stream {
public:
    // Takes ownership of `connected_socket`, runs the TLS handshake with the node's TLS server
    // name (else its server address) and sends the request. False with `out_error` set by the
    // handshake, or for a host that is empty or longer than 255 bytes, or a failed write; the
    // caller then destroys the stream.
    bool request(socket_handle connected_socket, const node_record& node, std::string_view host,
                 std::uint16_t port, const bytes& initial_payload, std::u16string& out_error);

    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override
    {
        return channel_.recv(buffer, capacity);
    }
    bool write(const std::uint8_t* data, std::int32_t length) override
    {
        return channel_.send(data, length);
    }
    void close() override { channel_.close(); }

private:
    tls_channel channel_;
};

}  // namespace pelto
