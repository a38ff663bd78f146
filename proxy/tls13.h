#pragma once
// The pieces of a TLS 1.3 client (RFC 8446) with the single suite TLS_AES_128_GCM_SHA256 that the
// REALITY layer is built from: the key schedule, one direction's record protection, and the
// record header and inner-plaintext codecs. Pure computation; no sockets.
//
// `tls13_key_schedule` walks early → handshake → master secret, keeps the running transcript
// hash, and hands out traffic secrets by RFC label. Every secret it holds is wiped when it is
// destroyed. Each step returns false on a provider failure; the schedule is then unusable.
//
// `tls13_record_cipher` is one direction: the AES-128-GCM key, the 12-byte IV and the sequence
// number. `install` derives key and IV from a traffic secret (sequence 0); `update` applies the
// KeyUpdate step (RFC 8446 §7.2) to the kept secret and installs the result.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/bytes.h"
#include "crypto/aes_gcm.h"
#include "crypto/sha256.h"

namespace pelto {

using tls13_secret = std::array<std::uint8_t, 32>;

inline constexpr std::uint8_t tls_type_change_cipher_spec = 20;
inline constexpr std::uint8_t tls_type_alert = 21;
inline constexpr std::uint8_t tls_type_handshake = 22;
inline constexpr std::uint8_t tls_type_application_data = 23;

inline constexpr std::size_t tls_record_header_size = 5;
inline constexpr std::size_t tls_max_plaintext = 16384;
// A protected record's body: at least the inner type and the tag, at most 2^14 + 256.
inline constexpr std::size_t tls13_min_protected = 1 + aes_gcm_tag_size;
inline constexpr std::size_t tls13_max_protected = 16384 + 256;

class tls13_key_schedule {
public:
    tls13_key_schedule() = default;
    ~tls13_key_schedule();
    tls13_key_schedule(const tls13_key_schedule&) = delete;
    tls13_key_schedule& operator=(const tls13_key_schedule&) = delete;

    // Adds one handshake message (with its 4-byte header) to the transcript.
    void add_message(byte_span message) { transcript_.update(message); }
    sha256_digest transcript_hash() const { return transcript_.final(); }

    // Early secret from no PSK, then the handshake secret from the (EC)DHE shared secret, and the
    // two handshake traffic secrets over the transcript so far (ClientHello, ServerHello).
    bool derive_handshake_secrets(byte_span shared_secret);
    // The master secret and the two application traffic secrets over the transcript so far
    // (through the server Finished).
    bool derive_application_secrets();

    const tls13_secret& client_handshake_secret() const { return client_handshake_; }
    const tls13_secret& server_handshake_secret() const { return server_handshake_; }
    const tls13_secret& client_application_secret() const { return client_application_; }
    const tls13_secret& server_application_secret() const { return server_application_; }
    const tls13_secret& handshake_secret() const { return handshake_; }
    const tls13_secret& master_secret() const { return master_; }

    // HMAC(finished key of `traffic_secret`, transcript hash): the Finished verify data.
    static bool finished_verify_data(const tls13_secret& traffic_secret, const sha256_digest& transcript,
                                     tls13_secret& out);

private:
    sha256_state transcript_;
    tls13_secret handshake_{};
    tls13_secret master_{};
    tls13_secret client_handshake_{};
    tls13_secret server_handshake_{};
    tls13_secret client_application_{};
    tls13_secret server_application_{};
};

// Derive-Secret(secret, label, transcript hash) of RFC 8446 §7.1.
bool tls13_derive_secret(const tls13_secret& secret, std::string_view label, const sha256_digest& hash,
                         tls13_secret& out);

class tls13_record_cipher {
public:
    tls13_record_cipher() = default;
    ~tls13_record_cipher();
    tls13_record_cipher(const tls13_record_cipher&) = delete;
    tls13_record_cipher& operator=(const tls13_record_cipher&) = delete;

    bool install(const tls13_secret& traffic_secret);
    // The next traffic secret ("traffic upd"), installed with sequence 0.
    bool update();
    bool ready() const { return ready_; }
    std::uint64_t sequence() const { return sequence_; }

    // Appends one protected record: header (type 23, version 0x0303, length), then
    // AES-GCM(`content` || `inner_type`) with the header as associated data. `content` is at most
    // 16384 bytes. False on a missing key or a provider failure (`out` then unchanged in size).
    bool seal(std::uint8_t inner_type, byte_span content, bytes& out);

    // Opens a type-23 record in place: `header` is its 5 bytes, `body` its protected body. On
    // success `out_content` views the content inside `body` (padding and inner type removed) and
    // `out_inner_type` is the inner type. Fails on a wrong tag, a body of no non-zero byte, or a
    // missing key.
    bool open(std::span<const std::uint8_t, tls_record_header_size> header, std::span<std::uint8_t> body,
              std::uint8_t& out_inner_type, std::span<std::uint8_t>& out_content);

    const tls13_secret& secret() const { return secret_; }

private:
    std::array<std::uint8_t, aes_gcm_nonce_size> next_nonce() const;

    aes_gcm_key key_;
    std::array<std::uint8_t, aes_gcm_nonce_size> iv_{};
    tls13_secret secret_{};
    std::uint64_t sequence_ = 0;
    bool ready_ = false;
};

struct tls_record_header {
    std::uint8_t type = 0;
    std::uint16_t version = 0;
    std::uint16_t length = 0;
};

// Parses 5 header bytes. Never fails on content: the caller checks type and length.
bool tls_parse_record_header(byte_span data, tls_record_header& out);

}  // namespace pelto
