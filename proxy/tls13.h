#pragma once
// The pieces of a TLS 1.3 client (RFC 8446) that the REALITY layer is built from: the key
// schedule, one direction's record protection, and the record header and inner-plaintext codecs,
// for the three TLS 1.3 suites (AES-128-GCM and ChaCha20-Poly1305 with SHA-256, AES-256-GCM with
// SHA-384). Pure computation; no sockets.
//
// `tls13_key_schedule` walks early → handshake → master secret, keeps the running transcript
// hash, and hands out traffic secrets by RFC label. Until `select_suite` the transcript is kept
// for both hashes (the ClientHello goes in before the server has chosen); afterwards only for
// the suite's. Every secret it holds is wiped when it is destroyed. Each step returns false on a
// provider failure; the schedule is then unusable.
//
// `tls13_record_cipher` is one direction: the suite's AEAD key, the 12-byte IV and the sequence
// number. `install` derives key and IV from a traffic secret (sequence 0); `update` applies the
// KeyUpdate step (RFC 8446 §7.2) to the kept secret and installs the result.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/bytes.h"
#include "crypto/aes_gcm.h"
#include "crypto/chacha20_poly1305.h"
#include "crypto/hmac.h"
#include "crypto/sha256.h"
#include "crypto/sha512.h"

namespace pelto {

enum class tls13_suite : std::uint16_t {
    aes_128_gcm_sha256 = 0x1301,
    aes_256_gcm_sha384 = 0x1302,
    chacha20_poly1305_sha256 = 0x1303,
};

// The suite for a ServerHello's cipher_suite value; false for anything but the three above.
bool tls13_suite_from_wire(std::uint16_t value, tls13_suite& out);
hash_algorithm tls13_suite_hash(tls13_suite suite);

// A secret or a transcript digest of the suite's hash: 32 bytes for SHA-256, 48 for SHA-384.
// Iterates over its `size()` bytes only; wiped when destroyed.
class tls13_secret {
public:
    static constexpr std::size_t max_size = 48;

    tls13_secret() = default;
    explicit tls13_secret(std::size_t size) : size_(size <= max_size ? size : max_size) {}
    tls13_secret(const tls13_secret& other) = default;
    tls13_secret& operator=(const tls13_secret& other) = default;
    ~tls13_secret() { wipe(); }

    std::uint8_t operator[](std::size_t i) const { return bytes_[i]; }
    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return size_; }
    std::uint8_t* begin() { return bytes_.data(); }
    std::uint8_t* end() { return bytes_.data() + size_; }
    const std::uint8_t* begin() const { return bytes_.data(); }
    const std::uint8_t* end() const { return bytes_.data() + size_; }
    operator byte_span() const { return byte_span(bytes_.data(), size_); }
    std::span<std::uint8_t> span() { return std::span<std::uint8_t>(bytes_.data(), size_); }
    void wipe() { secure_zero(bytes_.data(), bytes_.size()); }

private:
    std::array<std::uint8_t, max_size> bytes_{};
    std::size_t size_ = 32;
};

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
    tls13_key_schedule() : transcript384_(sha512_state::variant::sha384) {}
    ~tls13_key_schedule();
    tls13_key_schedule(const tls13_key_schedule&) = delete;
    tls13_key_schedule& operator=(const tls13_key_schedule&) = delete;

    // Fixes the suite (and with it the hash) once the ServerHello names it; SHA-256 until then.
    void select_suite(tls13_suite suite);
    tls13_suite suite() const { return suite_; }
    hash_algorithm hash() const { return tls13_suite_hash(suite_); }

    // Adds one handshake message (with its 4-byte header) to the transcript.
    void add_message(byte_span message);
    tls13_secret transcript_hash() const;

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

    // HMAC(finished key of `traffic_secret`, transcript hash): the Finished verify data, of the
    // hash the secret's size names.
    static bool finished_verify_data(const tls13_secret& traffic_secret, byte_span transcript, tls13_secret& out);

private:
    tls13_suite suite_ = tls13_suite::aes_128_gcm_sha256;
    bool suite_selected_ = false;
    sha256_state transcript_;
    sha512_state transcript384_;
    tls13_secret handshake_{};
    tls13_secret master_{};
    tls13_secret client_handshake_{};
    tls13_secret server_handshake_{};
    tls13_secret client_application_{};
    tls13_secret server_application_{};
};

// Derive-Secret(secret, label, transcript hash) of RFC 8446 §7.1, with the hash the secret's size
// names (48 bytes: SHA-384); `out` takes the secret's size.
bool tls13_derive_secret(const tls13_secret& secret, std::string_view label, byte_span hash, tls13_secret& out);

class tls13_record_cipher {
public:
    tls13_record_cipher() = default;
    ~tls13_record_cipher();
    tls13_record_cipher(const tls13_record_cipher&) = delete;
    tls13_record_cipher& operator=(const tls13_record_cipher&) = delete;

    // Derives the suite's key and IV from `traffic_secret` (whose size must match the suite's hash).
    bool install(const tls13_secret& traffic_secret, tls13_suite suite = tls13_suite::aes_128_gcm_sha256);
    // The next traffic secret ("traffic upd"), installed with sequence 0.
    bool update();
    bool ready() const { return ready_; }
    std::uint64_t sequence() const { return sequence_; }

    // Appends one protected record: header (type 23, version 0x0303, length), then
    // AEAD(`content` || `inner_type`) with the header as associated data. `content` is at most
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

    bool seal_into(std::span<const std::uint8_t, aes_gcm_nonce_size> nonce, byte_span plaintext, byte_span header,
                   std::span<std::uint8_t> out);
    bool open_in_place(std::span<const std::uint8_t, aes_gcm_nonce_size> nonce, std::span<std::uint8_t> sealed,
                       byte_span header);

    tls13_suite suite_ = tls13_suite::aes_128_gcm_sha256;
    aes_gcm_key aes_;
    chacha20_poly1305_key chacha_;
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
