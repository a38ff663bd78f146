#pragma once
// Share links: a subscription body (a list of links, one per line, optionally Base64-encoded as a
// whole) becomes an ordered vector of `node_record`.
//
// Understood schemes: Trojan over TLS, Shadowsocks 2022 with 128-bit AES-GCM, and VLESS over plain
// TCP, TLS, TLS with WebSocket or REALITY (optionally with the Vision flow). The parser never
// fails as a whole: a line of another scheme, a line that fails validation and a line whose name
// marks an informational entry of the subscription (remaining traffic, expiry, official site...)
// is skipped. Rejections of a known link type that a user may want to know about are reported as
// warning lines through `log_line`; the others are skipped silently. A server name, WebSocket host
// or path with control characters or spaces is refused (with a warning), since those texts go into
// TLS server names and HTTP request lines.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/node_record.h"

namespace pelto {

// Nodes in link order; no sorting and no de-duplication.
std::vector<node_record> parse_share_links(std::string_view body);

// Splits `scheme://userinfo@host:port/?query#fragment`. The scheme is ASCII lower-cased, the
// userinfo and the fragment are percent-decoded, the query is left as written. The port is
// mandatory. On failure the outputs are left untouched.
bool split_link(std::string_view line, std::string& out_scheme, std::string& out_userinfo, std::string& out_host,
                std::uint16_t& out_port, std::string& out_query, std::string& out_fragment);

// The percent-decoded value of the first `key=value` pair of `query` whose key equals `key`
// exactly; empty when there is none.
std::string query_value(std::string_view query, std::string_view key);

// Each "%" followed by two hexadecimal digits becomes that byte; everything else, "+" included,
// is copied unchanged.
std::string percent_decode(std::string_view text);

// Parses `host`, `host:port`, `[v6]` or `[v6]:port`. The host must be non-empty and free of white
// space, path separators and NUL; the port must be 1..65535. Without a port the default is used,
// and a default of 0 makes the port mandatory. On failure the outputs are left untouched.
bool parse_host_port(std::string_view text, std::string& out_host, std::uint16_t& out_port, int default_port);

// 0..4, smaller sorts first; see the keyword sets in share_links.cpp.
std::int32_t name_rank(std::u16string_view name);

// True when the name marks an informational entry of a subscription rather than a server.
bool is_informational_name(std::u16string_view name);

}  // namespace pelto
