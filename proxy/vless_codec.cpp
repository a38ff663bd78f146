#include "proxy/vless_codec.h"

namespace pelto {
namespace {

constexpr std::uint8_t version = 0;
constexpr std::uint8_t command_tcp = 1;
constexpr std::uint8_t address_type_domain = 2;

}  // namespace

bool vless_emit_request(const vless_user_id& user, byte_span addons, std::string_view host,
                        std::uint16_t port, bytes& out)
{
    if (host.empty() || host.size() > vless_max_host || addons.size() > 255) {
        return false;
    }
    byte_writer w(out);
    w.u8(version);
    w.append(user);
    {
        auto scope = w.prefixed_u8();
        w.append(addons);
    }
    w.u8(command_tcp);
    w.u16(port);
    w.u8(address_type_domain);
    {
        auto scope = w.prefixed_u8();
        w.append(host);
    }
    return w.ok();
}

vless_response_status vless_parse_response(byte_span data, std::size_t& out_size)
{
    byte_reader r(data);
    std::uint8_t response_version = 0;
    byte_reader addons;
    if (!r.read_u8(response_version)) {
        return vless_response_status::need_more;
    }
    if (response_version != version) {
        return vless_response_status::bad_version;
    }
    if (!r.read_prefixed_u8(addons)) {
        return vless_response_status::need_more;
    }
    out_size = data.size() - r.remaining();
    return vless_response_status::complete;
}

}  // namespace pelto
