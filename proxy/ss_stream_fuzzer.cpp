// libFuzzer target: the bytes a Shadowsocks 2022 node sends back. The input scripts a response
// (first payload, then chunks of any length including 0) that the target seals properly with the
// stream's keys, then optionally damages one byte or cuts the bytes short; whatever it is, the
// stream must hand out exactly a prefix of the payloads it was sent - all of them when nothing was
// damaged - and never a byte that did not authenticate. The node's side is a socket pair.

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "crypto/aes_gcm.h"
#include "crypto/blake3_hash.h"
#include "proxy/node_record.h"
#include "net/socket.h"
#include "proxy/ss_stream.h"

namespace {

using namespace pelto;

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

constexpr std::uint8_t flag_raw = 0x01;       // send the rest of the input as it is
constexpr std::uint8_t flag_damage = 0x02;    // flip one bit of the sealed bytes
constexpr std::uint8_t flag_truncate = 0x04;  // cut the sealed bytes short

// The node's sealing direction, written from the wire format.
struct sealer {
    aes_gcm_key key;
    std::array<std::uint8_t, 12> nonce{};

    void seal(byte_span plain, bytes& out)
    {
        bytes sealed;
        require(aes_gcm_seal(key, nonce, plain, {}, sealed));
        nonce_increment(nonce);
        out.insert(out.end(), sealed.begin(), sealed.end());
    }
};

bytes user_key()
{
    bytes key(16);
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint8_t>(i * 29 + 1);
    }
    return key;
}

bool send_everything(int fd, const bytes& data)
{
    std::size_t at = 0;
    while (at < data.size()) {
        const ssize_t n = ::send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool started = net_startup();
    require(started);
    if (size < 1) {
        return 0;
    }
    byte_reader input(byte_span(data, size));
    std::uint8_t flags = 0;
    input.read_u8(flags);

    int fds[2];
    require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    require(register_socket(static_cast<socket_handle>(fds[0])));
    ss_stream stream(static_cast<socket_handle>(fds[0]));
    node_record node;
    node.protocol = node_protocol::shadowsocks;
    node.user_key = user_key();
    std::u16string error;
    require(stream.request(node, "origin.example", 443, bytes{}, error));
    std::array<std::uint8_t, 16> request_salt{};
    require(::recv(fds[1], request_salt.data(), request_salt.size(), MSG_WAITALL) == 16);

    bytes wire;
    bytes expected;
    if (flags & flag_raw) {
        const byte_span rest = input.rest();
        wire.assign(rest.begin(), rest.end());
    } else {
        std::array<std::uint8_t, 16> server_salt{};
        server_salt[0] = flags;
        wire.assign(server_salt.begin(), server_salt.end());
        sealer out;
        bytes material = user_key();
        material.insert(material.end(), server_salt.begin(), server_salt.end());
        const blake3_digest subkey = blake3_derive_key("shadowsocks 2022 session subkey", material);
        require(out.key.create(byte_span(subkey.data(), 16)));

        std::uint8_t first_length = 0;
        input.read_u8(first_length);
        byte_span first_span;
        input.read_bytes(std::min<std::size_t>(first_length, input.remaining()), first_span);
        const bytes first(first_span.begin(), first_span.end());
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        bytes header;
        byte_writer h(header);
        h.u8(1);                                  // response type
        h.u64(static_cast<std::uint64_t>(now));   // timestamp
        h.append(request_salt);                   // request salt echo
        h.u16(static_cast<std::uint16_t>(first.size()));
        out.seal(header, wire);
        out.seal(first, wire);  // sealed even when empty
        expected = first;
        while (input.remaining() >= 2) {
            std::uint16_t length = 0;
            input.read_u16(length);
            byte_span chunk_span;
            input.read_bytes(std::min<std::size_t>(length, input.remaining()), chunk_span);
            const bytes chunk(chunk_span.begin(), chunk_span.end());
            const std::uint8_t length_field[2] = {static_cast<std::uint8_t>(chunk.size() >> 8),
                                                  static_cast<std::uint8_t>(chunk.size() & 0xFF)};
            out.seal(byte_span(length_field, 2), wire);
            out.seal(chunk, wire);
            expected.insert(expected.end(), chunk.begin(), chunk.end());
        }
        // The damage's position comes from the flags and the size, so the input stays a script.
        const std::size_t where = (static_cast<std::size_t>(flags) * 7919u + size * 31u) % wire.size();
        if (flags & flag_damage) {
            wire[where] ^= 0x10;
        }
        if (flags & flag_truncate) {
            wire.resize(where);
        }
    }
    require(send_everything(fds[1], wire));
    ::shutdown(fds[1], SHUT_WR);

    bytes received;
    std::uint8_t buffer[4096];
    for (;;) {
        const std::int32_t n = stream.read(buffer, static_cast<std::int32_t>(1 + (received.size() % sizeof buffer)));
        if (n < 1) {
            break;
        }
        require(static_cast<std::size_t>(n) <= sizeof buffer);
        received.insert(received.end(), buffer, buffer + n);
    }
    if (!(flags & flag_raw)) {
        require(received.size() <= expected.size());
        require(received.empty() || std::memcmp(received.data(), expected.data(), received.size()) == 0);
        if (!(flags & (flag_damage | flag_truncate))) {
            require(received == expected);
        }
    }
    stream.close();
    ::close(fds[1]);
    return 0;
}
