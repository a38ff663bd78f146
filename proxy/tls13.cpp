#include "proxy/tls13.h"

#include <cstring>

#include "base/obfuscated.h"
#include "crypto/hmac.h"

namespace pelto {
namespace {

bool expand_into(const tls13_secret& secret, std::string_view label, byte_span context,
                 std::span<std::uint8_t> out)
{
    bytes expanded;
    if (!hkdf_expand_label(secret, label, context, out.size(), expanded) || expanded.size() != out.size()) {
        secure_zero(expanded);
        return false;
    }
    std::memcpy(out.data(), expanded.data(), out.size());
    secure_zero(expanded);
    return true;
}

}  // namespace

bool tls13_derive_secret(const tls13_secret& secret, std::string_view label, const sha256_digest& hash,
                         tls13_secret& out)
{
    return expand_into(secret, label, hash, out);
}

tls13_key_schedule::~tls13_key_schedule()
{
    for (tls13_secret* s : {&handshake_, &master_, &client_handshake_, &server_handshake_, &client_application_,
                            &server_application_}) {
        secure_zero(s->data(), s->size());
    }
}

bool tls13_key_schedule::derive_handshake_secrets(byte_span shared_secret)
{
    const tls13_secret zeros{};
    const sha256_digest empty_hash = sha256({});
    tls13_secret early{};
    tls13_secret derived{};
    const bool ok = hkdf_extract_sha256(zeros, zeros, early) &&
                    tls13_derive_secret(early, PELTO_TEXT("derived").view(), empty_hash, derived) &&
                    hkdf_extract_sha256(derived, shared_secret, handshake_);
    secure_zero(early.data(), early.size());
    secure_zero(derived.data(), derived.size());
    if (!ok) {
        return false;
    }
    const sha256_digest hello_hash = transcript_hash();
    return tls13_derive_secret(handshake_, PELTO_TEXT("c hs traffic").view(), hello_hash, client_handshake_) &&
           tls13_derive_secret(handshake_, PELTO_TEXT("s hs traffic").view(), hello_hash, server_handshake_);
}

bool tls13_key_schedule::derive_application_secrets()
{
    const tls13_secret zeros{};
    tls13_secret derived{};
    const bool ok = tls13_derive_secret(handshake_, PELTO_TEXT("derived").view(), sha256({}), derived) &&
                    hkdf_extract_sha256(derived, zeros, master_);
    secure_zero(derived.data(), derived.size());
    if (!ok) {
        return false;
    }
    const sha256_digest hash = transcript_hash();
    return tls13_derive_secret(master_, PELTO_TEXT("c ap traffic").view(), hash, client_application_) &&
           tls13_derive_secret(master_, PELTO_TEXT("s ap traffic").view(), hash, server_application_);
}

bool tls13_key_schedule::finished_verify_data(const tls13_secret& traffic_secret, const sha256_digest& transcript,
                                              tls13_secret& out)
{
    tls13_secret finished_key{};
    const bool ok = expand_into(traffic_secret, PELTO_TEXT("finished").view(), {}, finished_key) &&
                    hmac(hash_algorithm::sha256, finished_key, transcript, out);
    secure_zero(finished_key.data(), finished_key.size());
    return ok;
}

tls13_record_cipher::~tls13_record_cipher()
{
    secure_zero(secret_.data(), secret_.size());
    secure_zero(iv_.data(), iv_.size());
}

bool tls13_record_cipher::install(const tls13_secret& traffic_secret)
{
    ready_ = false;
    std::array<std::uint8_t, 16> key{};
    const bool ok = expand_into(traffic_secret, PELTO_TEXT("key").view(), {}, key) &&
                    expand_into(traffic_secret, PELTO_TEXT("iv").view(), {}, iv_) && key_.create(key);
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
    tls13_secret next{};
    const bool ok = expand_into(secret_, PELTO_TEXT("traffic upd").view(), {}, next);
    secret_ = next;
    secure_zero(next.data(), next.size());
    return ok ? install(secret_) : (ready_ = false);
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
    if (!aes_gcm_seal_into(key_, nonce, byte_span(text, content.size() + 1), byte_span(header, tls_record_header_size),
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
    if (!aes_gcm_open_in_place(key_, nonce, body, header)) {
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
