#pragma once
// One TLS client connection over a registered socket, through the platform's TLS provider
// (Schannel through SSPI on Windows, OpenSSL's libssl over memory buffers on Linux).
//
// `connect` takes ownership of a connected socket and performs the handshake: TLS 1.2 or 1.3,
// the certificate verified against the system trust store and `server_name` (an IP literal is
// checked as an address and sent without SNI). It fails with an error text naming the status.
//
// After a successful connect, one thread may `recv` while others `send` and another `close`s.
// Each protected record is produced under the context lock and the send lock is taken before the
// context lock is released, so records leave the socket in the order they were produced, and a
// whole `send` goes out without another sender's records in between. The context lock is never
// held while waiting on the socket.
//
// `recv` returns 1..capacity plaintext bytes, or 0 for end of stream or any error. The end is
// remembered: once the peer has sent close_notify, a record failed, or the socket ended, every
// later `recv` returns 0 at once. `send` of length 0 is true without touching the socket; a
// negative length is false. `close` shuts the socket down at once (a blocked `recv` returns 0,
// a blocked `send` false); the handle itself is closed when the last call on it ends
// (net/socket_holder.h). No close_notify is sent. The destructor closes and frees everything.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "net/socket.h"

namespace pelto {

class tls_channel {
public:
    tls_channel();
    ~tls_channel();
    tls_channel(const tls_channel&) = delete;
    tls_channel& operator=(const tls_channel&) = delete;

    // Takes ownership of `connected_socket` (registered, from `tcp_connect` or `register_socket`)
    // whatever the outcome, and runs the handshake. `server_name` is UTF-8 (converted to UTF-16
    // inside the Windows backend). False with `out_error` set on failure; the socket is then
    // closed. Call once.
    bool connect(socket_handle connected_socket, std::string_view server_name,
                 std::u16string& out_error);

    bool send(const std::uint8_t* data, std::int32_t length);
    std::int32_t recv(std::uint8_t* buffer, std::int32_t capacity);

    // Shuts the socket down now; idempotent, callable from any thread.
    void close();

    // Protected bytes received from the socket but not yet decrypted (they start at a record
    // boundary), taken out of the channel. Only meaningful after every plaintext byte already
    // decrypted has been read; later `recv` calls do not see these bytes again. For a layer that
    // takes the connection over from the TLS provider.
    bytes take_undecrypted();
    // Plaintext already decrypted but not yet returned by `recv`, taken out of the channel.
    bytes take_decrypted();
    // The socket itself, without protection, once a layer above has taken the connection over
    // (after `take_decrypted`/`take_undecrypted` for reading). Same results as `send`/`recv`.
    bool send_unprotected(const std::uint8_t* data, std::int32_t length);
    std::int32_t recv_unprotected(std::uint8_t* buffer, std::int32_t capacity);

    // The negotiated protocol version as its wire number (0x0303 for TLS 1.2, 0x0304 for TLS 1.3),
    // or 0 before the handshake completed.
    std::uint16_t protocol_version() const;

    struct backend;  // per platform

private:
    std::unique_ptr<backend> backend_;
};

// Test hooks of the Windows backend (no effect on Linux): skip the current credential record and
// go straight to the older one that offers TLS 1.2 only, as on systems that refuse the newer
// record. Returns the previous setting.
bool tls_force_legacy_credentials_for_testing(bool force);
// Which credential record the last successful credential acquisition used: true for the older
// (TLS 1.2 only) one. Always false on Linux.
bool tls_last_credentials_were_legacy();

}  // namespace pelto
