#include "engine/share_links.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <span>

#include "base/obfuscated.h"
#include "base/text.h"
#include "crypto/encoding.h"
#include "engine/engine_state.h"

namespace pelto {
namespace {

// Keywords of the name filter and the name rank, decoded once per parse. All are lower-case:
// names are compared after ASCII lower-casing.
struct name_keywords {
    // Names of the fake entries subscriptions put among their servers to show account data and
    // news: remaining traffic, expiry date, official site, renewal, announcements, resets.
    std::vector<std::u16string> informational;

    // Rank sets, tested in this order; the first that matches gives the rank, none gives 4.
    //   0: dedicated private lines (IPLC/IEPL), which keep a steady latency under load;
    //   1: the nearby Asian regions: Hong Kong, Taiwan, Japan, Singapore, Korea;
    //   2: North America and western Europe: United States, Canada, Germany, United Kingdom,
    //      France, the Netherlands;
    //   3: other regions subscriptions commonly name: Australia, India, Russia, Turkey, Brazil,
    //      Argentina.
    // Each region is matched by its English name, its simplified and traditional Chinese names
    // and its flag emoji.
    std::array<std::vector<std::u16string>, 4> rank_sets;
};

name_keywords make_name_keywords()
{
    name_keywords k;
    k.informational = {
        PELTO_TEXT(u"remaining").str(),    PELTO_TEXT(u"traffic").str(),  PELTO_TEXT(u"expir").str(),
        PELTO_TEXT(u"official").str(),     PELTO_TEXT(u"website").str(),  PELTO_TEXT(u"renew").str(),
        PELTO_TEXT(u"announcement").str(), PELTO_TEXT(u"notice").str(),   PELTO_TEXT(u"reset").str(),
        PELTO_TEXT(u"telegram").str(),     PELTO_TEXT(u"subscription").str(), PELTO_TEXT(u"t.me/").str(),
        PELTO_TEXT(u"剩余").str(),         PELTO_TEXT(u"流量").str(),     PELTO_TEXT(u"到期").str(),
        PELTO_TEXT(u"过期").str(),         PELTO_TEXT(u"官网").str(),     PELTO_TEXT(u"网址").str(),
        PELTO_TEXT(u"续费").str(),         PELTO_TEXT(u"公告").str(),     PELTO_TEXT(u"通知").str(),
        PELTO_TEXT(u"重置").str(),         PELTO_TEXT(u"订阅").str(),     PELTO_TEXT(u"有效期").str(),
        PELTO_TEXT(u"套餐").str(),
    };
    k.rank_sets[0] = {
        PELTO_TEXT(u"iplc").str(),
        PELTO_TEXT(u"iepl").str(),
        PELTO_TEXT(u"专线").str(),
        PELTO_TEXT(u"專線").str(),
    };
    k.rank_sets[1] = {
        PELTO_TEXT(u"hong kong").str(), PELTO_TEXT(u"hongkong").str(), PELTO_TEXT(u"香港").str(),
        PELTO_TEXT(u"🇭🇰").str(),       PELTO_TEXT(u"taiwan").str(),   PELTO_TEXT(u"台湾").str(),
        PELTO_TEXT(u"台灣").str(),      PELTO_TEXT(u"🇹🇼").str(),      PELTO_TEXT(u"japan").str(),
        PELTO_TEXT(u"日本").str(),      PELTO_TEXT(u"🇯🇵").str(),      PELTO_TEXT(u"singapore").str(),
        PELTO_TEXT(u"新加坡").str(),    PELTO_TEXT(u"🇸🇬").str(),      PELTO_TEXT(u"korea").str(),
        PELTO_TEXT(u"韩国").str(),      PELTO_TEXT(u"韓國").str(),     PELTO_TEXT(u"🇰🇷").str(),
    };
    k.rank_sets[2] = {
        PELTO_TEXT(u"united states").str(),  PELTO_TEXT(u"美国").str(), PELTO_TEXT(u"美國").str(),
        PELTO_TEXT(u"🇺🇸").str(),            PELTO_TEXT(u"canada").str(), PELTO_TEXT(u"加拿大").str(),
        PELTO_TEXT(u"🇨🇦").str(),            PELTO_TEXT(u"germany").str(), PELTO_TEXT(u"德国").str(),
        PELTO_TEXT(u"德國").str(),           PELTO_TEXT(u"🇩🇪").str(),     PELTO_TEXT(u"united kingdom").str(),
        PELTO_TEXT(u"英国").str(),           PELTO_TEXT(u"英國").str(),    PELTO_TEXT(u"🇬🇧").str(),
        PELTO_TEXT(u"france").str(),         PELTO_TEXT(u"法国").str(),    PELTO_TEXT(u"法國").str(),
        PELTO_TEXT(u"🇫🇷").str(),            PELTO_TEXT(u"netherlands").str(), PELTO_TEXT(u"荷兰").str(),
        PELTO_TEXT(u"荷蘭").str(),           PELTO_TEXT(u"🇳🇱").str(),
    };
    k.rank_sets[3] = {
        PELTO_TEXT(u"australia").str(), PELTO_TEXT(u"澳大利亚").str(), PELTO_TEXT(u"澳洲").str(),
        PELTO_TEXT(u"🇦🇺").str(),       PELTO_TEXT(u"india").str(),    PELTO_TEXT(u"印度").str(),
        PELTO_TEXT(u"🇮🇳").str(),       PELTO_TEXT(u"russia").str(),   PELTO_TEXT(u"俄罗斯").str(),
        PELTO_TEXT(u"俄羅斯").str(),    PELTO_TEXT(u"🇷🇺").str(),      PELTO_TEXT(u"turkey").str(),
        PELTO_TEXT(u"土耳其").str(),    PELTO_TEXT(u"🇹🇷").str(),      PELTO_TEXT(u"brazil").str(),
        PELTO_TEXT(u"巴西").str(),      PELTO_TEXT(u"🇧🇷").str(),      PELTO_TEXT(u"argentina").str(),
        PELTO_TEXT(u"阿根廷").str(),    PELTO_TEXT(u"🇦🇷").str(),
    };
    return k;
}

std::u16string ascii_lower16(std::u16string_view text)
{
    std::u16string out(text);
    for (char16_t& c : out) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return out;
}

bool contains_any(std::u16string_view lowered, const std::vector<std::u16string>& keywords)
{
    for (const std::u16string& k : keywords) {
        if (lowered.find(k) != std::u16string_view::npos) {
            return true;
        }
    }
    return false;
}

std::int32_t rank_of_lowered(std::u16string_view lowered, const name_keywords& k)
{
    for (std::size_t rank = 0; rank < k.rank_sets.size(); ++rank) {
        if (contains_any(lowered, k.rank_sets[rank])) {
            return static_cast<std::int32_t>(rank);
        }
    }
    return static_cast<std::int32_t>(k.rank_sets.size());
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Decodes an even number of hex digits into `out` from its start; false on any other character,
// an odd count or more digits than `out` holds.
bool hex_decode_into(std::string_view text, std::span<std::uint8_t> out)
{
    if (text.size() % 2 != 0 || text.size() / 2 > out.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = hex_value(text[i]);
        const int lo = hex_value(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out[i / 2] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return true;
}

bool is_space_or_tab(char c)
{
    return c == ' ' || c == '\t';
}

bool is_white_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void warn_skipped(std::u16string_view name, std::u16string_view reason)
{
    std::u16string line = PELTO_TEXT(u"Skipped node \"").str();
    line.append(name);
    line.append(PELTO_TEXT(u"\": ").view());
    line.append(reason);
    log_line(log_level::warning, line);
}

// The fields every scheme takes from the split link.
struct split_parts {
    std::string scheme;
    std::string userinfo;
    std::string host;
    std::uint16_t port = 0;
    std::string query;
    std::u16string name;
};

node_record base_record(node_protocol protocol, split_parts& parts, std::int32_t rank)
{
    node_record node;
    node.protocol = protocol;
    node.name = std::move(parts.name);
    node.server = std::move(parts.host);
    node.port = parts.port;
    node.name_rank = rank;
    return node;
}

bool is_plain_tcp(std::string_view type)
{
    return type == PELTO_TEXT("tcp").view() || type == PELTO_TEXT("raw").view();
}

bool parse_trojan(split_parts& parts, std::int32_t rank, node_record& out)
{
    const std::string type = query_value(parts.query, PELTO_TEXT("type").view());
    const std::string security = query_value(parts.query, PELTO_TEXT("security").view());
    if (!(type.empty() || is_plain_tcp(type)) || !(security.empty() || security == PELTO_TEXT("tls").view())) {
        return false;
    }
    std::string server_name = query_value(parts.query, PELTO_TEXT("sni").view());
    if (server_name.empty()) {
        server_name = query_value(parts.query, PELTO_TEXT("peer").view());
    }
    std::string password = std::move(parts.userinfo);
    out = base_record(protocol_trojan, parts, rank);
    out.password = std::move(password);
    out.tls_server_name = server_name.empty() ? out.server : std::move(server_name);
    return true;
}

bool parse_shadowsocks(split_parts& parts, std::int32_t rank, node_record& out)
{
    if (!query_value(parts.query, PELTO_TEXT("plugin").view()).empty()) {
        return false;
    }
    std::string userinfo = std::move(parts.userinfo);
    if (userinfo.find(':') == std::string::npos) {
        const bytes decoded = base64_decode(userinfo);
        userinfo.assign(decoded.begin(), decoded.end());
    }
    const std::size_t colon = userinfo.find(':');
    if (colon == std::string::npos ||
        std::string_view(userinfo).substr(0, colon) != PELTO_TEXT("2022-blake3-aes-128-gcm").view()) {
        warn_skipped(parts.name, PELTO_TEXT(u"unsupported Shadowsocks method").view());
        return false;
    }
    const std::string_view keys = std::string_view(userinfo).substr(colon + 1);
    std::string_view identity_text;
    std::string_view user_text = keys;
    if (const std::size_t second = keys.find(':'); second != std::string_view::npos) {
        identity_text = keys.substr(0, second);
        user_text = keys.substr(second + 1);
    }
    bytes user_key = base64_decode(user_text);
    bytes identity_key = base64_decode(identity_text);
    if (user_key.size() != 16 || !(identity_key.empty() || identity_key.size() == 16)) {
        warn_skipped(parts.name, PELTO_TEXT(u"invalid Shadowsocks key").view());
        return false;
    }
    out = base_record(protocol_shadowsocks, parts, rank);
    out.user_key = std::move(user_key);
    out.identity_key = std::move(identity_key);
    return true;
}

bool parse_vless_uuid(std::string_view userinfo, std::array<std::uint8_t, 16>& out)
{
    std::string digits;
    digits.reserve(32);
    for (char c : userinfo) {
        if (c != '-') {
            digits.push_back(c);
        }
    }
    return digits.size() == 32 && hex_decode_into(digits, out);
}

bool parse_vless(split_parts& parts, std::int32_t rank, node_record& out)
{
    vless_settings v;
    if (!parse_vless_uuid(parts.userinfo, v.uuid)) {
        warn_skipped(parts.name, PELTO_TEXT(u"invalid VLESS user id").view());
        return false;
    }
    const std::string_view query = parts.query;
    const std::string type = query_value(query, PELTO_TEXT("type").view());
    const std::string security = query_value(query, PELTO_TEXT("security").view());
    const std::string flow = query_value(query, PELTO_TEXT("flow").view());
    const std::string encryption = query_value(query, PELTO_TEXT("encryption").view());

    const auto vision_flow = PELTO_TEXT("xtls-rprx-vision");
    const bool is_tls = security == PELTO_TEXT("tls").view();
    const bool is_reality = security == PELTO_TEXT("reality").view();
    const bool is_websocket = type == PELTO_TEXT("ws").view();
    const bool encryption_ok = encryption.empty() || encryption == PELTO_TEXT("none").view();
    const bool type_ok = type.empty() || is_plain_tcp(type) || is_websocket;
    const bool flow_ok =
        flow.empty() || flow == vision_flow.view() || flow == PELTO_TEXT("xtls-rprx-vision-udp443").view();
    const bool combination_ok = is_websocket ? (is_tls && flow.empty()) : (flow.empty() || is_tls || is_reality);
    if (!encryption_ok || !type_ok || !flow_ok || !combination_ok) {
        warn_skipped(parts.name, PELTO_TEXT(u"unsupported VLESS parameters").view());
        return false;
    }

    v.vision = flow.find(vision_flow.view()) != std::string::npos;
    v.websocket = is_websocket;
    v.tls = is_tls;
    v.reality = is_reality;

    v.sni = query_value(query, PELTO_TEXT("sni").view());
    if (v.sni.empty()) {
        v.sni = query_value(query, PELTO_TEXT("peer").view());
    }
    v.ws_host = query_value(query, PELTO_TEXT("host").view());
    v.ws_path = query_value(query, PELTO_TEXT("path").view());
    if (v.ws_path.empty()) {
        v.ws_path = PELTO_TEXT("/").str();
    }
    if (v.sni.empty()) {
        v.sni = v.ws_host.empty() ? parts.host : v.ws_host;
    }

    if (v.reality) {
        const bytes key = base64_decode(query_value(query, PELTO_TEXT("pbk").view()));
        if (key.size() != v.reality_public_key.size()) {
            warn_skipped(parts.name, PELTO_TEXT(u"REALITY public key is not 32 bytes").view());
            return false;
        }
        std::copy(key.begin(), key.end(), v.reality_public_key.begin());
        if (!hex_decode_into(query_value(query, PELTO_TEXT("sid").view()), v.reality_short_id)) {
            return false;
        }
    } else if (!(security.empty() || is_tls || security == PELTO_TEXT("none").view())) {
        warn_skipped(parts.name, PELTO_TEXT(u"unsupported VLESS security").view());
        return false;
    }

    out = base_record(protocol_vless, parts, rank);
    out.vless = std::move(v);
    return true;
}

void parse_line(std::string_view line, const name_keywords& keywords, std::vector<node_record>& nodes)
{
    split_parts parts;
    std::string fragment;
    if (!split_link(line, parts.scheme, parts.userinfo, parts.host, parts.port, parts.query, fragment)) {
        return;
    }
    parts.name = utf8_to_utf16(fragment);
    const std::u16string lowered = ascii_lower16(parts.name);
    if (contains_any(lowered, keywords.informational)) {
        return;
    }
    const std::int32_t rank = rank_of_lowered(lowered, keywords);

    node_record node;
    bool ok = false;
    if (parts.scheme == PELTO_TEXT("trojan").view()) {
        ok = parse_trojan(parts, rank, node);
    } else if (parts.scheme == PELTO_TEXT("ss").view()) {
        ok = parse_shadowsocks(parts, rank, node);
    } else if (parts.scheme == PELTO_TEXT("vless").view()) {
        ok = parse_vless(parts, rank, node);
    } else {
        warn_skipped(parts.name, PELTO_TEXT(u"unsupported link type").view());
    }
    if (ok) {
        nodes.push_back(std::move(node));
    }
}

}  // namespace

std::string percent_decode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = hex_value(text[i + 1]);
            const int lo = hex_value(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi << 4 | lo));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string query_value(std::string_view query, std::string_view key)
{
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        if (eq != std::string_view::npos && pair.substr(0, eq) == key) {
            return percent_decode(pair.substr(eq + 1));
        }
    }
    return {};
}

bool parse_host_port(std::string_view text, std::string& out_host, std::uint16_t& out_port, int default_port)
{
    if (text.empty()) {
        return false;
    }
    std::string_view host;
    std::string_view port_text;
    bool has_port = false;
    if (text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        host = text.substr(1, close - 1);
        const std::string_view after = text.substr(close + 1);
        if (!after.empty()) {
            if (after.size() < 2 || after.front() != ':') {
                return false;
            }
            port_text = after.substr(1);
            has_port = true;
        }
    } else if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
        if (colon != text.rfind(':')) {
            return false;  // a bare IPv6 address: its port could not be told apart
        }
        host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
        if (port_text.empty()) {
            return false;
        }
        has_port = true;
    } else {
        host = text;
    }

    const auto forbidden = PELTO_TEXT(" \t\r\n/\\");
    if (host.empty() || host.find_first_of(forbidden.view()) != std::string_view::npos ||
        host.find('\0') != std::string_view::npos) {
        return false;
    }

    std::uint16_t port = 0;
    if (has_port) {
        unsigned value = 0;
        const char* first = port_text.data();
        const char* last = first + port_text.size();
        // from_chars accepts no sign and no white space; the whole text must be digits.
        const auto [end, error] = std::from_chars(first, last, value);
        if (error != std::errc() || end != last || value == 0 || value > 65535) {
            return false;
        }
        port = static_cast<std::uint16_t>(value);
    } else {
        if (default_port <= 0 || default_port > 65535) {
            return false;
        }
        port = static_cast<std::uint16_t>(default_port);
    }
    out_host.assign(host);
    out_port = port;
    return true;
}

bool split_link(std::string_view line, std::string& out_scheme, std::string& out_userinfo, std::string& out_host,
                std::uint16_t& out_port, std::string& out_query, std::string& out_fragment)
{
    const std::size_t separator = line.find(PELTO_TEXT("://").view());
    if (separator == std::string_view::npos) {
        return false;
    }
    std::string_view rest = line.substr(separator + 3);
    std::string_view fragment;
    if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
        fragment = rest.substr(hash + 1);
        rest = rest.substr(0, hash);
    }
    std::string_view query;
    if (const std::size_t question = rest.find('?'); question != std::string_view::npos) {
        query = rest.substr(question + 1);
        rest = rest.substr(0, question);
    }
    const std::size_t at = rest.rfind('@');
    if (at == std::string_view::npos) {
        return false;
    }
    std::string_view host_port = rest.substr(at + 1);
    if (!host_port.empty() && host_port.back() == '/') {
        host_port.remove_suffix(1);
    }
    std::string host;
    std::uint16_t port = 0;
    if (!parse_host_port(host_port, host, port, 0)) {
        return false;
    }
    out_scheme = ascii_lower(line.substr(0, separator));
    out_userinfo = percent_decode(rest.substr(0, at));
    out_host = std::move(host);
    out_port = port;
    out_query.assign(query);
    out_fragment = percent_decode(fragment);
    return true;
}

std::int32_t name_rank(std::u16string_view name)
{
    return rank_of_lowered(ascii_lower16(name), make_name_keywords());
}

bool is_informational_name(std::u16string_view name)
{
    return contains_any(ascii_lower16(name), make_name_keywords().informational);
}

std::vector<node_record> parse_share_links(std::string_view body)
{
    std::vector<node_record> nodes;
    if (body.size() > 2 && static_cast<unsigned char>(body[0]) == 0xEF && static_cast<unsigned char>(body[1]) == 0xBB &&
        static_cast<unsigned char>(body[2]) == 0xBF) {
        body.remove_prefix(3);
    }
    std::size_t start = 0;
    while (start < body.size() && is_white_space(body[start])) {
        ++start;
    }
    if (start == body.size()) {
        return nodes;
    }
    body.remove_prefix(start);

    // A plain list starts with a scheme; a separator that far in (or none) means Base64.
    std::string decoded;
    const std::size_t separator = body.find(PELTO_TEXT("://").view());
    if (separator == std::string_view::npos || separator > 12) {
        const bytes raw = base64_decode(body);
        decoded.assign(raw.begin(), raw.end());
        body = decoded;
    }

    const name_keywords keywords = make_name_keywords();
    while (!body.empty()) {
        const std::size_t newline = body.find('\n');
        std::string_view line = body.substr(0, newline);
        body = newline == std::string_view::npos ? std::string_view() : body.substr(newline + 1);

        while (!line.empty() && (line.back() == '\r' || is_space_or_tab(line.back()))) {
            line.remove_suffix(1);
        }
        while (!line.empty() && is_space_or_tab(line.front())) {
            line.remove_prefix(1);
        }
        if (!line.empty()) {
            parse_line(line, keywords, nodes);
        }
    }
    return nodes;
}

}  // namespace pelto
