// The ClientHello a reality_io sends, read off a loopback connection: fresh key share, random and
// session id per connection, and a session id that opens, as real servers open it, with the
// whole ClientHello (session id zeroed) as associated data, to the version triple, the time and
// the short id.

#include "proxy/reality_io.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "crypto/aes_gcm.h"
#include "crypto/hmac.h"
#include "crypto/x25519.h"
#include "net/socket.h"
#include "net/testing/loopback.h"

namespace pelto {
namespace {

struct hello_fields {
    bytes message;
    byte_span random;
    byte_span session_id;
    byte_span key_share;
};

const x25519_bytes node_private = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
                                   7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};

// One handshake attempt against a server that reads the ClientHello and hangs up.
bytes capture_client_hello(const reality_params& params, std::u16string& out_error)
{
    socket_handle client = invalid_socket_handle;
    socket_handle server = invalid_socket_handle;
    if (!testing::loopback_pair(client, server, 5000)) {
        return {};
    }
    bytes hello;
    std::thread reader([&] {
        std::uint8_t header[5];
        if (recv_exact(server, header, 5) && header[0] == 22) {
            hello.resize((header[3] << 8) | header[4]);
            if (!recv_exact(server, hello.data(), static_cast<std::int32_t>(hello.size()))) {
                hello.clear();
            }
        }
        close_socket(server);
    });
    reality_io io;
    EXPECT_FALSE(io.connect(client, params, out_error));
    reader.join();
    return hello;
}

bool parse(hello_fields& h)
{
    byte_reader r(h.message);
    std::uint8_t type = 0;
    byte_reader body;
    std::uint16_t version = 0;
    byte_reader sid;
    byte_reader suites;
    byte_reader compression;
    byte_reader extensions;
    if (!r.read_u8(type) || type != 1 || !r.read_prefixed_u24(body) || !r.empty() || !body.read_u16(version) ||
        !body.read_bytes(32, h.random) || !body.read_prefixed_u8(sid) || sid.remaining() != 32 ||
        !body.read_prefixed_u16(suites) || !body.read_prefixed_u8(compression) || !body.read_prefixed_u16(extensions) ||
        !body.empty()) {
        return false;
    }
    h.session_id = sid.rest();
    while (!extensions.empty()) {
        std::uint16_t ext_type = 0;
        byte_reader ext;
        if (!extensions.read_u16(ext_type) || !extensions.read_prefixed_u16(ext)) {
            return false;
        }
        byte_reader shares;
        std::uint16_t group = 0;
        byte_reader key;
        // The plain X25519 share (the authentication key's), after GREASE and the hybrid share.
        if (ext_type == 0x0033 && ext.read_prefixed_u16(shares)) {
            while (shares.read_u16(group) && shares.read_prefixed_u16(key)) {
                if (group == 0x001D) {
                    h.key_share = key.rest();
                }
            }
        }
    }
    return h.key_share.size() == 32;
}

TEST(reality_io, client_hello_token_opens_with_the_zeroed_hello_and_nothing_repeats)
{
    reality_params params;
    params.server_name = "reality.test";
    params.public_key = x25519(node_private, x25519_bytes{9});
    params.short_id = {0xAB, 0xCD, 0, 0, 0, 0, 0, 1};

    hello_fields first;
    hello_fields second;
    std::u16string error;
    first.message = capture_client_hello(params, error);
    EXPECT_NE(error.find(u"closed the connection"), std::u16string::npos);
    second.message = capture_client_hello(params, error);
    ASSERT_TRUE(parse(first));
    ASSERT_TRUE(parse(second));
    EXPECT_FALSE(std::equal(first.random.begin(), first.random.end(), second.random.begin()));
    EXPECT_FALSE(std::equal(first.session_id.begin(), first.session_id.end(), second.session_id.begin()));
    EXPECT_FALSE(std::equal(first.key_share.begin(), first.key_share.end(), second.key_share.begin()));

    // What the server does: the shared key from its REALITY key, then open the session id.
    x25519_bytes client_share{};
    std::copy(first.key_share.begin(), first.key_share.end(), client_share.begin());
    const x25519_bytes shared = x25519(node_private, client_share);
    bytes auth;
    ASSERT_TRUE(hkdf_sha256(shared, first.random.first(20), as_bytes("REALITY"), 32, auth));
    bytes associated = first.message;
    const std::size_t sid_at = static_cast<std::size_t>(first.session_id.data() - first.message.data());
    std::fill(associated.begin() + static_cast<std::ptrdiff_t>(sid_at),
              associated.begin() + static_cast<std::ptrdiff_t>(sid_at + 32), 0);
    aes_gcm_key key;
    ASSERT_TRUE(key.create(auth));
    std::array<std::uint8_t, 12> nonce{};
    std::copy(first.random.begin() + 20, first.random.end(), nonce.begin());
    bytes token;
    ASSERT_TRUE(aes_gcm_open(key, nonce, first.session_id, associated, token));
    ASSERT_EQ(token.size(), 16u);
    EXPECT_EQ(bytes(token.begin(), token.begin() + 4), (bytes{26, 10, 10, 0}));
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    const std::int64_t stamped = (std::int64_t{token[4]} << 24) | (token[5] << 16) | (token[6] << 8) | token[7];
    EXPECT_LE(std::abs(now - stamped), 5);
    EXPECT_EQ(bytes(token.begin() + 8, token.end()), bytes(params.short_id.begin(), params.short_id.end()));
    // Associated data holding the token's plaintext instead of the zeros does not open it.
    bytes in_place = associated;
    std::copy(token.begin(), token.end(), in_place.begin() + static_cast<std::ptrdiff_t>(sid_at));
    bytes unused;
    EXPECT_FALSE(aes_gcm_open(key, nonce, first.session_id, in_place, unused));
}

}  // namespace
}  // namespace pelto
