// libFuzzer target: any subscription body must parse without a crash or a sanitizer report, and
// every node that comes out must satisfy the record's invariants.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/engine_state.h"
#include "engine/share_links.h"

namespace {

void discard_line(const std::u16string&) {}

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

bool printable(std::string_view text)
{
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F) {
            return false;
        }
    }
    return true;
}

void check_node(const pelto::node_record& n)
{
    require(!n.server.empty() && n.port != 0);
    require(n.name_rank >= 0 && n.name_rank <= 4);
    switch (n.protocol) {
    case pelto::node_protocol::trojan:
        require(!n.tls_server_name.empty() && printable(n.tls_server_name));
        break;
    case pelto::node_protocol::shadowsocks:
        require(n.user_key.size() == 16 && (n.identity_key.empty() || n.identity_key.size() == 16));
        break;
    case pelto::node_protocol::vless:
        require(!n.vless.sni.empty() && !n.vless.ws_path.empty());
        require(printable(n.vless.sni) && printable(n.vless.ws_host) && printable(n.vless.ws_path));
        require(n.vless.transport == pelto::vless_transport::raw_tcp || n.vless.transport == pelto::vless_transport::tls ||
                n.vless.transport == pelto::vless_transport::tls_websocket ||
                n.vless.transport == pelto::vless_transport::reality);
        require(n.vless.transport != pelto::vless_transport::tls_websocket ||
                n.vless.flow == pelto::vless_flow::plain);
        break;
    default:
        require(false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool registered = [] {
        pelto::set_message_callback(discard_line);  // so the warning lines are built as well
        return true;
    }();
    (void)registered;

    const std::string_view body(reinterpret_cast<const char*>(data), size);
    for (const pelto::node_record& n : pelto::parse_share_links(body)) {
        check_node(n);
    }
    // The loopback listener parses request targets with the same host/port reader.
    std::string host;
    std::uint16_t port = 0;
    if (pelto::parse_host_port(body, host, port, 443)) {
        require(!host.empty() && port != 0);
    }
    return 0;
}
