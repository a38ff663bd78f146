#include "proxy/tls13.h"

#include <cstring>

#include "base/obfuscated.h"
#include "crypto/hmac.h"

namespace pelto {
namespace {

hash_algorithm hash_of_size(std::size_t size)
{
    return size == 48 ? hash_algorithm::sha384 : hash_algorithm::sha256;
}

bool expand_into(const tls13_secret& secret, std::string_view label, byte_span context,
                 std::span<std::uint8_t> out)
{
    bytes expanded;
    if (!hkdf_expand_label(hash_of_size(secret.size()), secret, label, context, out.size(), expanded) ||
        expanded.size() != out.size()) {
        secure_zero(expanded);
        return false;
    }
    std::memcpy(out.data(), expanded.data(), out.size());
    secure_zero(expanded);
    return true;
}

// The digest of whichever running hash `hash` names.
tls13_secret digest_of(hash_algorithm hash, const sha256_state& sha256_hash, const sha512_state& sha384_hash)
{
    tls13_secret out(hmac_size(hash));
    if (hash == hash_algorithm::sha384) {
        const sha384_digest d = sha384_hash.final384();
        std::memcpy(out.data(), d.data(), d.size());
    } else {
        const sha256_digest d = sha256_hash.final();
        std::memcpy(out.data(), d.data(), d.size());
    }
    return out;
}

// Hash(""), for the "derived" steps.
tls13_secret empty_hash(hash_algorithm hash)
{
    return digest_of(hash, sha256_state(), sha512_state(sha512_state::variant::sha384));
}

bool extract(hash_algorithm hash, byte_span salt, byte_span input_key, tls13_secret& out)
{
    out = tls13_secret(hmac_size(hash));
    return hkdf_extract(hash, salt, input_key, out.span());
}

}  // namespace

bool tls13_suite_from_wire(std::uint16_t value, tls13_suite& out)
{
    switch (value) {
    case 0x1301:
    case 0x1302:
    case 0x1303:
        out = static_cast<tls13_suite>(value);
        return true;
    default:
        return false;
    }
}

hash_algorithm tls13_suite_hash(tls13_suite suite)
{
    return suite == tls13_suite::aes_256_gcm_sha384 ? hash_algorithm::sha384 : hash_algorithm::sha256;
}

bool tls13_derive_secret(const tls13_secret& secret, std::string_view label, byte_span hash, tls13_secret& out)
{
    out = tls13_secret(secret.size());
    return expand_into(secret, label, hash, out.span());
}

void tls13_key_schedule::select_suite(tls13_suite suite)
{
    suite_ = suite;
    suite_selected_ = true;
}

void tls13_key_schedule::add_message(byte_span message)
{
    const bool sha384 = hash() == hash_algorithm::sha384;
    if (!suite_selected_ || !sha384) {
        transcript_.update(message);
    }
    if (!suite_selected_ || sha384) {
        transcript384_.update(message);
    }
}

tls13_secret tls13_key_schedule::transcript_hash() const
{
    return digest_of(hash(), transcript_, transcript384_);
}

tls13_key_schedule::~tls13_key_schedule()
{
    for (tls13_secret* s : {&handshake_, &master_, &client_handshake_, &server_handshake_, &client_application_,
                            &server_application_}) {
        s->wipe();
    }
}

bool tls13_key_schedule::derive_handshake_secrets(byte_span shared_secret)
{
    const tls13_secret zeros(hmac_size(hash()));
    tls13_secret early;
    tls13_secret derived;
    const bool ok = extract(hash(), zeros, zeros, early) &&
                    tls13_derive_secret(early, PELTO_TEXT("derived").view(), empty_hash(hash()), derived) &&
                    extract(hash(), derived, shared_secret, handshake_);
    if (!ok) {
        return false;
    }
    const tls13_secret hello_hash = transcript_hash();
    return tls13_derive_secret(handshake_, PELTO_TEXT("c hs traffic").view(), hello_hash, client_handshake_) &&
           tls13_derive_secret(handshake_, PELTO_TEXT("s hs traffic").view(), hello_hash, server_handshake_);
}

bool tls13_key_schedule::derive_application_secrets()
{
    const tls13_secret zeros(hmac_size(hash()));
    tls13_secret derived;
    const bool ok = tls13_derive_secret(handshake_, PELTO_TEXT("derived").view(), empty_hash(hash()), derived) &&
                    extract(hash(), derived, zeros, master_);
    if (!ok) {
        return false;
    }
    const tls13_secret transcript = transcript_hash();
    return tls13_derive_secret(master_, PELTO_TEXT("c ap traffic").view(), transcript, client_application_) &&
           tls13_derive_secret(master_, PELTO_TEXT("s ap traffic").view(), transcript, server_application_);
}

bool tls13_key_schedule::finished_verify_data(const tls13_secret& traffic_secret, byte_span transcript,
                                              tls13_secret& out)
{
    tls13_secret finished_key(traffic_secret.size());
    out = tls13_secret(traffic_secret.size());
    return expand_into(traffic_secret, PELTO_TEXT("finished").view(), {}, finished_key.span()) &&
           hmac(hash_of_size(traffic_secret.size()), finished_key, transcript, out.span());
}

tls13_record_cipher::~tls13_record_cipher()
{
    secure_zero(iv_.data(), iv_.size());
}

bool tls13_record_cipher::install(const tls13_secret& traffic_secret, tls13_suite suite)
{
    ready_ = false;
    if (traffic_secret.size() != hmac_size(tls13_suite_hash(suite))) {
        return false;
    }
    suite_ = suite;
    std::array<std::uint8_t, 32> key{};
    const std::size_t key_size = suite == tls13_suite::aes_128_gcm_sha256 ? 16 : 32;
    const std::span<std::uint8_t> key_bytes(key.data(), key_size);
    bool ok = expand_into(traffic_secret, PELTO_TEXT("key").view(), {}, key_bytes) &&
              expand_into(traffic_secret, PELTO_TEXT("iv").view(), {}, iv_);
    ok = ok && (suite == tls13_suite::chacha20_poly1305_sha256 ? chacha_.create(key_bytes) : aes_.create(key_bytes));
    secure_zero(key.data(), key.size());
    if (!ok) {
        return false;
    }
    if (&traffic_secret != &secret_) {
        secret_ = traffic_secret;
    }
    sequence_ = 0;
    ready_ = true;
    return true;
}

bool tls13_record_cipher::update()
{
    if (!ready_) {
        return false;
    }
    tls13_secret next(secret_.size());
    const bool ok = expand_into(secret_, PELTO_TEXT("traffic upd").view(), {}, next.span());
    secret_ = next;
    return ok ? install(secret_, suite_) : (ready_ = false);
}

bool tls13_record_cipher::seal_into(std::span<const std::uint8_t, aes_gcm_nonce_size> nonce, byte_span plaintext,
                                    byte_span header, std::span<std::uint8_t> out)
{
    return suite_ == tls13_suite::chacha20_poly1305_sha256
               ? chacha20_poly1305_seal_into(chacha_, nonce, plaintext, header, out)
               : aes_gcm_seal_into(aes_, nonce, plaintext, header, out);
}

bool tls13_record_cipher::open_in_place(std::span<const std::uint8_t, aes_gcm_nonce_size> nonce,
                                        std::span<std::uint8_t> sealed, byte_span header)
{
    return suite_ == tls13_suite::chacha20_poly1305_sha256 ? chacha20_poly1305_open_in_place(chacha_, nonce, sealed, header)
                                                          : aes_gcm_open_in_place(aes_, nonce, sealed, header);
}

std::array<std::uint8_t, aes_gcm_nonce_size> tls13_record_cipher::next_nonce() const
{
    std::array<std::uint8_t, aes_gcm_nonce_size> nonce = iv_;
    for (int i = 0; i < 8; ++i) {
        nonce[aes_gcm_nonce_size - 1 - i] ^= static_cast<std::uint8_t>(sequence_ >> (8 * i));
    }
    return nonce;
}

bool tls13_record_cipher::seal(std::uint8_t inner_type, byte_span content, bytes& out)
{
    if (!ready_ || content.size() > tls_max_plaintext) {
        return false;
    }
    const std::size_t start = out.size();
    const std::size_t body = content.size() + 1 + aes_gcm_tag_size;
    out.resize(start + tls_record_header_size + body);
    std::uint8_t* header = out.data() + start;
    header[0] = tls_type_application_data;
    header[1] = 0x03;
    header[2] = 0x03;
    header[3] = static_cast<std::uint8_t>(body >> 8);
    header[4] = static_cast<std::uint8_t>(body);
    std::uint8_t* text = header + tls_record_header_size;
    if (!content.empty()) {
        std::memmove(text, content.data(), content.size());
    }
    text[content.size()] = inner_type;
    const auto nonce = next_nonce();
    if (!seal_into(nonce, byte_span(text, content.size() + 1), byte_span(header, tls_record_header_size),
                   std::span<std::uint8_t>(text, body))) {
        out.resize(start);
        return false;
    }
    ++sequence_;
    return true;
}

bool tls13_record_cipher::open(std::span<const std::uint8_t, tls_record_header_size> header,
                               std::span<std::uint8_t> body, std::uint8_t& out_inner_type,
                               std::span<std::uint8_t>& out_content)
{
    if (!ready_ || body.size() < aes_gcm_tag_size) {
        return false;
    }
    const auto nonce = next_nonce();
    if (!open_in_place(nonce, body, header)) {
        return false;
    }
    ++sequence_;
    std::size_t n = body.size() - aes_gcm_tag_size;
    while (n > 0 && body[n - 1] == 0) {
        --n;
    }
    if (n == 0) {
        return false;  // all padding: no content type
    }
    out_inner_type = body[n - 1];
    out_content = body.first(n - 1);
    return true;
}

bool tls_parse_record_header(byte_span data, tls_record_header& out)
{
    byte_reader reader(data);
    tls_record_header header;
    if (!reader.read_u8(header.type) || !reader.read_u16(header.version) || !reader.read_u16(header.length)) {
        return false;
    }
    out = header;
    return true;
}

}  // namespace pelto
