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
// names are compared after ASCII lower-casing. Matching runs on the UTF-8 form of the name: a
// keyword is well-formed UTF-8 and starts with a lead byte, which an ill-formed sequence before it
// cannot absorb, so it occurs in the bytes exactly when it occurs in the decoded UTF-16 name.
struct name_keywords {
    // Names of the fake entries subscriptions put among their servers to show account data and
    // news: remaining traffic, expiry date, official site, renewal, announcements, resets.
    std::vector<std::string> informational;

    // Rank sets, tested in this order; the first that matches gives the rank, none gives 4.
    //   0: dedicated private lines (IPLC/IEPL), which keep a steady latency under load;
    //   1: the nearby Asian regions: Hong Kong, Taiwan, Japan, Singapore, Korea;
    //   2: North America and western Europe: United States, Canada, Germany, United Kingdom,
    //      France, the Netherlands;
    //   3: other regions subscriptions commonly name: Australia, India, Russia, Turkey, Brazil,
    //      Argentina.
    // Each region is matched by its English name, its simplified and traditional Chinese names
    // and its flag emoji.
    std::array<std::vector<std::string>, 4> rank_sets;
};

name_keywords make_name_keywords()
{
    name_keywords k;
    k.informational = {
        PELTO_TEXT("remaining").str(),    PELTO_TEXT("traffic").str(),  PELTO_TEXT("expir").str(),
        PELTO_TEXT("official").str(),     PELTO_TEXT("website").str(),  PELTO_TEXT("renew").str(),
        PELTO_TEXT("announcement").str(), PELTO_TEXT("notice").str(),   PELTO_TEXT("reset").str(),
        PELTO_TEXT("telegram").str(),     PELTO_TEXT("subscription").str(), PELTO_TEXT("t.me/").str(),
        PELTO_TEXT("剩余").str(),         PELTO_TEXT("流量").str(),     PELTO_TEXT("到期").str(),
        PELTO_TEXT("过期").str(),         PELTO_TEXT("官网").str(),     PELTO_TEXT("网址").str(),
        PELTO_TEXT("续费").str(),         PELTO_TEXT("公告").str(),     PELTO_TEXT("通知").str(),
        PELTO_TEXT("重置").str(),         PELTO_TEXT("订阅").str(),     PELTO_TEXT("有效期").str(),
        PELTO_TEXT("套餐").str(),
    };
    k.rank_sets[0] = {
        PELTO_TEXT("iplc").str(),
        PELTO_TEXT("iepl").str(),
        PELTO_TEXT("专线").str(),
        PELTO_TEXT("專線").str(),
    };
    k.rank_sets[1] = {
        PELTO_TEXT("hong kong").str(), PELTO_TEXT("hongkong").str(), PELTO_TEXT("香港").str(),
        PELTO_TEXT("🇭🇰").str(),       PELTO_TEXT("taiwan").str(),   PELTO_TEXT("台湾").str(),
        PELTO_TEXT("台灣").str(),      PELTO_TEXT("🇹🇼").str(),      PELTO_TEXT("japan").str(),
        PELTO_TEXT("日本").str(),      PELTO_TEXT("🇯🇵").str(),      PELTO_TEXT("singapore").str(),
        PELTO_TEXT("新加坡").str(),    PELTO_TEXT("🇸🇬").str(),      PELTO_TEXT("korea").str(),
        PELTO_TEXT("韩国").str(),      PELTO_TEXT("韓國").str(),     PELTO_TEXT("🇰🇷").str(),
    };
    k.rank_sets[2] = {
        PELTO_TEXT("united states").str(),  PELTO_TEXT("美国").str(), PELTO_TEXT("美國").str(),
        PELTO_TEXT("🇺🇸").str(),            PELTO_TEXT("canada").str(), PELTO_TEXT("加拿大").str(),
        PELTO_TEXT("🇨🇦").str(),            PELTO_TEXT("germany").str(), PELTO_TEXT("德国").str(),
        PELTO_TEXT("德國").str(),           PELTO_TEXT("🇩🇪").str(),     PELTO_TEXT("united kingdom").str(),
        PELTO_TEXT("英国").str(),           PELTO_TEXT("英國").str(),    PELTO_TEXT("🇬🇧").str(),
        PELTO_TEXT("france").str(),         PELTO_TEXT("法国").str(),    PELTO_TEXT("法國").str(),
        PELTO_TEXT("🇫🇷").str(),            PELTO_TEXT("netherlands").str(), PELTO_TEXT("荷兰").str(),
        PELTO_TEXT("荷蘭").str(),           PELTO_TEXT("🇳🇱").str(),
    };
    k.rank_sets[3] = {
        PELTO_TEXT("australia").str(), PELTO_TEXT("澳大利亚").str(), PELTO_TEXT("澳洲").str(),
        PELTO_TEXT("🇦🇺").str(),       PELTO_TEXT("india").str(),    PELTO_TEXT("印度").str(),
        PELTO_TEXT("🇮🇳").str(),       PELTO_TEXT("russia").str(),   PELTO_TEXT("俄罗斯").str(),
        PELTO_TEXT("俄羅斯").str(),    PELTO_TEXT("🇷🇺").str(),      PELTO_TEXT("turkey").str(),
        PELTO_TEXT("土耳其").str(),    PELTO_TEXT("🇹🇷").str(),      PELTO_TEXT("brazil").str(),
        PELTO_TEXT("巴西").str(),      PELTO_TEXT("🇧🇷").str(),      PELTO_TEXT("argentina").str(),
        PELTO_TEXT("阿根廷").str(),    PELTO_TEXT("🇦🇷").str(),
    };
    return k;
}

// All keywords indexed by their first byte, so a name is scanned once for all of them.
class name_classifier {
public:
    explicit name_classifier(const name_keywords& k)
    {
        for (const std::string& word : k.informational) {
            add(word, informational_category);
        }
        for (std::size_t rank = 0; rank < k.rank_sets.size(); ++rank) {
            for (const std::string& word : k.rank_sets[rank]) {
                add(word, static_cast<std::int32_t>(rank));
            }
        }
    }

    struct result {
        bool informational = false;
        std::int32_t rank = unranked;
    };

    // `lowered` is the name after ASCII lower-casing. The rank is the smallest set with a match,
    // which is the first matching set in rank order.
    result classify(std::string_view lowered) const
    {
        result out;
        for (std::size_t i = 0; i < lowered.size(); ++i) {
            const std::string_view tail = lowered.substr(i);
            for (const entry& e : buckets_[static_cast<unsigned char>(lowered[i])]) {
                // The second byte rules out most candidates before the full comparison.
                if (e.word.size() > tail.size() || (e.word.size() > 1 && tail[1] != e.word[1]) ||
                    !tail.starts_with(e.word)) {
                    continue;
                }
                if (e.category == informational_category) {
                    out.informational = true;
                    return out;
                }
                out.rank = std::min(out.rank, e.category);
            }
        }
        return out;
    }

private:
    static constexpr std::int32_t informational_category = -1;
    static constexpr std::int32_t unranked = 4;

    struct entry {
        std::string word;
        std::int32_t category;
    };

    void add(const std::string& word, std::int32_t category)
    {
        if (!word.empty()) {
            buckets_[static_cast<unsigned char>(word[0])].push_back({word, category});
        }
    }

    std::array<std::vector<entry>, 256> buckets_;
};

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

// The key=value pairs of a query, split once for the several keys a link needs. A piece without
// "=" is no pair and is dropped; keys are compared exactly, values percent-decoded on lookup.
class query_pairs {
public:
    explicit query_pairs(std::string_view query)
    {
        while (!query.empty()) {
            const std::size_t amp = query.find('&');
            const std::string_view piece = query.substr(0, amp);
            query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
            if (const std::size_t eq = piece.find('='); eq != std::string_view::npos) {
                pairs_.push_back({piece.substr(0, eq), piece.substr(eq + 1)});
            }
        }
    }

    // The value of the first pair with this key; empty when there is none.
    std::string value(std::string_view key) const
    {
        for (const pair& p : pairs_) {
            if (p.key == key) {
                return percent_decode(p.value);
            }
        }
        return {};
    }

private:
    struct pair {
        std::string_view key;
        std::string_view value;
    };
    std::vector<pair> pairs_;
};

// Server names and the WebSocket host and path are written into TLS server names and HTTP request
// lines and headers. Percent-decoding can turn a link's "%0D%0A" into a line break there, which
// would inject header lines; no real host name or path holds control characters or spaces.
bool is_safe_field(std::string_view text)
{
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7F;
    });
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
    const query_pairs query(parts.query);
    const std::string type = query.value(PELTO_TEXT("type").view());
    const std::string security = query.value(PELTO_TEXT("security").view());
    if (!(type.empty() || is_plain_tcp(type)) || !(security.empty() || security == PELTO_TEXT("tls").view())) {
        return false;
    }
    std::string server_name = query.value(PELTO_TEXT("sni").view());
    if (server_name.empty()) {
        server_name = query.value(PELTO_TEXT("peer").view());
    }
    std::string password = std::move(parts.userinfo);
    out = base_record(node_protocol::trojan, parts, rank);
    out.password = std::move(password);
    out.tls_server_name = server_name.empty() ? out.server : std::move(server_name);
    if (!is_safe_field(out.tls_server_name)) {
        warn_skipped(out.name, PELTO_TEXT(u"control characters in the server name").view());
        return false;
    }
    return true;
}

bool parse_shadowsocks(split_parts& parts, std::int32_t rank, node_record& out)
{
    const query_pairs query(parts.query);
    if (!query.value(PELTO_TEXT("plugin").view()).empty()) {
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
    out = base_record(node_protocol::shadowsocks, parts, rank);
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
    const query_pairs query(parts.query);
    const std::string type = query.value(PELTO_TEXT("type").view());
    const std::string security = query.value(PELTO_TEXT("security").view());
    const std::string flow = query.value(PELTO_TEXT("flow").view());
    const std::string encryption = query.value(PELTO_TEXT("encryption").view());

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

    v.flow = flow.find(vision_flow.view()) != std::string::npos ? vless_flow::vision : vless_flow::plain;
    v.transport = is_reality     ? vless_transport::reality
                  : is_websocket ? vless_transport::tls_websocket
                  : is_tls       ? vless_transport::tls
                                 : vless_transport::raw_tcp;

    v.sni = query.value(PELTO_TEXT("sni").view());
    if (v.sni.empty()) {
        v.sni = query.value(PELTO_TEXT("peer").view());
    }
    v.ws_host = query.value(PELTO_TEXT("host").view());
    v.ws_path = query.value(PELTO_TEXT("path").view());
    if (v.ws_path.empty()) {
        v.ws_path = PELTO_TEXT("/").str();
    }
    if (v.sni.empty()) {
        v.sni = v.ws_host.empty() ? parts.host : v.ws_host;
    }
    if (!is_safe_field(v.sni) || !is_safe_field(v.ws_host) || !is_safe_field(v.ws_path)) {
        warn_skipped(parts.name, PELTO_TEXT(u"control characters in the server name, host or path").view());
        return false;
    }

    if (v.transport == vless_transport::reality) {
        const bytes key = base64_decode(query.value(PELTO_TEXT("pbk").view()));
        if (key.size() != v.reality_public_key.size()) {
            warn_skipped(parts.name, PELTO_TEXT(u"REALITY public key is not 32 bytes").view());
            return false;
        }
        std::copy(key.begin(), key.end(), v.reality_public_key.begin());
        if (!hex_decode_into(query.value(PELTO_TEXT("sid").view()), v.reality_short_id)) {
            return false;
        }
    } else if (!(security.empty() || is_tls || security == PELTO_TEXT("none").view())) {
        warn_skipped(parts.name, PELTO_TEXT(u"unsupported VLESS security").view());
        return false;
    }

    out = base_record(node_protocol::vless, parts, rank);
    out.vless = std::move(v);
    return true;
}

void parse_line(std::string_view line, const name_classifier& classifier, std::vector<node_record>& nodes)
{
    split_parts parts;
    std::string fragment;
    if (!split_link(line, parts.scheme, parts.userinfo, parts.host, parts.port, parts.query, fragment)) {
        return;
    }
    const std::string lowered = ascii_lower(fragment);
    const name_classifier::result name_class = classifier.classify(lowered);
    if (name_class.informational) {
        return;
    }
    const std::int32_t rank = name_class.rank;
    parts.name = utf8_to_utf16(fragment);

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
    std::size_t i = text.find('%');
    if (i == std::string_view::npos) {
        return std::string(text);
    }
    std::string out(text.size(), '\0');  // decoding never makes the text longer
    text.copy(out.data(), i);
    std::size_t n = i;
    for (; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = hex_value(text[i + 1]);
            const int lo = hex_value(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out[n++] = static_cast<char>(hi << 4 | lo);
                i += 2;
                continue;
            }
        }
        out[n++] = text[i];
    }
    out.resize(n);
    return out;
}

std::string query_value(std::string_view query, std::string_view key)
{
    return query_pairs(query).value(key);
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
    const std::string lowered = ascii_lower(utf16_to_utf8(name));
    // The classifier stops at an informational keyword; without those it ranks every name.
    name_keywords k = make_name_keywords();
    k.informational.clear();
    return name_classifier(k).classify(lowered).rank;
}

bool is_informational_name(std::u16string_view name)
{
    return name_classifier(make_name_keywords()).classify(ascii_lower(utf16_to_utf8(name))).informational;
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

    // A plain list starts with a scheme; a separator that far in (or none) means Base64. A plain
    // list whose first link has a long scheme also has its separator far in: when decoding such a
    // body gives no link at all, the body was plain after all and is kept as it is.
    bytes decoded;
    const auto scheme_separator = PELTO_TEXT("://");
    const std::size_t separator = body.find(scheme_separator.view());
    if (separator == std::string_view::npos || separator > 12) {
        decoded = base64_decode(body);
        if (separator == std::string_view::npos ||
            as_text(decoded).find(scheme_separator.view()) != std::string_view::npos) {
            body = as_text(decoded);
        }
    }

    const name_classifier classifier(make_name_keywords());
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
            parse_line(line, classifier, nodes);
        }
    }
    return nodes;
}

}  // namespace pelto
