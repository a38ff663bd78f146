#include "tun/packet.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace pelto::tun {

namespace {

// The one's complement sum does not depend on byte order (RFC 1071, 2.B): words are summed as
// they lie in memory, 64 bits at a time into a 64-bit accumulator, and the folded result is
// turned to big-endian once at the end.
std::uint64_t sum_native(byte_span data, std::uint64_t sum)
{
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    // Two accumulators, 16 bytes a step, each word's halves added as 32-bit values.
    std::uint64_t a = 0, b = 0;
    for (; n >= 16; p += 16, n -= 16) {
        std::uint64_t x, y;
        std::memcpy(&x, p, 8);
        std::memcpy(&y, p + 8, 8);
        a += (x & 0xFFFFFFFFu) + (x >> 32);
        b += (y & 0xFFFFFFFFu) + (y >> 32);
    }
    sum += a;
    sum += b;
    for (; n >= 4; p += 4, n -= 4) {
        std::uint32_t x;
        std::memcpy(&x, p, 4);
        sum += x;
    }
    if (n >= 2) {
        std::uint16_t x;
        std::memcpy(&x, p, 2);
        sum += x;
        p += 2;
        n -= 2;
    }
    if (n == 1) {
        // The odd tail byte is the high byte of a word: in memory order, followed by a zero.
        const std::uint8_t tail[2] = {*p, 0};
        std::uint16_t x;
        std::memcpy(&x, tail, 2);
        sum += x;
    }
    return sum;
}

std::uint16_t fold(std::uint64_t sum)
{
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(sum);
}

// Between a 16-bit value and the same word as it lies in memory.
std::uint16_t word_order(std::uint16_t v)
{
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<std::uint16_t>(v >> 8 | v << 8);
    } else {
        return v;
    }
}

// Folded big-endian sum of `data` after `initial` (a big-endian sum).
std::uint16_t sum_words(byte_span data, std::uint64_t initial)
{
    const std::uint64_t native = sum_native(data, word_order(fold(initial)));
    return word_order(fold(native));
}

void put_address(byte_writer& w, std::uint32_t address)
{
    std::uint8_t raw[4];
    std::memcpy(raw, &address, 4);
    w.append(byte_span(raw, 4));
}

bool read_address(byte_reader& r, std::uint32_t& out)
{
    std::uint8_t raw[4];
    if (!r.copy_bytes(raw)) {
        return false;
    }
    std::memcpy(&out, raw, 4);
    return true;
}

void emit_icmp_header(byte_writer& w, const icmp_header& h)
{
    w.u8(h.type);
    w.u8(h.code);
    w.u16(h.checksum);
    w.u32(h.rest);
}

void emit_ipv4_header(byte_writer& w, const ipv4_header& h)
{
    w.u8(static_cast<std::uint8_t>(0x40 | (h.header_length / 4)));
    w.u8(0);  // type of service
    w.u16(h.total_length);
    w.u16(h.identification);
    w.u8(h.flags_fragment_high);
    w.u8(h.fragment_low);
    w.u8(h.ttl);
    w.u8(h.protocol);
    w.u16(h.checksum);
    put_address(w, h.source);
    put_address(w, h.destination);
}

void put_u16_at(bytes& out, std::size_t at, std::uint16_t v)
{
    out[at] = static_cast<std::uint8_t>(v >> 8);
    out[at + 1] = static_cast<std::uint8_t>(v);
}

}  // namespace

std::uint16_t pseudo_header_sum(std::uint32_t source, std::uint32_t destination,
                                std::uint8_t protocol, std::size_t length)
{
    std::uint8_t pseudo[12];
    std::memcpy(pseudo, &source, 4);
    std::memcpy(pseudo + 4, &destination, 4);
    pseudo[8] = 0;
    pseudo[9] = protocol;
    pseudo[10] = static_cast<std::uint8_t>(length >> 8);
    pseudo[11] = static_cast<std::uint8_t>(length);
    return sum_words(byte_span(pseudo, 12), 0);
}

std::uint32_t host_order(std::uint32_t network_address)
{
    std::uint8_t raw[4];
    std::memcpy(raw, &network_address, 4);
    return std::uint32_t{raw[0]} << 24 | std::uint32_t{raw[1]} << 16 | std::uint32_t{raw[2]} << 8 |
           raw[3];
}

std::uint32_t network_order(std::uint32_t host_address)
{
    return ipv4(static_cast<std::uint8_t>(host_address >> 24),
                static_cast<std::uint8_t>(host_address >> 16),
                static_cast<std::uint8_t>(host_address >> 8), static_cast<std::uint8_t>(host_address));
}

std::uint16_t fold_sum(byte_span data, std::uint32_t initial) { return sum_words(data, initial); }

bool checksum_self_test()
{
    static constexpr std::uint8_t reference[20] = {
        0x45, 0x00, 0x00, 0x3c, 0x1c, 0x46, 0x40, 0x00, 0x40, 0x06,
        0x00, 0x00, 0xac, 0x10, 0x0a, 0x63, 0xac, 0x10, 0x0a, 0x0c,
    };
    return fold_sum(reference) == 0x4E19 && internet_checksum(reference) == 0xB1E6;
}

std::uint16_t internet_checksum(byte_span data) { return static_cast<std::uint16_t>(~fold_sum(data)); }

std::uint16_t transport_checksum(std::uint32_t source, std::uint32_t destination,
                                 std::uint8_t protocol, byte_span segment)
{
    const std::uint16_t pseudo = pseudo_header_sum(source, destination, protocol, segment.size());
    return static_cast<std::uint16_t>(~sum_words(segment, pseudo));
}

namespace {

// Kind 0 ends the list, kind 1 is one byte of padding, every other option is kind, length (two or
// more, itself included) and its data.
std::int8_t window_scale_option(byte_span options)
{
    constexpr std::uint8_t end_of_list = 0, no_operation = 1, window_scale = 3;
    std::size_t at = 0;
    while (at < options.size()) {
        const std::uint8_t kind = options[at];
        if (kind == end_of_list) {
            break;
        }
        if (kind == no_operation) {
            ++at;
            continue;
        }
        if (at + 1 >= options.size()) {
            break;
        }
        const std::uint8_t length = options[at + 1];
        if (length < 2 || at + length > options.size()) {
            break;
        }
        if (kind == window_scale && length == 3) {
            return static_cast<std::int8_t>(std::min<std::uint8_t>(options[at + 2], 14));
        }
        at += length;
    }
    return -1;
}

}  // namespace

std::optional<tcp_segment> parse_tcp_segment(byte_span segment)
{
    byte_reader r(segment);
    tcp_segment out;
    tcp_header& h = out.header;
    std::uint8_t offset_byte = 0;
    if (!r.read_u16(h.source_port) || !r.read_u16(h.destination_port) || !r.read_u32(h.seq) ||
        !r.read_u32(h.ack) || !r.read_u8(offset_byte) || !r.read_u8(h.flags) ||
        !r.read_u16(h.window) || !r.read_u16(h.checksum) || !r.skip(2)) {
        return std::nullopt;
    }
    h.header_length = static_cast<std::uint8_t>((offset_byte >> 4) * 4);
    if (h.header_length < 20 || segment.size() < h.header_length) {
        return std::nullopt;
    }
    h.window_scale = window_scale_option(segment.subspan(20, h.header_length - 20u));
    out.payload = segment.subspan(h.header_length);
    return out;
}

std::optional<udp_datagram> parse_udp_datagram(byte_span segment)
{
    byte_reader r(segment);
    udp_datagram out;
    udp_header& h = out.header;
    if (!r.read_u16(h.source_port) || !r.read_u16(h.destination_port) || !r.read_u16(h.length) ||
        !r.read_u16(h.checksum)) {
        return std::nullopt;
    }
    if (h.length < 8 || !r.read_bytes(h.length - 8u, out.payload)) {
        return std::nullopt;
    }
    return out;
}

std::optional<icmp_message> parse_icmp_message(byte_span message)
{
    byte_reader r(message);
    icmp_message out;
    icmp_header& h = out.header;
    if (!r.read_u8(h.type) || !r.read_u8(h.code) || !r.read_u16(h.checksum) ||
        !r.read_u32(h.rest)) {
        return std::nullopt;
    }
    out.body = message.subspan(8);
    return out;
}

std::optional<ipv4_packet> parse_ipv4_packet(byte_span packet)
{
    byte_reader r(packet);
    ipv4_packet out;
    ipv4_header& h = out.header;
    std::uint8_t version_ihl = 0, tos = 0;
    if (!r.read_u8(version_ihl) || !r.read_u8(tos) || !r.read_u16(h.total_length) ||
        !r.read_u16(h.identification) || !r.read_u8(h.flags_fragment_high) ||
        !r.read_u8(h.fragment_low) || !r.read_u8(h.ttl) || !r.read_u8(h.protocol) ||
        !r.read_u16(h.checksum) || !read_address(r, h.source) || !read_address(r, h.destination)) {
        return std::nullopt;
    }
    h.header_length = static_cast<std::uint8_t>((version_ihl & 0x0F) * 4);
    if ((version_ihl >> 4) != 4 || h.header_length < 20 || h.header_length > packet.size()) {
        return std::nullopt;
    }
    if (h.total_length < h.header_length || h.total_length > packet.size()) {
        return std::nullopt;
    }
    // More-fragments (0x20) and the fragment offset; don't-fragment (0x40) and the reserved
    // bit are ignored.
    if ((h.flags_fragment_high & 0x3F) != 0 || h.fragment_low != 0) {
        return std::nullopt;
    }
    out.segment = packet.subspan(h.header_length, h.total_length - h.header_length);
    return out;
}

namespace {

// Writes the IPv4 header of a packet of `payload_length` transport bytes, its checksum included.
void emit_ipv4_for(byte_writer& w, bytes& out, std::uint32_t source, std::uint32_t destination,
                   std::uint8_t protocol, std::uint16_t identification, std::size_t payload_length)
{
    const std::size_t start = out.size();
    ipv4_header h;
    h.total_length = static_cast<std::uint16_t>(payload_length + 20);
    h.identification = identification;
    h.flags_fragment_high = 0x40;  // don't fragment
    h.protocol = protocol;
    h.source = source;
    h.destination = destination;
    emit_ipv4_header(w, h);
    put_u16_at(out, start + 10, internet_checksum(byte_span(out).subspan(start, 20)));
}

}  // namespace

bool build_ipv4(std::uint32_t source, std::uint32_t destination, std::uint8_t protocol,
                std::uint16_t identification, byte_span payload, bytes& out)
{
    if (payload.size() > max_ipv4_payload) {
        return false;
    }
    out.reserve(out.size() + 20 + payload.size());
    byte_writer w(out);
    emit_ipv4_for(w, out, source, destination, protocol, identification, payload.size());
    w.append(payload);
    return true;
}

bool build_tcp_headers(const tcp_out& s, byte_span data, std::uint16_t identification, bytes& out)
{
    const std::size_t header_length = 20 + (s.with_mss ? 4 : 0) + (s.window_scale >= 0 ? 4 : 0);
    if (header_length + data.size() > max_ipv4_payload) {
        return false;
    }
    // Straight into `out`: the IPv4 header, the TCP header, then its checksum in place.
    out.reserve(out.size() + 20 + header_length);
    byte_writer w(out);
    emit_ipv4_for(w, out, s.source, s.destination, ip_proto_tcp, identification,
                  header_length + data.size());
    const std::size_t segment_at = out.size();
    w.u16(s.source_port);
    w.u16(s.destination_port);
    w.u32(s.seq);
    w.u32(s.ack);
    w.u8(static_cast<std::uint8_t>((header_length / 4) << 4));
    w.u8(s.flags);
    w.u16(s.window);
    w.u16(0);  // checksum, filled below
    w.u16(0);  // urgent pointer
    if (s.with_mss) {
        w.u8(2);  // kind: maximum segment size
        w.u8(4);  // option length
        w.u16(announced_mss);
    }
    if (s.window_scale >= 0) {
        w.u8(1);  // no-operation: the option keeps the data 32-bit aligned
        w.u8(3);  // kind: window scale
        w.u8(3);  // option length
        w.u8(static_cast<std::uint8_t>(s.window_scale));
    }
    const std::size_t length = header_length + data.size();
    const std::uint16_t pseudo = pseudo_header_sum(s.source, s.destination, ip_proto_tcp, length);
    // The header is a whole number of 16-bit words: its sum carries on into the data's.
    const std::uint16_t sum =
        s.checksum == tcp_checksum::full
            ? static_cast<std::uint16_t>(~sum_words(data, sum_words(byte_span(out).subspan(segment_at), pseudo)))
            : pseudo;
    put_u16_at(out, segment_at + 16, sum);
    return true;
}

bool build_tcp(const tcp_out& s, byte_span data, std::uint16_t identification, bytes& out)
{
    if (!build_tcp_headers(s, data, identification, out)) {
        return false;
    }
    out.insert(out.end(), data.begin(), data.end());
    return true;
}

bool build_udp(std::uint32_t source, std::uint32_t destination, std::uint16_t source_port,
               std::uint16_t destination_port, byte_span payload, std::uint16_t identification,
               bytes& out)
{
    if (payload.size() > max_udp_payload) {
        return false;
    }
    bytes datagram;
    byte_writer w(datagram);
    w.u16(source_port);
    w.u16(destination_port);
    w.u16(static_cast<std::uint16_t>(payload.size() + 8));
    w.u16(0);
    w.append(payload);
    std::uint16_t sum = transport_checksum(source, destination, ip_proto_udp, datagram);
    if (sum == 0) {
        sum = 0xFFFF;  // zero means "no checksum" in UDP
    }
    put_u16_at(datagram, 6, sum);
    return build_ipv4(source, destination, ip_proto_udp, identification, datagram, out);
}

bool build_icmp_port_unreachable(byte_span original, std::uint16_t identification, bytes& out)
{
    const auto ip = parse_ipv4_packet(original);
    if (!ip || ip->header.protocol == ip_proto_icmp) {
        return false;
    }
    const std::size_t quoted =
        ip->header.header_length + std::min<std::size_t>(8, ip->segment.size());
    bytes message;
    byte_writer w(message);
    emit_icmp_header(w, {icmp_destination_unreachable, icmp_port_unreachable, 0, 0});
    w.append(original.first(quoted));
    put_u16_at(message, 2, internet_checksum(message));
    return build_ipv4(ip->header.destination, ip->header.source, ip_proto_icmp, identification,
                      message, out);
}

}  // namespace pelto::tun
