#include "proxy/dial.h"

#include <utility>

#include "base/obfuscated.h"
#include "net/socket.h"
#include "proxy/ss_stream.h"
#include "proxy/trojan_codec.h"
#include "proxy/trojan_stream.h"
#include "proxy/vless_session.h"

namespace pelto {
namespace {

constexpr std::int32_t tunnel_connect_timeout_ms = 8000;
constexpr std::int32_t tunnel_io_timeout_ms = 120000;

std::unique_ptr<stream> dial_shadowsocks(const node_record& node, std::string_view host,
                                         std::uint16_t port, std::int32_t connect_timeout_ms,
                                         std::int32_t io_timeout_ms, const bytes& initial_payload,
                                         std::u16string& out_error)
{
    socket_handle socket = invalid_socket_handle;
    if (!tcp_connect(node.server, node.port, connect_timeout_ms, io_timeout_ms, socket, out_error)) {
        return nullptr;
    }
    auto ss = std::make_unique<ss_stream>(socket);
    if (!ss->request(node, host, port, initial_payload, out_error)) {
        return nullptr;  // destroying the stream closes its socket
    }
    return ss;
}

std::unique_ptr<stream> dial_trojan(const node_record& node, std::string_view host, std::uint16_t port,
                                    std::int32_t connect_timeout_ms, std::int32_t io_timeout_ms,
                                    const bytes& initial_payload, std::u16string& out_error)
{
    // Checked before connecting: the host travels behind a one-byte length.
    if (host.empty() || host.size() > trojan_max_host) {
        out_error = PELTO_TEXT(u"Trojan: the destination host must be 1 to 255 bytes long").str();
        return nullptr;
    }
    socket_handle socket = invalid_socket_handle;
    if (!tcp_connect(node.server, node.port, connect_timeout_ms, io_timeout_ms, socket, out_error)) {
        return nullptr;
    }
    auto trojan = std::make_unique<trojan_stream>();
    if (!trojan->request(socket, node, host, port, initial_payload, out_error)) {
        return nullptr;  // destroying the stream closes its socket
    }
    return trojan;
}

std::unique_ptr<stream> dial_vless(const node_record& node, std::string_view host, std::uint16_t port,
                                   std::int32_t connect_timeout_ms, std::int32_t io_timeout_ms,
                                   const bytes& initial_payload, std::u16string& out_error)
{
    std::unique_ptr<vless_link> link = vless_dial(node.vless, node.server, node.port, host, port,
                                                  connect_timeout_ms, io_timeout_ms, initial_payload,
                                                  out_error);
    if (!link) {
        return nullptr;
    }
    return std::make_unique<vless_stream>(std::move(link));
}

}  // namespace

std::unique_ptr<stream> dial_node(const node_record& node, std::string_view host,
                                  std::uint16_t port, std::int32_t connect_timeout_ms,
                                  std::int32_t io_timeout_ms, const bytes& initial_payload,
                                  std::u16string& out_error)
{
    switch (node.protocol) {
    case node_protocol::shadowsocks:
        return dial_shadowsocks(node, host, port, connect_timeout_ms, io_timeout_ms,
                                initial_payload, out_error);
    case node_protocol::trojan:
        return dial_trojan(node, host, port, connect_timeout_ms, io_timeout_ms, initial_payload,
                           out_error);
    case node_protocol::vless:
        return dial_vless(node, host, port, connect_timeout_ms, io_timeout_ms, initial_payload,
                          out_error);
    default:
        // Checked before connecting: a record of no known protocol must not open a connection
        // that nothing would ever use or close.
        out_error = PELTO_TEXT(u"The node uses an unknown protocol.").str();
        return nullptr;
    }
}

std::int32_t tun_dial::read(std::uint8_t* buffer, std::int32_t capacity)
{
    return inner_ ? inner_->read(buffer, capacity) : 0;
}

bool tun_dial::write(const std::uint8_t* data, std::int32_t length)
{
    return inner_ ? inner_->write(data, length) : false;
}

void tun_dial::close()
{
    if (inner_) {
        inner_->close();
    }
}

dial_fn make_tun_dial_fn(std::function<bool(std::string_view host)> is_proxied_host,
                         std::function<node_record()> current_node_snapshot)
{
    return [is_proxied_host = std::move(is_proxied_host),
            current_node_snapshot = std::move(current_node_snapshot)](
               std::string_view host, std::uint16_t port,
               std::u16string& out_error) -> std::unique_ptr<tun_conn> {
        if (!is_proxied_host(host)) {
            out_error = PELTO_TEXT(u"This host is not served through the proxy node.").str();
            return nullptr;
        }
        // Port 0 names no service; no connect may be tried for it.
        if (port == 0) {
            out_error = PELTO_TEXT(u"The destination port is out of range.").str();
            return nullptr;
        }
        const node_record node = current_node_snapshot();
        std::unique_ptr<stream> dialled =
            dial_node(node, host, port, tunnel_connect_timeout_ms,
                      tunnel_io_timeout_ms, bytes{}, out_error);
        if (!dialled) {
            return nullptr;
        }
        return std::make_unique<tun_dial>(std::move(dialled));
    };
}

}  // namespace pelto
