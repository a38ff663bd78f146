#pragma once
// The one ClientHello the program sends to nodes: the shape of a current desktop browser's
// (GREASE in suites, groups, versions, signature algorithms, key shares and as first and last
// extension; the browser's suites and extensions, the extensions in a fresh random order on every
// connection; an X25519MLKEM768 hybrid share before a plain X25519 share; GREASE ECH).
//
// The builder only lays out bytes: the caller supplies the random, the session id and the public
// halves of the key shares, and keeps the private halves. All other per-connection randomness
// (GREASE values, extension order, the ECH GREASE payload) is drawn inside. The browser's tables
// (suites, groups, signature algorithms, the fixed extension bodies) live in browser_hello.cpp and
// nowhere else, so following a browser update is an edit there.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/bytes.h"
#include "crypto/ml_kem.h"

namespace pelto {

inline constexpr std::uint16_t tls_group_x25519 = 0x001D;
inline constexpr std::uint16_t tls_group_x25519_mlkem768 = 0x11EC;

// The hybrid share: the ML-KEM-768 encapsulation key, then an X25519 public key.
inline constexpr std::size_t x25519_mlkem768_client_share_size = ml_kem_768_encapsulation_key_size + 32;
// The server's hybrid share: the ML-KEM-768 ciphertext, then the server's X25519 public key.
inline constexpr std::size_t x25519_mlkem768_server_share_size = ml_kem_768_ciphertext_size + 32;

// Where the 32 session-id bytes start inside the handshake message (4-byte header, version,
// random, the id's length byte).
inline constexpr std::size_t client_hello_session_id_offset = 4 + 2 + 32 + 1;

struct browser_hello_input {
    std::string_view server_name;  // sent as given; empty leaves out server_name
    std::span<const std::uint8_t, 32> random;
    std::span<const std::uint8_t, 32> session_id;
    std::span<const std::uint8_t, ml_kem_768_encapsulation_key_size> mlkem_encapsulation_key;
    std::span<const std::uint8_t, 32> hybrid_x25519_public;  // a key of its own, not `x25519_public`
    std::span<const std::uint8_t, 32> x25519_public;
};

// Appends the ClientHello handshake message (with its 4-byte header, no record header) to `out`.
// False, with `out` unchanged, when the server name is longer than a host name may be (253) or
// the message would not fit one record.
bool build_browser_client_hello(const browser_hello_input& input, bytes& out);

// The 5-byte record header a browser puts before its first ClientHello (version 0x0301).
std::array<std::uint8_t, 5> client_hello_record_header(std::size_t message_size);

}  // namespace pelto
