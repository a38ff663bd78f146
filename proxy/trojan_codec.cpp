#include "proxy/trojan_codec.h"

#include "crypto/encoding.h"
#include "crypto/sha256.h"

namespace pelto {
namespace {

constexpr std::uint8_t command_connect = 1;
constexpr std::uint8_t address_type_domain = 3;

}  // namespace

bool trojan_emit_request(std::string_view password, std::string_view host, std::uint16_t port,
                         byte_span payload, bytes& out)
{
    if (host.empty() || host.size() > trojan_max_host) {
        return false;
    }
    byte_writer w(out);
    w.append(hex_encode(sha224(as_bytes(password))));
    w.append(std::string_view("\r\n"));
    w.u8(command_connect);
    w.u8(address_type_domain);
    {
        auto scope = w.prefixed_u8();
        w.append(host);
    }
    w.u16(port);
    w.append(std::string_view("\r\n"));
    w.append(payload);
    return w.ok();
}

}  // namespace pelto
