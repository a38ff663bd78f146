// The WebSocket, VLESS and Trojan wire formats byte for byte against RFC 6455, the VLESS request
// and response layout and the Trojan protocol document.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proxy/trojan_codec.h"
#include "proxy/vless_codec.h"
#include "proxy/ws_codec.h"

namespace pelto {
namespace {

bytes text_bytes(std::string_view s)
{
    return bytes(s.begin(), s.end());
}

TEST(ws_codec, client_frames_use_the_shortest_length_form_and_mask_the_payload)
{
    const ws_mask mask = {0x37, 0xFA, 0x21, 0x3D};
    bytes out;
    // RFC 6455 section 5.7: a masked "Hello".
    ws_emit_frame(ws_opcode::text, text_bytes("Hello"), mask, out);
    EXPECT_EQ(out, (bytes{0x81, 0x85, 0x37, 0xFA, 0x21, 0x3D, 0x7F, 0x9F, 0x4D, 0x51, 0x58}));

    for (const std::size_t size : {std::size_t{125}, std::size_t{126}, std::size_t{16384}, std::size_t{65536}}) {
        out.clear();
        const bytes payload(size, 0xAB);
        ws_emit_frame(ws_opcode::binary, payload, mask, out);
        std::size_t header = 0;
        if (size <= 125) {
            EXPECT_EQ(out[1], 0x80 | size);
            header = 2 + 4;
        } else if (size <= 0xFFFF) {
            EXPECT_EQ(out[1], 0x80 | 126);  // masked, 16-bit length follows
            EXPECT_EQ(out[2], size >> 8);
            EXPECT_EQ(out[3], size & 0xFF);
            header = 4 + 4;
        } else {
            EXPECT_EQ(out[1], 0x80 | 127);  // masked, 64-bit length follows
            header = 10 + 4;
        }
        EXPECT_EQ(out[0], 0x82);  // FIN, binary
        ASSERT_EQ(out.size(), header + size);
        ws_frame_header parsed;
        ASSERT_EQ(ws_parse_frame_header(out, parsed), ws_parse_status::complete);
        EXPECT_EQ(parsed.payload_length, size);
        EXPECT_EQ(parsed.header_size, header);
        std::span<std::uint8_t> body(out.data() + header, size);
        ws_apply_mask(body, parsed.mask, 0);
        EXPECT_EQ(bytes(body.begin(), body.end()), payload);
    }
}

TEST(ws_codec, unmasking_in_pieces_matches_unmasking_at_once)
{
    const ws_mask mask = {1, 2, 3, 4};
    bytes whole(103);
    for (std::size_t i = 0; i < whole.size(); ++i) {
        whole[i] = static_cast<std::uint8_t>(i);
    }
    bytes pieces = whole;
    ws_apply_mask(whole, mask, 0);
    std::size_t at = 0;
    for (const std::size_t n : {3, 1, 8, 17, 74}) {
        ws_apply_mask(std::span<std::uint8_t>(pieces).subspan(at, n), mask, at);
        at += n;
    }
    EXPECT_EQ(pieces, whole);
}

TEST(ws_codec, server_frame_headers_parse_and_every_prefix_asks_for_more)
{
    // Unmasked binary frame with a 16-bit length of 300; a masked one (which servers should not
    // send, but which is unmasked) with a 64-bit length.
    const bytes medium = {0x82, 0x7E, 0x01, 0x2C};
    const bytes large = {0x02, 0xFF, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0xA1, 0xB2, 0xC3, 0xD4};
    ws_frame_header h;
    ASSERT_EQ(ws_parse_frame_header(medium, h), ws_parse_status::complete);
    EXPECT_TRUE(h.fin);
    EXPECT_EQ(h.opcode, ws_opcode::binary);
    EXPECT_EQ(h.payload_length, 300u);
    EXPECT_EQ(h.header_size, 4u);
    ASSERT_EQ(ws_parse_frame_header(large, h), ws_parse_status::complete);
    EXPECT_FALSE(h.fin);
    EXPECT_TRUE(h.masked);
    EXPECT_EQ(h.payload_length, 65536u);
    EXPECT_EQ(h.mask, (ws_mask{0xA1, 0xB2, 0xC3, 0xD4}));
    EXPECT_EQ(h.header_size, 14u);
    for (std::size_t n = 0; n < large.size(); ++n) {
        EXPECT_EQ(ws_parse_frame_header(byte_span(large.data(), n), h), ws_parse_status::need_more) << n;
    }
}

TEST(ws_codec, protocol_errors_and_oversized_payloads_are_refused)
{
    ws_frame_header h;
    const std::vector<bytes> errors = {
        {0xC2, 0x01},        // RSV1 without a negotiated extension
        {0x92, 0x01},        // RSV3
        {0x83, 0x01},        // reserved data opcode 3
        {0x8B, 0x00},        // reserved control opcode 0xB
        {0x09, 0x01},        // a fragmented ping
        {0x89, 0x7E, 0, 126},  // a ping longer than 125 bytes
        {0x88, 0x7E, 0, 200},  // the same for close
    };
    for (const bytes& e : errors) {
        EXPECT_EQ(ws_parse_frame_header(e, h), ws_parse_status::protocol_error) << int(e[0]) << " " << int(e[1]);
    }
    EXPECT_EQ(ws_parse_frame_header(bytes{0x89, 0x7D}, h), ws_parse_status::complete);  // 125-byte ping
    EXPECT_EQ(ws_parse_frame_header(bytes{0x82, 0x7F, 0, 0, 0, 0, 0, 0x80, 0, 0}, h), ws_parse_status::complete);
    EXPECT_EQ(ws_parse_frame_header(bytes{0x82, 0x7F, 0, 0, 0, 0, 0, 0x80, 0, 1}, h), ws_parse_status::too_large);
    EXPECT_EQ(ws_parse_frame_header(bytes{0x82, 0x7F, 0x80, 0, 0, 0, 0, 0, 0, 0}, h), ws_parse_status::too_large);
}

TEST(ws_codec, the_upgrade_request_is_exact_and_paths_start_with_a_slash)
{
    EXPECT_EQ(ws_upgrade_request("/chat", "node.test", "dGhlIHNhbXBsZSBub25jZQ=="),
              "GET /chat HTTP/1.1\r\n"
              "Host: node.test\r\n"
              "Upgrade: websocket\r\n"
              "Connection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
              "Sec-WebSocket-Version: 13\r\n\r\n");
    EXPECT_EQ(ws_request_path(""), "/");
    EXPECT_EQ(ws_request_path("ws?ed=2048"), "/ws?ed=2048");
    EXPECT_EQ(ws_request_path("/a/b"), "/a/b");
}

TEST(ws_codec, only_a_101_status_line_accepts_the_upgrade)
{
    std::size_t header = 0;
    const std::string good = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n";
    EXPECT_EQ(ws_check_upgrade_reply(good + "\x82\x01x", header), ws_upgrade_status::accepted);
    EXPECT_EQ(header, good.size());
    EXPECT_EQ(ws_check_upgrade_reply("HTTP/1.1 101\r\n\r\n", header), ws_upgrade_status::accepted);
    for (std::size_t n = 0; n + 1 < good.size(); ++n) {
        EXPECT_EQ(ws_check_upgrade_reply(good.substr(0, n), header), ws_upgrade_status::need_more) << n;
    }
    for (const char* refused : {"HTTP/1.1 200 OK\r\nX-Note: 101\r\n\r\n", "HTTP/1.1 1010 Odd\r\n\r\n",
                                "HTTP/1.0 101 Switching\r\n\r\n", "xHTTP/1.1 101 \r\n\r\n",
                                "HTTP/1.1 403 Forbidden 101\r\n\r\n"}) {
        EXPECT_EQ(ws_check_upgrade_reply(refused, header), ws_upgrade_status::refused) << refused;
    }
    const std::string endless = "HTTP/1.1 101 Switching Protocols\r\nX: " + std::string(8200, 'a');
    EXPECT_EQ(ws_check_upgrade_reply(endless, header), ws_upgrade_status::too_long);
    EXPECT_EQ(ws_check_upgrade_reply(endless.substr(0, 8191), header), ws_upgrade_status::need_more);
}

TEST(vless_codec, the_request_without_addons_is_23_bytes_plus_the_host)
{
    vless_user_id user{};
    for (std::size_t i = 0; i < user.size(); ++i) {
        user[i] = static_cast<std::uint8_t>(0x10 + i);
    }
    bytes out;
    ASSERT_TRUE(vless_emit_request(user, {}, "1.2.3.4", 443, out));
    bytes expected = {0x00};  // version
    expected.insert(expected.end(), user.begin(), user.end());
    const bytes rest = {
        0x00,        // addons length
        0x01,        // command: TCP
        0x01, 0xBB,  // port 443
        0x02,        // address type: domain name, also for an IPv4 literal
        0x07, '1', '.', '2', '.', '3', '.', '4',
    };
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(out, expected);
    EXPECT_EQ(out.size(), 23u + 7u);

    out.clear();
    EXPECT_TRUE(vless_emit_request(user, {}, std::string(255, 'h'), 1, out));
    EXPECT_EQ(out.size(), 23u + 255u);
    out.clear();
    EXPECT_FALSE(vless_emit_request(user, {}, std::string(256, 'h'), 1, out));
    EXPECT_FALSE(vless_emit_request(user, {}, "", 1, out));
    EXPECT_TRUE(out.empty());
}

TEST(vless_codec, the_response_skips_addons_and_needs_version_zero)
{
    std::size_t size = 0;
    const bytes response = {0x00, 0x03, 0xAA, 0xBB, 0xCC, 'd', 'a', 't', 'a'};
    ASSERT_EQ(vless_parse_response(response, size), vless_response_status::complete);
    EXPECT_EQ(size, 5u);
    for (std::size_t n = 0; n < 5; ++n) {
        EXPECT_EQ(vless_parse_response(byte_span(response.data(), n), size), vless_response_status::need_more);
    }
    EXPECT_EQ(vless_parse_response(bytes{0x01, 0x00}, size), vless_response_status::bad_version);
}

TEST(trojan_codec, the_request_follows_the_protocol_document)
{
    bytes out;
    ASSERT_TRUE(trojan_emit_request("", "::1", 8080, text_bytes("hello"), out));
    // SHA-224 of the empty password, as lower-case hex.
    const std::string key = "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f";
    bytes expected(key.begin(), key.end());
    const bytes rest = {
        '\r', '\n',
        0x01,                  // command: connect
        0x03,                  // address type: domain name, also for an IPv6 literal
        0x03, ':', ':', '1',   // host
        0x1F, 0x90,            // port 8080
        '\r', '\n',
        'h', 'e', 'l', 'l', 'o',  // initial payload in the same write
    };
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(out, expected);

    out.clear();
    EXPECT_FALSE(trojan_emit_request("x", "", 1, {}, out));
    EXPECT_FALSE(trojan_emit_request("x", std::string(256, 'a'), 1, {}, out));
    EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace pelto
