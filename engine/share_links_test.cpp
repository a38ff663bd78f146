#include "engine/share_links.h"

#include <gtest/gtest.h>

#include <mutex>

#include "base/text.h"
#include "crypto/encoding.h"
#include "engine/engine_state.h"

namespace pelto {
namespace {

std::mutex g_lines_mutex;
std::vector<std::u16string> g_lines;

void collect_line(const std::u16string& line)
{
    std::lock_guard lock(g_lines_mutex);
    g_lines.push_back(line);
}

bytes byte_range(std::uint8_t first, std::size_t count)
{
    bytes out(count);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<std::uint8_t>(first + i);
    }
    return out;
}

constexpr std::string_view uuid_text = "b831381d-6324-4d53-ad4f-8cda48b30811";
const bytes uuid_bytes = {0xb8, 0x31, 0x38, 0x1d, 0x63, 0x24, 0x4d, 0x53,
                          0xad, 0x4f, 0x8c, 0xda, 0x48, 0xb3, 0x08, 0x11};
// Base64 of the bytes 00..0f and 10..1f; URL-safe, unpadded Base64 of 00..1f and of 00..1e.
constexpr std::string_view key_00 = "AAECAwQFBgcICQoLDA0ODw==";
constexpr std::string_view key_10 = "EBESExQVFhcYGRobHB0eHw==";
constexpr std::string_view pbk_32 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";
constexpr std::string_view pbk_31 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHg";

// Parses one body with the message callback collecting the warning lines.
class share_links : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_lines.clear();
        set_message_callback(collect_line);
    }
    void TearDown() override { set_message_callback(nullptr); }

    std::vector<node_record> parse(std::string_view body) { return parse_share_links(body); }

    // Exactly one node from `link`, with no warning line.
    node_record parse_one(const std::string& link)
    {
        auto nodes = parse(link);
        EXPECT_EQ(nodes.size(), 1u) << link;
        EXPECT_TRUE(g_lines.empty()) << link;
        return nodes.empty() ? node_record{} : nodes[0];
    }

    // `link` is skipped; with `warned` one warning line naming the node is expected, else none.
    void expect_skipped(const std::string& link, bool warned)
    {
        g_lines.clear();
        EXPECT_TRUE(parse(link).empty()) << link;
        ASSERT_EQ(g_lines.size(), warned ? 1u : 0u) << link;
        if (warned) {
            EXPECT_TRUE(g_lines[0].starts_with(u"[WARN|")) << link;
            EXPECT_NE(g_lines[0].find(u"\"bad\""), std::u16string::npos) << link;
        }
    }
};

void expect_no_vless(const node_record& n)
{
    EXPECT_EQ(n.vless.uuid, (std::array<std::uint8_t, 16>{}));
    EXPECT_EQ(n.vless.transport, vless_transport::raw_tcp);
    EXPECT_EQ(n.vless.flow, vless_flow::plain);
    EXPECT_TRUE(n.vless.sni.empty() && n.vless.ws_host.empty() && n.vless.ws_path.empty());
}

TEST(share_link_syntax, percent_decode_and_query_value)
{
    EXPECT_EQ(percent_decode("%41%4a%4A%20x"), "AJJ x");
    EXPECT_EQ(percent_decode("a+b%2Bc"), "a+b+c");
    EXPECT_EQ(percent_decode("%zz%4 100% %"), "%zz%4 100% %");
    EXPECT_EQ(percent_decode("%%41%00"), std::string("%A\0", 3));

    const std::string q = "sec=x&security=tls&Security=none&security=reality&path=%2Fws%3Fed%3D2048&flag&empty=";
    EXPECT_EQ(query_value(q, "security"), "tls");
    EXPECT_EQ(query_value(q, "Security"), "none");
    EXPECT_EQ(query_value(q, "path"), "/ws?ed=2048");
    EXPECT_EQ(query_value(q, "flag"), "");
    EXPECT_EQ(query_value(q, "secu"), "");
}

TEST(share_link_syntax, parse_host_port)
{
    std::string host;
    std::uint16_t port = 0;
    ASSERT_TRUE(parse_host_port("[2001:db8::1]:8443", host, port, 0));
    EXPECT_EQ(host, "2001:db8::1");
    EXPECT_EQ(port, 8443);
    ASSERT_TRUE(parse_host_port("[::1]", host, port, 443));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 443);
    ASSERT_TRUE(parse_host_port("example.com:065535", host, port, 0));
    EXPECT_EQ(host, "example.com");
    EXPECT_EQ(port, 65535);

    for (std::string_view text :
         {"", "example.com", "2001:db8::1", "[::1", "[::1]x", "[::1]:", "[]:80", "host:", ":80", "host:0",
          "host:65536", "host:99999999999999999999", "host:+80", "host:8 0", "ho st:80", "a/b:80", "a\\b:80",
          "a\tb:80", "a\r:80", "a\n:80"}) {
        host = "kept";
        port = 7;
        EXPECT_FALSE(parse_host_port(text, host, port, 0)) << text;
        EXPECT_EQ(host, "kept");
        EXPECT_EQ(port, 7);
    }
    EXPECT_FALSE(parse_host_port(std::string_view("a\0b:80", 6), host, port, 0));
    EXPECT_FALSE(parse_host_port("example.com", host, port, 70000));
}

TEST(share_link_syntax, split_link_separates_every_part)
{
    std::string scheme, userinfo, host, query, fragment;
    std::uint16_t port = 0;
    ASSERT_TRUE(split_link("TroJan://p@ss%40word@[2001:db8::2]:443/?sni=a%2Eb&x=1#Node%20%231", scheme, userinfo,
                           host, port, query, fragment));
    EXPECT_EQ(scheme, "trojan");
    EXPECT_EQ(userinfo, "p@ss@word");  // the last at-sign separates the host
    EXPECT_EQ(host, "2001:db8::2");
    EXPECT_EQ(port, 443);
    EXPECT_EQ(query, "sni=a%2Eb&x=1");  // left as written
    EXPECT_EQ(fragment, "Node #1");

    ASSERT_TRUE(split_link("ss://u@h:1", scheme, userinfo, host, port, query, fragment));
    EXPECT_EQ(query, "");
    EXPECT_EQ(fragment, "");
    EXPECT_FALSE(split_link("ss:/u@h:1", scheme, userinfo, host, port, query, fragment));
    EXPECT_FALSE(split_link("ss://h:1", scheme, userinfo, host, port, query, fragment));
    EXPECT_FALSE(split_link("ss://u@h:1//", scheme, userinfo, host, port, query, fragment));
    EXPECT_FALSE(split_link("ss://u@h?x=1@y:1", scheme, userinfo, host, port, query, fragment));
}

TEST(share_link_names, rank_and_informational_filter)
{
    EXPECT_EQ(name_rank(u"IPLC Hong Kong 01"), 0);  // the first matching set wins
    EXPECT_EQ(name_rank(u"HONG KONG 02"), 1);
    EXPECT_EQ(name_rank(u"美国 洛杉矶"), 2);
    EXPECT_EQ(name_rank(u"Sydney 🇦🇺"), 3);
    EXPECT_EQ(name_rank(u"Node 7"), 4);
    EXPECT_TRUE(is_informational_name(u"剩余流量：12.3 GB"));
    EXPECT_TRUE(is_informational_name(u"EXPIRES 2026-12-31"));
    EXPECT_FALSE(is_informational_name(u"🇭🇰 香港 01"));
}

TEST_F(share_links, trojan_fields_and_silent_rejections)
{
    node_record n = parse_one(
        "trojan://p%40ss%3Aw%2Bord@trojan.example.net:8443?security=tls&type=tcp&sni=front.example.org"
        "#%F0%9F%87%AD%F0%9F%87%B0%20%E9%A6%99%E6%B8%AF%2001");
    EXPECT_EQ(n.protocol, node_protocol::trojan);
    EXPECT_EQ(n.name, u"🇭🇰 香港 01");
    EXPECT_EQ(n.name_rank, 1);
    EXPECT_EQ(n.server, "trojan.example.net");
    EXPECT_EQ(n.port, 8443);
    EXPECT_EQ(n.password, "p@ss:w+ord");
    EXPECT_EQ(n.tls_server_name, "front.example.org");
    EXPECT_TRUE(n.identity_key.empty() && n.user_key.empty());
    expect_no_vless(n);

    EXPECT_EQ(parse_one("trojan://pw@h.example:443?peer=alt.example&type=raw#x").tls_server_name, "alt.example");
    n = parse_one("trojan://pw@[2001:db8::7]:443#v6");
    EXPECT_EQ(n.server, "2001:db8::7");
    EXPECT_EQ(n.tls_server_name, "2001:db8::7");
    EXPECT_EQ(n.name_rank, 4);

    expect_skipped("trojan://pw@h.example:443?type=ws&security=tls#bad", false);
    expect_skipped("trojan://pw@h.example:443?security=reality#bad", false);
    expect_skipped("trojan://pw@h.example:443?security=none#bad", false);
    expect_skipped("trojan://pw@h.example#bad", false);    // no port
    expect_skipped("trojan://pw@h.example:0#bad", false);  // port 0
    expect_skipped("trojan://h.example:443#bad", false);   // no userinfo
    expect_skipped("trojan://pw@h.example:443?sni=a.example%0D%0AX-Injected%3A%201#bad", true);
}

TEST_F(share_links, shadowsocks_plain_base64_and_multi_user_keys)
{
    node_record n = parse_one("ss://2022-blake3-aes-128-gcm:AAECAwQFBgcICQoLDA0ODw%3D%3D@ss.example:8388#SS%20plain");
    EXPECT_EQ(n.protocol, node_protocol::shadowsocks);
    EXPECT_EQ(n.name, u"SS plain");
    EXPECT_EQ(n.server, "ss.example");
    EXPECT_EQ(n.port, 8388);
    EXPECT_EQ(n.user_key, byte_range(0, 16));
    EXPECT_TRUE(n.identity_key.empty());
    EXPECT_TRUE(n.password.empty() && n.tls_server_name.empty());
    expect_no_vless(n);

    // URL-safe Base64 of "2022-blake3-aes-128-gcm:<key_00>" without padding.
    n = parse_one("ss://MjAyMi1ibGFrZTMtYWVzLTEyOC1nY206QUFFQ0F3UUZCZ2NJQ1FvTERBME9Edz09@[2001:db8::5]:443#b64");
    EXPECT_EQ(n.user_key, byte_range(0, 16));
    EXPECT_EQ(n.server, "2001:db8::5");

    n = parse_one("ss://2022-blake3-aes-128-gcm:" + std::string(key_10) + ":" + std::string(key_00) + "@h:1#multi");
    EXPECT_EQ(n.identity_key, byte_range(0x10, 16));
    EXPECT_EQ(n.user_key, byte_range(0, 16));
}

TEST_F(share_links, shadowsocks_rejections)
{
    expect_skipped("ss://YWVzLTI1Ni1nY206c2VjcmV0@h:1#bad", true);  // aes-256-gcm:secret
    expect_skipped("ss://2022-blake3-aes-256-gcm:" + std::string(key_00) + "@h:1#bad", true);
    expect_skipped("ss://2022-blake3-aes-128-gcm:AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=@h:1#bad", true);
    expect_skipped("ss://2022-blake3-aes-128-gcm:AAEC:" + std::string(key_00) + "@h:1#bad", true);
    expect_skipped("ss://2022-blake3-aes-128-gcm:" + std::string(key_00) + "@h:1?plugin=obfs-local%3Bobfs%3Dhttp#bad",
                   false);
}

TEST_F(share_links, vless_reality_vision_fields)
{
    node_record n = parse_one("vless://" + std::string(uuid_text) +
                              "@203.0.113.9:443?encryption=none&flow=xtls-rprx-vision&security=reality"
                              "&sni=www.example.com&fp=chrome&pbk=" +
                              std::string(pbk_32) + "&sid=6ba85179&type=tcp#%E6%97%A5%E6%9C%AC%20Reality");
    EXPECT_EQ(n.protocol, node_protocol::vless);
    EXPECT_EQ(n.name, u"日本 Reality");
    EXPECT_EQ(n.name_rank, 1);
    EXPECT_EQ(n.server, "203.0.113.9");
    EXPECT_EQ(n.port, 443);
    EXPECT_EQ(bytes(n.vless.uuid.begin(), n.vless.uuid.end()), uuid_bytes);
    EXPECT_EQ(n.vless.transport, vless_transport::reality);
    EXPECT_EQ(n.vless.flow, vless_flow::vision);
    EXPECT_EQ(n.vless.sni, "www.example.com");
    EXPECT_EQ(n.vless.ws_host, "");
    EXPECT_EQ(n.vless.ws_path, "/");
    EXPECT_EQ(bytes(n.vless.reality_public_key.begin(), n.vless.reality_public_key.end()), byte_range(0, 32));
    EXPECT_EQ(n.vless.reality_short_id, (std::array<std::uint8_t, 8>{0x6b, 0xa8, 0x51, 0x79, 0, 0, 0, 0}));
    EXPECT_TRUE(n.password.empty() && n.tls_server_name.empty() && n.user_key.empty() && n.identity_key.empty());

    // User id without dashes and in upper case; the second accepted flow; no short id.
    n = parse_one("vless://B831381D63244D53AD4F8CDA48B30811@h.example:443?security=reality&pbk=" +
                  std::string(pbk_32) + "&flow=xtls-rprx-vision-udp443#r");
    EXPECT_EQ(bytes(n.vless.uuid.begin(), n.vless.uuid.end()), uuid_bytes);
    EXPECT_EQ(n.vless.flow, vless_flow::vision);
    EXPECT_EQ(n.vless.sni, "h.example");
    EXPECT_EQ(n.vless.reality_short_id, (std::array<std::uint8_t, 8>{}));
}

TEST_F(share_links, vless_tls_websocket_and_plain)
{
    const std::string base = "vless://" + std::string(uuid_text) + "@[2001:db8::9]:2053?";
    node_record n = parse_one(base + "type=ws&security=tls&host=cdn.example&path=%2Fws%3Fed%3D2048#ws");
    EXPECT_EQ(n.vless.transport, vless_transport::tls_websocket);
    EXPECT_EQ(n.vless.flow, vless_flow::plain);
    EXPECT_EQ(n.server, "2001:db8::9");
    EXPECT_EQ(n.vless.ws_host, "cdn.example");
    EXPECT_EQ(n.vless.ws_path, "/ws?ed=2048");
    EXPECT_EQ(n.vless.sni, "cdn.example");  // no server-name keys: the WebSocket host
    EXPECT_EQ(n.vless.reality_public_key, (std::array<std::uint8_t, 32>{}));

    n = parse_one(base + "type=ws&security=tls&peer=p.example&host=cdn.example#ws");
    EXPECT_EQ(n.vless.sni, "p.example");
    n = parse_one(base + "security=tls&flow=xtls-rprx-vision#tls");
    EXPECT_EQ(n.vless.transport, vless_transport::tls);
    EXPECT_EQ(n.vless.flow, vless_flow::vision);
    EXPECT_EQ(n.vless.sni, "2001:db8::9");

    n = parse_one(base + "type=raw&security=none&encryption=none#plain");
    EXPECT_EQ(n.vless.transport, vless_transport::raw_tcp);
    EXPECT_EQ(n.vless.flow, vless_flow::plain);
    EXPECT_EQ(n.vless.ws_path, "/");
}

TEST_F(share_links, vless_rejections)
{
    const std::string id = std::string(uuid_text);
    const std::string host = "@h.example:443?";
    expect_skipped("vless://b831381d63244d53ad4f8cda48b3081" + host + "#bad", true);    // 31 digits
    expect_skipped("vless://b831381d63244d53ad4f8cda48b308111" + host + "#bad", true);  // 33 digits
    expect_skipped("vless://g831381d-6324-4d53-ad4f-8cda48b30811" + host + "#bad", true);
    expect_skipped("vless://" + id + host + "type=ws#bad", true);  // WebSocket without TLS
    expect_skipped("vless://" + id + host + "type=ws&security=tls&flow=xtls-rprx-vision#bad", true);
    expect_skipped("vless://" + id + host + "flow=xtls-rprx-vision#bad", true);  // Vision without TLS
    expect_skipped("vless://" + id + host + "type=grpc&security=tls#bad", true);
    expect_skipped("vless://" + id + host + "encryption=aes-128-gcm#bad", true);
    expect_skipped("vless://" + id + host + "security=tls&flow=xtls-rprx-direct#bad", true);
    expect_skipped("vless://" + id + host + "security=xtls#bad", true);
    expect_skipped("vless://" + id + host + "type=ws&security=tls&path=%2Fws%0D%0AX-Injected%3A%201#bad", true);
    expect_skipped("vless://" + id + host + "type=ws&security=tls&host=cdn.example%20evil#bad", true);
    expect_skipped("vless://" + id + host + "security=reality&pbk=" + std::string(pbk_31) + "#bad", true);
    const std::string reality = "vless://" + id + host + "security=reality&pbk=" + std::string(pbk_32) + "&sid=";
    expect_skipped(reality + "abc#bad", false);                // odd digit count
    expect_skipped(reality + "0011223344556677aa#bad", false);  // more than 8 bytes
    expect_skipped(reality + "zz#bad", false);
}

TEST_F(share_links, plain_body_with_bom_crlf_blank_lines_and_informational_entries)
{
    const std::string body =
        "\xEF\xBB\xBF\r\n\r\n  \t\r\n"
        "\tvless://" + std::string(uuid_text) + "@v.example:443?security=tls#%F0%9F%87%BA%F0%9F%87%B8%20%E7%BE%8E%E5%9B%BD"
        "%20%7C%20Los%20Angeles  \r\n"
        "trojan://pw@t.example:443#%E5%89%A9%E4%BD%99%E6%B5%81%E9%87%8F%EF%BC%9A12.3%20GB\r\n"
        "trojan://pw@t.example:443#Expire%3A%202026-12-31\r\n"
        "\r\n"
        "hysteria2://pw@h.example:443#bad\r\n"
        "not a link at all\r\n"
        "trojan://pw@t.example:443#Same\r\n"
        "trojan://pw@t.example:443#Same\r\n"
        "ss://2022-blake3-aes-128-gcm:" + std::string(key_00) + "@s.example:1#Last";
    const auto nodes = parse(body);
    ASSERT_EQ(nodes.size(), 4u);
    EXPECT_EQ(nodes[0].protocol, node_protocol::vless);
    EXPECT_EQ(nodes[0].name, u"🇺🇸 美国 | Los Angeles");
    EXPECT_EQ(nodes[0].name_rank, 2);
    EXPECT_EQ(nodes[1].name, u"Same");
    EXPECT_EQ(nodes[2].name, u"Same");  // duplicates are kept
    EXPECT_EQ(nodes[3].protocol, node_protocol::shadowsocks);
    EXPECT_EQ(nodes[3].name, u"Last");
    ASSERT_EQ(g_lines.size(), 1u);  // only the unsupported scheme is reported
    EXPECT_NE(g_lines[0].find(u"\"bad\""), std::u16string::npos);
}

TEST_F(share_links, base64_bodies_wrapped_unpadded_and_url_safe)
{
    // 3n+1 bytes, so the encoding ends in "==", which is then dropped; the last name makes the
    // encoding use both "+" and "/", which the URL-safe variant spells "-" and "_".
    const std::string plain = "trojan://pw@a.example:443#%E9%A6%99%E6%B8%AF%20A\n"
                              "vless://" + std::string(uuid_text) + "@[2001:db8::1]:443?type=ws&security=tls#B\n"
                              "ss://2022-blake3-aes-128-gcm:" + std::string(key_10) + "@c.example:8388#C\xC3\xBF\xC3\xBF~\n";
    ASSERT_EQ(plain.size() % 3, 1u);
    std::string encoded = base64_encode(as_bytes(plain));
    ASSERT_TRUE(encoded.ends_with("=="));
    ASSERT_NE(encoded.find('+'), std::string::npos);
    ASSERT_NE(encoded.find('/'), std::string::npos);
    encoded.resize(encoded.size() - 2);

    std::string wrapped;
    for (std::size_t i = 0; i < encoded.size(); i += 76) {
        wrapped += encoded.substr(i, 76) + "\r\n";
    }
    std::string url_safe = encoded;
    for (char& c : url_safe) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }

    for (const std::string& body : {wrapped, "\n  " + url_safe}) {
        const auto nodes = parse(body);
        ASSERT_EQ(nodes.size(), 3u);
        EXPECT_EQ(nodes[0].name, u"香港 A");
        EXPECT_EQ(nodes[0].server, "a.example");
        EXPECT_EQ(nodes[1].server, "2001:db8::1");
        EXPECT_EQ(nodes[1].vless.transport, vless_transport::tls_websocket);
        EXPECT_EQ(nodes[2].user_key, byte_range(0x10, 16));
        EXPECT_EQ(nodes[2].name, u"Cÿÿ~");
    }
}

TEST_F(share_links, a_plain_list_that_starts_with_a_long_scheme_keeps_its_links)
{
    // The first separator sits past the thirteenth byte, which alone would mean Base64; decoding
    // gives no link, so the list is read as written.
    const std::string body = "wireguard-config://k@w.example:51820#WG\n"
                             "trojan://pw@t.example:443#T\n";
    const auto nodes = parse(body);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].name, u"T");
    ASSERT_EQ(g_lines.size(), 1u);  // the unsupported scheme is reported, as in any plain list
}

TEST_F(share_links, empty_and_garbage_bodies_give_no_nodes)
{
    for (std::string_view body : {std::string_view(""), std::string_view(" \r\n\t\n"), std::string_view("\xEF\xBB\xBF"),
                                  std::string_view("<html>Forbidden</html>"), std::string_view("\xEF\xBB")}) {
        EXPECT_TRUE(parse(body).empty());
    }
    EXPECT_TRUE(g_lines.empty());
}

}  // namespace
}  // namespace pelto
