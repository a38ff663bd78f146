#include "proxy/trojan_stream.h"

#include "base/obfuscated.h"
#include "base/text.h"
#include "proxy/trojan_codec.h"

namespace pelto {

bool trojan_stream::request(socket_handle connected_socket, const node_record& node,
                            std::string_view host, std::uint16_t port, const bytes& initial_payload,
                            std::u16string& out_error)
{
    bytes header;
    if (!trojan_emit_request(node.password, host, port, initial_payload, header)) {
        close_socket(connected_socket);
        out_error = PELTO_TEXT(u"Trojan: the destination host must be 1 to 255 bytes long").str();
        return false;
    }
    const std::string& server_name = node.tls_server_name.empty() ? node.server : node.tls_server_name;
    if (!channel_.connect(connected_socket, server_name, out_error)) {
        return false;
    }
    if (!channel_.send(header.data(), static_cast<std::int32_t>(header.size()))) {
        out_error = PELTO_TEXT(u"Trojan: sending the request header failed").str();
        return false;
    }
    return true;
}

}  // namespace pelto
