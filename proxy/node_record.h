#pragma once
// One proxy node as parsed from a share link: the single structure from which every outbound
// protocol takes its parameters. A plain value type, copied freely.
//
// Lengths are not bounded by the parser: `server`, `tls_server_name` and `vless.sni` may be longer
// than 255 bytes. Host names travel in one-byte length fields (the domain form of the VLESS,
// Trojan and Shadowsocks address headers), and a DNS name has at most 253 bytes anyway, so every
// dial path must refuse a longer host with an error rather than truncate the length byte.

#include <array>
#include <cstdint>
#include <string>

#include "base/bytes.h"

namespace pelto {

enum class node_protocol : std::int32_t {
    trojan = 0,
    shadowsocks = 1,
    vless = 2,
};

// What carries a VLESS session to the node. WebSocket always runs inside TLS.
enum class vless_transport : std::int32_t {
    raw_tcp,
    tls,
    tls_websocket,
    reality,
};

// How the destination's bytes travel inside the session: as they are, or in Vision frames
// (only over TLS or REALITY without WebSocket).
enum class vless_flow : std::int32_t {
    plain,
    vision,
};

struct vless_settings {
    std::array<std::uint8_t, 16> uuid{};
    vless_transport transport = vless_transport::raw_tcp;
    vless_flow flow = vless_flow::plain;
    std::string sni;       // TLS server name; never empty after parsing
    std::string ws_host;   // WebSocket Host header value; may be empty
    std::string ws_path;   // WebSocket path; the root path when the link gives none
    std::array<std::uint8_t, 32> reality_public_key{};
    std::array<std::uint8_t, 8> reality_short_id{};
};

struct node_record {
    node_protocol protocol = node_protocol::trojan;
    std::u16string name;          // display name: the link's fragment decoded from UTF-8
    std::string server;           // host as written in the link, IPv6 brackets removed
    std::uint16_t port = 0;       // 1..65535
    std::string tls_server_name;  // Trojan: TLS server name, never empty after parsing
    std::string password;         // Trojan: percent-decoded password
    bytes identity_key;           // Shadowsocks: identity pre-shared key, empty or 16 bytes
    bytes user_key;               // Shadowsocks: user pre-shared key, 16 bytes
    vless_settings vless;         // VLESS only; zero/empty for the other protocols
    std::int32_t name_rank = 0;   // 0..4, derived from the name; smaller sorts first
};

}  // namespace pelto
