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

enum node_protocol : std::int32_t {
    protocol_trojan = 0,
    protocol_shadowsocks = 1,
    protocol_vless = 2,
};

struct vless_settings {
    std::array<std::uint8_t, 16> uuid{};
    bool vision = false;
    bool reality = false;
    bool websocket = false;
    bool tls = false;
    std::string sni;       // TLS server name; never empty after parsing
    std::string ws_host;   // WebSocket Host header value; may be empty
    std::string ws_path;   // WebSocket path; the root path when the link gives none
    std::array<std::uint8_t, 32> reality_public_key{};
    std::array<std::uint8_t, 8> reality_short_id{};
};

struct node_record {
    std::int32_t protocol = protocol_trojan;
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
