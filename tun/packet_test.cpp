#include "tun/packet.h"

#include <gtest/gtest.h>

namespace {

using namespace pelto;
using namespace pelto::tun;

// The header used by the checksum self-test before a TUN comes up.
const bytes reference_header = {
    0x45, 0x00, 0x00, 0x3c,  // version 4, IHL 5, total length 60
    0x1c, 0x46, 0x40, 0x00,  // id, DF
    0x40, 0x06, 0x00, 0x00,  // TTL 64, TCP, checksum zero
    0xac, 0x10, 0x0a, 0x63,  // 172.16.10.99
    0xac, 0x10, 0x0a, 0x0c,  // 172.16.10.12
};

// A SYN and a UDP datagram as the Linux kernel sent them from 10.0.0.1 into a TUN device
// (captured; every checksum is the kernel's own).
const bytes kernel_syn = {
    0x45, 0x00, 0x00, 0x3c, 0xc8, 0x75, 0x40, 0x00, 0x40, 0x06, 0x5e, 0x44,  // IPv4, checksum 5e44
    0x0a, 0x00, 0x00, 0x01, 0x0a, 0x00, 0x00, 0x02,                          // 10.0.0.1 → 10.0.0.2
    0x98, 0xec, 0x00, 0x50,                                                  // ports 39148 → 80
    0xa6, 0xed, 0x41, 0x73, 0x00, 0x00, 0x00, 0x00,                          // seq, ack
    0xa0, 0x02, 0xfa, 0xf0, 0x93, 0xaa, 0x00, 0x00,                          // offset 10, SYN, win, csum
    0x02, 0x04, 0x05, 0xb4, 0x04, 0x02, 0x08, 0x0a, 0x68, 0x9c, 0xbb, 0x25,  // MSS, SACK ok, TS
    0x00, 0x00, 0x00, 0x00, 0x01, 0x03, 0x03, 0x0a,                          // TS, NOP, WS 10
};
const bytes kernel_udp = {
    0x45, 0x00, 0x00, 0x23, 0xc2, 0x37, 0x40, 0x00, 0x40, 0x11, 0x64, 0x90,  // IPv4, checksum 6490
    0x0a, 0x00, 0x00, 0x01, 0x0a, 0x00, 0x00, 0x02,                          // 10.0.0.1 → 10.0.0.2
    0x14, 0xe9, 0x00, 0x35, 0x00, 0x0f, 0x80, 0xa9,                          // 5353 → 53, len 15, csum
    0x12, 0x34, 'h', 'e', 'l', 'l', 'o',                                      // payload
};

bytes udp_packet(std::uint32_t dst, std::uint16_t dport, std::size_t payload)
{
    bytes out;
    EXPECT_TRUE(build_udp(ipv4(10, 0, 0, 1), dst, 5353, dport, bytes(payload, 0xAB), 7, out));
    return out;
}

TEST(tun_packet, checksum_self_test_vector)
{
    EXPECT_EQ(fold_sum(reference_header), 0x4E19);
    EXPECT_EQ(internet_checksum(reference_header), 0xB1E6);
    EXPECT_TRUE(checksum_self_test());
    // An odd tail byte counts as the high byte of a word; carries fold back in.
    const bytes odd = {0x01, 0x02, 0x03};
    EXPECT_EQ(fold_sum(odd), 0x0102 + 0x0300);
    const bytes carry = {0xFF, 0xFF, 0x00, 0x02};
    EXPECT_EQ(fold_sum(carry), 0x0002);
}

// RFC 1071 word by word, as the slow reference for the wide summation.
std::uint16_t reference_fold(byte_span data, std::uint32_t initial)
{
    std::uint64_t sum = initial;
    for (std::size_t i = 0; i < data.size(); i += 2) {
        sum += static_cast<std::uint64_t>(data[i]) << 8 | (i + 1 < data.size() ? data[i + 1] : 0);
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(sum);
}

TEST(tun_packet, wide_checksum_matches_the_word_by_word_sum)
{
    // Every length up to a few words past the 16-byte steps, at every alignment, with and without
    // an initial sum (the pseudo-header's), and one segment of 64 KiB of carries.
    bytes data(40000);
    std::uint32_t x = 12345;
    for (std::uint8_t& b : data) {
        x = x * 1103515245 + 12345;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    for (std::size_t start = 0; start < 8; ++start) {
        for (std::size_t n = 0; n <= 70; ++n) {
            const byte_span piece = byte_span(data).subspan(start, n);
            ASSERT_EQ(fold_sum(piece), reference_fold(piece, 0)) << start << " " << n;
            ASSERT_EQ(fold_sum(piece, 0x1FFFE), reference_fold(piece, 0x1FFFE)) << start << " " << n;
        }
    }
    EXPECT_EQ(fold_sum(byte_span(data).subspan(3)), reference_fold(byte_span(data).subspan(3), 0));
    const bytes ones(65535, 0xFF);
    EXPECT_EQ(fold_sum(ones), reference_fold(ones, 0));
    // The pseudo-header's sum is what a full checksum starts from.
    const std::uint32_t a = ipv4(10, 0, 0, 1), b = ipv4(203, 0, 113, 5);
    const bytes pseudo = {10, 0, 0, 1, 203, 0, 113, 5, 0, ip_proto_tcp, 0x01, 0x2C};
    EXPECT_EQ(pseudo_header_sum(a, b, ip_proto_tcp, 300), reference_fold(pseudo, 0));
}

TEST(tun_packet, kernel_packet_checksums_verify_and_parse)
{
    auto ip = parse_ipv4_packet(kernel_syn);
    ASSERT_TRUE(ip);
    EXPECT_EQ(internet_checksum(byte_span(kernel_syn).first(20)), 0);
    EXPECT_EQ(ip->header.source, ipv4(10, 0, 0, 1));
    EXPECT_EQ(transport_checksum(ip->header.source, ip->header.destination, ip_proto_tcp, ip->segment), 0);
    auto tcp = parse_tcp_segment(ip->segment);
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->header.source_port, 39148);
    EXPECT_EQ(tcp->header.destination_port, 80);
    EXPECT_EQ(tcp->header.flags, tcp_syn);
    EXPECT_EQ(tcp->header.header_length, 40);
    EXPECT_EQ(tcp->header.window_scale, 10);  // behind MSS, SACK permitted, timestamps and a NOP
    EXPECT_TRUE(tcp->payload.empty());

    // Rebuilding the same header fields gives the kernel's checksums (options aside).
    bytes rebuilt;
    ASSERT_TRUE(build_ipv4(ip->header.source, ip->header.destination, ip_proto_tcp, 0xc875,
                           ip->segment, rebuilt));
    EXPECT_EQ(rebuilt, kernel_syn);

    // The UDP builder produces the kernel's datagram byte for byte.
    auto udp_ip = parse_ipv4_packet(kernel_udp);
    ASSERT_TRUE(udp_ip);
    auto udp = parse_udp_datagram(udp_ip->segment);
    ASSERT_TRUE(udp);
    bytes udp_rebuilt;
    ASSERT_TRUE(build_udp(udp_ip->header.source, udp_ip->header.destination, 5353, 53, udp->payload,
                          0xc237, udp_rebuilt));
    EXPECT_EQ(udp_rebuilt, kernel_udp);
}

TEST(tun_packet, built_segments_parse_back_and_checksum_to_zero)
{
    const tcp_out s{ipv4(198, 51, 100, 7), ipv4(10, 0, 0, 1), 443, 40000, tcp_syn | tcp_ack,
                    0xFFFFFFF0u, 0x12345678u, 65535, true};
    const bytes data = {1, 2, 3};
    bytes packet;
    ASSERT_TRUE(build_tcp(s, data, 0xBEEF, packet));
    ASSERT_EQ(packet.size(), 20u + 24u + 3u);
    EXPECT_EQ(packet[6], 0x40);  // don't fragment
    EXPECT_EQ(packet[8], 64);    // TTL
    EXPECT_EQ(packet[4] << 8 | packet[5], 0xBEEF);
    EXPECT_EQ(internet_checksum(byte_span(packet).first(20)), 0);
    auto ip = parse_ipv4_packet(packet);
    ASSERT_TRUE(ip);
    EXPECT_EQ(transport_checksum(s.source, s.destination, ip_proto_tcp, ip->segment), 0);
    auto tcp = parse_tcp_segment(ip->segment);
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->header.seq, 0xFFFFFFF0u);
    EXPECT_EQ(tcp->header.ack, 0x12345678u);
    EXPECT_EQ(tcp->header.header_length, 24);
    const bytes mss(ip->segment.begin() + 20, ip->segment.begin() + 24);
    EXPECT_EQ(mss, (bytes{0x02, 0x04, 0x05, 0x64}));  // MSS 1380
    EXPECT_EQ(bytes(tcp->payload.begin(), tcp->payload.end()), data);

    // Left to the device: the field holds the pseudo-header's sum, and summing the segment over
    // it (what the device does) gives the full checksum.
    tcp_out offloaded = s;
    offloaded.checksum = tcp_checksum::pseudo_header;
    const bytes big = bytes(60000, 0x5A);
    bytes large;
    ASSERT_TRUE(build_tcp(offloaded, big, 1, large));
    auto lip = parse_ipv4_packet(large);
    ASSERT_TRUE(lip);
    const std::uint16_t field = static_cast<std::uint16_t>(lip->segment[16] << 8 | lip->segment[17]);
    EXPECT_EQ(field, pseudo_header_sum(s.source, s.destination, ip_proto_tcp, lip->segment.size()));
    bytes completed(lip->segment.begin(), lip->segment.end());
    const std::uint16_t sum = internet_checksum(completed);
    completed[16] = static_cast<std::uint8_t>(sum >> 8);
    completed[17] = static_cast<std::uint8_t>(sum);
    EXPECT_EQ(transport_checksum(s.source, s.destination, ip_proto_tcp, completed), 0);
}

TEST(tun_packet, window_scale_is_built_and_read_and_a_bad_option_list_only_ends_the_options)
{
    tcp_out s{ipv4(198, 51, 100, 7), ipv4(10, 0, 0, 1), 443, 40000, tcp_syn | tcp_ack, 1, 2, 65535, true};
    s.window_scale = 0;
    bytes packet;
    ASSERT_TRUE(build_tcp(s, {}, 1, packet));
    auto ip = parse_ipv4_packet(packet);
    ASSERT_TRUE(ip);
    EXPECT_EQ(transport_checksum(s.source, s.destination, ip_proto_tcp, ip->segment), 0);
    const bytes options(ip->segment.begin() + 20, ip->segment.end());
    EXPECT_EQ(options, (bytes{0x02, 0x04, 0x05, 0x64, 0x01, 0x03, 0x03, 0x00}));
    auto tcp = parse_tcp_segment(ip->segment);
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->header.header_length, 28);
    EXPECT_EQ(tcp->header.window_scale, 0);

    // Options behind a 20-byte header, then two payload bytes: what the parser makes of them.
    struct option_case {
        bytes options;
        std::int8_t scale;
    };
    const option_case cases[] = {
        {{0x01, 0x03, 0x03, 0x07}, 7},
        {{0x03, 0x03, 0x0e, 0x00}, 14},
        {{0x03, 0x03, 0x0f, 0x00}, 14},                          // over 14 counts as 14
        {{0x00, 0x03, 0x03, 0x07}, -1},                          // behind the end of the list
        {{0x02, 0x00, 0x03, 0x03, 0x07, 0x01, 0x01, 0x01}, -1},  // length 0: the list ends there
        {{0x08, 0x0a, 0x00, 0x00}, -1},                          // runs past the header
        {{0x01, 0x01, 0x01, 0x03}, -1},                          // kind without its length
        {{0x03, 0x04, 0x07, 0x00}, -1},                          // the wrong length is not it
        {{0x02, 0x04, 0x05, 0xb4, 0x01, 0x03, 0x03, 0x02}, 2},
    };
    for (const option_case& c : cases) {
        bytes segment = {0x01, 0xbb, 0x9c, 0x40, 0, 0, 0, 1, 0, 0, 0, 0,
                         static_cast<std::uint8_t>((20 + c.options.size()) / 4 << 4), tcp_syn, 0xff, 0xff,
                         0, 0, 0, 0};
        segment.insert(segment.end(), c.options.begin(), c.options.end());
        segment.insert(segment.end(), {0xAA, 0xBB});
        auto parsed = parse_tcp_segment(segment);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->header.window_scale, c.scale) << testing::PrintToString(c.options);
        EXPECT_EQ(bytes(parsed->payload.begin(), parsed->payload.end()), (bytes{0xAA, 0xBB}));
    }
}

TEST(tun_packet, udp_payload_limit_and_checksum)
{
    bytes out;
    EXPECT_TRUE(build_udp(ipv4(10, 0, 0, 1), ipv4(10, 0, 0, 2), 53, 5353, bytes(1400, 1), 1, out));
    EXPECT_FALSE(build_udp(ipv4(10, 0, 0, 1), ipv4(10, 0, 0, 2), 53, 5353, bytes(1401, 1), 1, out));
    auto ip = parse_ipv4_packet(out);
    ASSERT_TRUE(ip);
    EXPECT_EQ(transport_checksum(ip->header.source, ip->header.destination, ip_proto_udp, ip->segment), 0);
    auto udp = parse_udp_datagram(ip->segment);
    ASSERT_TRUE(udp);
    EXPECT_EQ(udp->payload.size(), 1400u);
    EXPECT_FALSE(build_ipv4(1, 2, 6, 0, bytes(65001, 0), out));
}

TEST(tun_packet, acceptance_rules)
{
    const bytes good = udp_packet(ipv4(10, 0, 0, 2), 53, 10);
    ASSERT_TRUE(parse_ipv4_packet(good));
    // Every truncated prefix is refused: the total length no longer fits.
    for (std::size_t n = 0; n < good.size(); ++n) {
        EXPECT_FALSE(parse_ipv4_packet(byte_span(good).first(n))) << n;
    }
    // Padding past the total length is not part of the segment.
    bytes padded = good;
    padded.insert(padded.end(), 6, 0xEE);
    auto ip = parse_ipv4_packet(padded);
    ASSERT_TRUE(ip);
    EXPECT_EQ(ip->segment.size(), good.size() - 20);

    bytes fragment = good;
    fragment[6] |= 0x20;  // more fragments
    EXPECT_FALSE(parse_ipv4_packet(fragment));
    fragment = good;
    fragment[7] = 1;  // offset
    EXPECT_FALSE(parse_ipv4_packet(fragment));
    bytes v6 = good;
    v6[0] = 0x65;
    EXPECT_FALSE(parse_ipv4_packet(v6));
    bytes short_header = good;
    short_header[0] = 0x44;  // IHL 4
    EXPECT_FALSE(parse_ipv4_packet(short_header));
    bytes long_header = good;
    long_header[0] = 0x4F;  // IHL 15: 60 bytes, longer than the total length
    EXPECT_FALSE(parse_ipv4_packet(long_header));

    // UDP: a length field below 8 or past the segment is refused.
    bytes udp_bad = good;
    udp_bad[24] = 0;
    udp_bad[25] = 7;
    auto ip2 = parse_ipv4_packet(udp_bad);
    ASSERT_TRUE(ip2);
    EXPECT_FALSE(parse_udp_datagram(ip2->segment));
    udp_bad[25] = 19;
    EXPECT_FALSE(parse_udp_datagram(parse_ipv4_packet(udp_bad)->segment));

    // TCP: offsets below 5 words or past the segment are refused; every prefix of a header too.
    const auto syn = parse_ipv4_packet(kernel_syn);
    ASSERT_TRUE(syn);
    for (std::size_t n = 0; n < 40; ++n) {
        EXPECT_FALSE(parse_tcp_segment(syn->segment.first(n))) << n;
    }
    bytes low_offset(syn->segment.begin(), syn->segment.end());
    low_offset[12] = 0x40;
    EXPECT_FALSE(parse_tcp_segment(low_offset));
}

TEST(tun_packet, sequence_numbers_compare_across_the_wrap)
{
    EXPECT_TRUE(seq_before(0xFFFFFFF0u, 0x10u));
    EXPECT_FALSE(seq_before(0x10u, 0xFFFFFFF0u));
    EXPECT_EQ(seq_diff(0x10u, 0xFFFFFFF0u), 0x20);
    EXPECT_EQ(host_order(ipv4(192, 168, 1, 2)), 0xC0A80102u);
    EXPECT_EQ(network_order(0xC0A80102u), ipv4(192, 168, 1, 2));
}

TEST(tun_packet, port_unreachable_quotes_the_header_and_eight_bytes)
{
    const std::uint32_t client = ipv4(10, 0, 0, 1);
    const std::uint32_t routed = ipv4(203, 0, 113, 5);
    bytes udp;
    ASSERT_TRUE(build_udp(client, routed, 51000, 443, bytes(100, 0xAB), 0x1234, udp));
    bytes out = {0xEE};  // appended behind what the buffer holds
    ASSERT_TRUE(build_icmp_port_unreachable(udp, 9, out));
    ASSERT_EQ(out.size(), 1u + 20u + 8u + 28u);
    const byte_span packet = byte_span(out).subspan(1);
    auto ip = parse_ipv4_packet(packet);
    ASSERT_TRUE(ip);
    EXPECT_EQ(ip->header.protocol, ip_proto_icmp);
    EXPECT_EQ(ip->header.source, routed);
    EXPECT_EQ(ip->header.destination, client);
    EXPECT_EQ(ip->header.identification, 9);
    EXPECT_EQ(internet_checksum(packet.first(20)), 0);
    EXPECT_EQ(internet_checksum(ip->segment), 0);
    auto m = parse_icmp_message(ip->segment);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->header.type, icmp_destination_unreachable);
    EXPECT_EQ(m->header.code, icmp_port_unreachable);
    EXPECT_EQ(m->header.rest, 0u);
    EXPECT_EQ(bytes(m->body.begin(), m->body.end()), bytes(udp.begin(), udp.begin() + 28));
    // The quoted header still names the original sender and ports.
    auto quoted = parse_ipv4_packet(m->body);
    ASSERT_FALSE(quoted);  // its total length runs past the quote: not a whole packet
    EXPECT_EQ(m->body[9], ip_proto_udp);
    EXPECT_EQ(m->body[22] << 8 | m->body[23], 443);

    // A packet shorter than header + 8 is quoted whole; errors about ICMP, and non-IPv4, none.
    bytes tiny;
    ASSERT_TRUE(build_ipv4(client, routed, ip_proto_udp, 1, bytes{1, 2, 3}, tiny));
    bytes small;
    ASSERT_TRUE(build_icmp_port_unreachable(tiny, 1, small));
    EXPECT_EQ(small.size(), 20u + 8u + 23u);
    EXPECT_FALSE(build_icmp_port_unreachable(small, 1, out = {}));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(build_icmp_port_unreachable(bytes(19, 0x45), 1, out));
    EXPECT_FALSE(parse_icmp_message(bytes(7, 0)));
}

}  // namespace
