#pragma once
// IPv4, TCP, UDP and ICMP as TUN mode meets them: the Internet checksum, header records with `parse` and
// `emit`, the acceptance rules of a received packet, and the builders of outgoing packets.
//
// Addresses are 32-bit values in network byte order exactly as they stand in a packet (so
// 10.0.0.1 is the value whose first byte in memory is 10); ports, sequence and acknowledgement
// numbers are host-order integers written big-endian. Everything here is pure: no state, no
// device, no clock.

#include <bit>
#include <cstdint>
#include <optional>

#include "base/bytes.h"

namespace pelto::tun {

inline constexpr std::uint8_t ip_proto_icmp = 1;
inline constexpr std::uint8_t ip_proto_tcp = 6;
inline constexpr std::uint8_t ip_proto_udp = 17;

inline constexpr std::uint8_t tcp_fin = 0x01;
inline constexpr std::uint8_t tcp_syn = 0x02;
inline constexpr std::uint8_t tcp_rst = 0x04;
inline constexpr std::uint8_t tcp_psh = 0x08;
inline constexpr std::uint8_t tcp_ack = 0x10;

inline constexpr std::uint8_t icmp_destination_unreachable = 3;
inline constexpr std::uint8_t icmp_port_unreachable = 3;  // a code of destination unreachable

inline constexpr std::uint16_t announced_mss = 1380;
inline constexpr std::size_t max_ipv4_payload = 65000;
inline constexpr std::size_t max_udp_payload = 1400;

// An address from its four bytes in the order they are written (a.b.c.d).
constexpr std::uint32_t ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    if constexpr (std::endian::native == std::endian::little) {
        return std::uint32_t{a} | std::uint32_t{b} << 8 | std::uint32_t{c} << 16 |
               std::uint32_t{d} << 24;
    } else {
        return std::uint32_t{a} << 24 | std::uint32_t{b} << 16 | std::uint32_t{c} << 8 |
               std::uint32_t{d};
    }
}
// The address as an ordinary number (a << 24 | ...), for range tests.
std::uint32_t host_order(std::uint32_t network_address);
std::uint32_t network_order(std::uint32_t host_address);

// RFC 1071: big-endian 16-bit words summed into 32 bits (an odd tail byte is a high byte), the
// carries folded back. `fold_sum` is the folded sum before complementing.
std::uint16_t fold_sum(byte_span data, std::uint32_t initial = 0);
std::uint16_t internet_checksum(byte_span data);
// Runs the checksum routine on a fixed reference header whose folded sum is known (0x4E19);
// TUN mode refuses to start when this fails.
bool checksum_self_test();
// The checksum of a TCP or UDP segment including the 12-byte pseudo-header.
std::uint16_t transport_checksum(std::uint32_t source, std::uint32_t destination,
                                 std::uint8_t protocol, byte_span segment);

// The folded sum of the pseudo-header alone, not complemented: what a TCP or UDP checksum field
// holds when the device completes the checksum.
std::uint16_t pseudo_header_sum(std::uint32_t source, std::uint32_t destination,
                                std::uint8_t protocol, std::size_t length);

struct ipv4_header {
    std::uint8_t header_length = 20;  // bytes
    std::uint16_t total_length = 0;
    std::uint16_t identification = 0;
    std::uint8_t flags_fragment_high = 0;  // byte 6
    std::uint8_t fragment_low = 0;         // byte 7
    std::uint8_t ttl = 64;
    std::uint8_t protocol = 0;
    std::uint16_t checksum = 0;
    std::uint32_t source = 0;
    std::uint32_t destination = 0;
};

struct tcp_header {
    std::uint16_t source_port = 0;
    std::uint16_t destination_port = 0;
    std::uint32_t seq = 0;
    std::uint32_t ack = 0;
    std::uint8_t header_length = 20;  // bytes, options included
    std::uint8_t flags = 0;
    std::uint16_t window = 0;
    std::uint16_t checksum = 0;
    // The window scale option's shift (at most 14), -1 when the segment carries none.
    std::int8_t window_scale = -1;
};

struct udp_header {
    std::uint16_t source_port = 0;
    std::uint16_t destination_port = 0;
    std::uint16_t length = 0;
    std::uint16_t checksum = 0;
};

struct icmp_header {
    std::uint8_t type = 0;
    std::uint8_t code = 0;
    std::uint16_t checksum = 0;
    std::uint32_t rest = 0;  // bytes 4..7: unused (zero) for destination unreachable
};

// An ICMP message: the 8 header bytes and what follows (for an error, the quoted packet). At
// least 8 bytes; the checksum is not checked.
struct icmp_message {
    icmp_header header;
    byte_span body;
};
std::optional<icmp_message> parse_icmp_message(byte_span message);

// A TCP segment as the flows consume it: the header and the payload behind its options.
struct tcp_segment {
    tcp_header header;
    byte_span payload;
};
// Reads a segment: at least 20 bytes, a data offset of at least 5 words that fits. Of the options
// only the window scale is read (a shift over 14 counts as 14); a malformed option list ends the
// reading of options, not of the segment. No checksum check (the adapter hands over what the
// system built).
std::optional<tcp_segment> parse_tcp_segment(byte_span segment);

// A UDP datagram: 8 header bytes, a length field of 8..segment size; the payload ends there.
struct udp_datagram {
    udp_header header;
    byte_span payload;
};
std::optional<udp_datagram> parse_udp_datagram(byte_span segment);

// The acceptance rules of a received packet: IPv4, a header of 20..L bytes, a total length
// between the header and the captured length (bytes past it are padding), not a fragment (the
// more-fragments flag and the offset are zero; don't-fragment is ignored). The transport segment
// is bytes H..T.
struct ipv4_packet {
    ipv4_header header;
    byte_span segment;
};
std::optional<ipv4_packet> parse_ipv4_packet(byte_span packet);

// Builders. Each appends one complete packet to `out` (a caller-owned buffer, usually the send
// ring's) and fails (false, `out` unchanged) over the size limits: an IPv4 payload over 65000
// bytes, a UDP payload over 1400. The IPv4 header carries DF, TTL 64 and its checksum; a TCP
// segment carries the MSS option 1380 when asked and the window scale option when its shift is 0
// or more; a UDP checksum of 0 is sent as 0xFFFF.
// `pseudo_header`: the checksum field holds only the pseudo-header's sum, for a device that
// completes the checksum itself (an offloaded segment); the data is not summed.
enum class tcp_checksum { full, pseudo_header };
struct tcp_out {
    std::uint32_t source = 0, destination = 0;
    std::uint16_t source_port = 0, destination_port = 0;
    std::uint8_t flags = 0;
    std::uint32_t seq = 0, ack = 0;
    std::uint16_t window = 0;
    bool with_mss = false;
    tcp_checksum checksum = tcp_checksum::full;
    std::int8_t window_scale = -1;
};
bool build_ipv4(std::uint32_t source, std::uint32_t destination, std::uint8_t protocol,
                std::uint16_t identification, byte_span payload, bytes& out);
bool build_tcp(const tcp_out& segment, byte_span data, std::uint16_t identification, bytes& out);
// The same packet's IPv4 and TCP headers only (checksums over `data` included): the caller sends
// them with `data` behind them, which is not copied here.
bool build_tcp_headers(const tcp_out& segment, byte_span data, std::uint16_t identification, bytes& out);
bool build_udp(std::uint32_t source, std::uint32_t destination, std::uint16_t source_port,
               std::uint16_t destination_port, byte_span payload, std::uint16_t identification,
               bytes& out);
// Port unreachable (type 3, code 3) for a received packet `original`, sent from the address it
// went to back to its sender: it quotes the IP header and the first 8 bytes behind it (fewer when
// the packet is shorter). False (`out` unchanged) when `original` is not an acceptable IPv4
// packet, or is itself an ICMP message (no error about an error).
bool build_icmp_port_unreachable(byte_span original, std::uint16_t identification, bytes& out);

// Sequence-number arithmetic modulo 2^32: a is before b when the signed difference is negative.
constexpr std::int32_t seq_diff(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::int32_t>(a - b);
}
constexpr bool seq_before(std::uint32_t a, std::uint32_t b) { return seq_diff(a, b) < 0; }

}  // namespace pelto::tun
