#include "proxy/browser_hello.h"

#include <algorithm>

#include "crypto/random.h"

namespace pelto {
namespace {

// --- The browser's tables. A browser update is an edit of this block. ---------------------------

// After a GREASE suite.
constexpr std::uint16_t cipher_suites[] = {
    0x1301, 0x1302, 0x1303,                  // TLS 1.3: AES-128-GCM, AES-256-GCM, ChaCha20-Poly1305
    0xC02B, 0xC02F, 0xC02C, 0xC030,          // ECDHE ECDSA/RSA with AES-GCM
    0xCCA9, 0xCCA8,                          // ECDHE ECDSA/RSA with ChaCha20-Poly1305
    0xC013, 0xC014,                          // ECDHE RSA with AES-CBC
    0x009C, 0x009D, 0x002F, 0x0035,          // RSA key exchange
};

// After a GREASE group; the key shares are GREASE, then the first two of these.
constexpr std::uint16_t supported_groups[] = {tls_group_x25519_mlkem768, tls_group_x25519, 0x0017, 0x0018};

// After a GREASE scheme: ML-DSA-44/65/87, ECDSA P-256, RSA-PSS, RSA PKCS#1, P-384, ..., RSA SHA-512.
constexpr std::uint16_t signature_algorithms[] = {0x0904, 0x0905, 0x0906, 0x0403, 0x0804, 0x0401,
                                                  0x0503, 0x0805, 0x0501, 0x0806, 0x0601};

// After a GREASE version: TLS 1.3, TLS 1.2.
constexpr std::uint16_t supported_versions[] = {0x0304, 0x0303};

// Trust anchor identifiers the browser advertises (the same bytes on every connection).
constexpr std::uint8_t trust_anchor_ids[] = {
    0x00, 0xB8, 0x05, 0x82, 0xDF, 0x13, 0x02, 0x01, 0x05, 0x82, 0xDF, 0x13, 0x02, 0x06, 0x05, 0x82,
    0xDF, 0x13, 0x02, 0x0D, 0x05, 0x82, 0xDF, 0x13, 0x02, 0x0E, 0x05, 0x82, 0xDF, 0x13, 0x02, 0x0F,
    0x05, 0x82, 0xDF, 0x13, 0x02, 0x12, 0x05, 0x82, 0xDF, 0x13, 0x02, 0x13, 0x05, 0x82, 0xDF, 0x13,
    0x02, 0x14, 0x08, 0x83, 0x9A, 0x64, 0x8C, 0x9B, 0x2D, 0x01, 0x07, 0x08, 0x83, 0x9A, 0x64, 0x8C,
    0x9B, 0x2D, 0x01, 0x08, 0x08, 0x83, 0x9A, 0x64, 0x8C, 0x9B, 0x2D, 0x01, 0x09, 0x08, 0x83, 0x9A,
    0x64, 0x8C, 0x9B, 0x2D, 0x01, 0x0A, 0x08, 0x83, 0x9A, 0x64, 0x8C, 0x9B, 0x2D, 0x01, 0x0B, 0x08,
    0x83, 0x9A, 0x64, 0x8C, 0x9B, 0x2D, 0x01, 0x0C, 0x08, 0x83, 0x9A, 0x64, 0x8C, 0x9B, 0x2D, 0x01,
    0x0D, 0x08, 0x83, 0x9A, 0x64, 0x8C, 0x9B, 0x2D, 0x01, 0x12, 0x08, 0x83, 0x9A, 0x64, 0x8C, 0x9B,
    0x2D, 0x01, 0x13, 0x04, 0xD6, 0x79, 0x09, 0x01, 0x04, 0xD6, 0x79, 0x09, 0x04, 0x04, 0xD6, 0x79,
    0x09, 0x05, 0x04, 0xD6, 0x79, 0x09, 0x06, 0x04, 0xD6, 0x79, 0x09, 0x07, 0x04, 0xD6, 0x79, 0x09,
    0x08, 0x04, 0xD6, 0x79, 0x09, 0x0A, 0x04, 0xD6, 0x79, 0x09, 0x0B, 0x04, 0xD6, 0x79, 0x09, 0x0C,
    0x04, 0xD6, 0x79, 0x09, 0x0D, 0x04, 0xD6, 0x79, 0x09, 0x0F,
};

// GREASE ECH: an outer hello for HKDF-SHA256 / AES-128-GCM whose payload is 128 to 224 bytes in
// steps of 32, plus the AEAD tag, drawn per connection.
constexpr std::size_t ech_payload_steps_min = 4;
constexpr std::size_t ech_payload_steps_max = 7;
constexpr std::size_t ech_payload_step = 32;
constexpr std::size_t ech_tag_size = 16;

enum class extension : std::uint16_t {
    server_name = 0x0000,
    status_request = 0x0005,
    supported_groups = 0x000A,
    ec_point_formats = 0x000B,
    signature_algorithms = 0x000D,
    alpn = 0x0010,
    signed_certificate_timestamp = 0x0012,
    extended_master_secret = 0x0017,
    compress_certificate = 0x001B,
    session_ticket = 0x0023,
    supported_versions = 0x002B,
    psk_key_exchange_modes = 0x002D,
    key_share = 0x0033,
    application_settings = 0x44CD,
    trust_anchors = 0xCA34,
    encrypted_client_hello = 0xFE0D,
    renegotiation_info = 0xFF01,
};

// The extensions between the two GREASE ones, shuffled per connection.
constexpr extension shuffled_extensions[] = {
    extension::server_name,          extension::status_request,
    extension::supported_groups,     extension::ec_point_formats,
    extension::signature_algorithms, extension::alpn,
    extension::signed_certificate_timestamp, extension::extended_master_secret,
    extension::compress_certificate, extension::session_ticket,
    extension::supported_versions,   extension::psk_key_exchange_modes,
    extension::key_share,            extension::application_settings,
    extension::trust_anchors,        extension::encrypted_client_hello,
    extension::renegotiation_info,
};

// --- Layout. -----------------------------------------------------------------------------------

constexpr std::size_t max_host_name = 253;

// The GREASE values drawn for one hello (RFC 8701): 0x?A?A.
struct grease_values {
    std::uint16_t suite;
    std::uint16_t group;  // also the GREASE key share
    std::uint16_t signature;
    std::uint16_t version;
    std::uint16_t first_extension;
    std::uint16_t last_extension;  // never equal to the first
};

std::uint16_t grease_from(std::uint8_t r)
{
    const std::uint16_t nibble = (r & 0xF0) | 0x0A;
    return static_cast<std::uint16_t>(nibble << 8 | nibble);
}

// The hello's random draws (GREASE, the shuffle, the ECH fields) taken from one block of system
// randomness, refilled when used up: a handful of system calls per hello, not one per draw.
class random_pool {
public:
    random_pool() = default;
    random_pool(const random_pool&) = delete;
    random_pool& operator=(const random_pool&) = delete;
    ~random_pool() { secure_zero(block_.data(), block_.size()); }

    void fill(std::span<std::uint8_t> out)
    {
        for (std::size_t done = 0; done < out.size();) {
            if (used_ == block_.size()) {
                random_bytes(block_);
                used_ = 0;
            }
            const std::size_t n = std::min(out.size() - done, block_.size() - used_);
            std::copy_n(block_.begin() + static_cast<std::ptrdiff_t>(used_), n, out.begin() + static_cast<std::ptrdiff_t>(done));
            used_ += n;
            done += n;
        }
    }

private:
    std::array<std::uint8_t, 512> block_{};
    std::size_t used_ = block_.size();
};

grease_values draw_grease(random_pool& pool)
{
    std::array<std::uint8_t, 6> r{};
    pool.fill(r);
    grease_values g{grease_from(r[0]), grease_from(r[1]), grease_from(r[2]),
                    grease_from(r[3]), grease_from(r[4]), grease_from(r[5])};
    if (g.last_extension == g.first_extension) {
        g.last_extension ^= 0x1010;
    }
    return g;
}

// A uniform index below `bound` (bound ≤ 256) from rejection sampling.
std::size_t random_below(random_pool& pool, std::size_t bound)
{
    const std::size_t limit = 256 - 256 % bound;
    for (;;) {
        std::uint8_t r = 0;
        pool.fill(std::span<std::uint8_t>(&r, 1));
        if (r < limit) {
            return r % bound;
        }
    }
}

struct hello_context {
    const browser_hello_input& input;
    const grease_values& grease;
    random_pool& random;
};

void write_extension_body(byte_writer& w, extension type, const hello_context& c)
{
    switch (type) {
    case extension::server_name: {
        auto list = w.prefixed_u16();
        w.u8(0);  // host_name
        auto name = w.prefixed_u16();
        w.append(c.input.server_name);
        break;
    }
    case extension::status_request:
        w.u8(1);   // OCSP
        w.u16(0);  // no responder ids
        w.u16(0);  // no request extensions
        break;
    case extension::supported_groups: {
        auto list = w.prefixed_u16();
        w.u16(c.grease.group);
        for (std::uint16_t group : supported_groups) {
            w.u16(group);
        }
        break;
    }
    case extension::ec_point_formats: {
        auto list = w.prefixed_u8();
        w.u8(0);  // uncompressed
        break;
    }
    case extension::signature_algorithms: {
        auto list = w.prefixed_u16();
        w.u16(c.grease.signature);
        for (std::uint16_t scheme : signature_algorithms) {
            w.u16(scheme);
        }
        break;
    }
    case extension::alpn: {
        auto list = w.prefixed_u16();
        for (std::string_view protocol : {std::string_view("h2"), std::string_view("http/1.1")}) {
            auto name = w.prefixed_u8();
            w.append(protocol);
        }
        break;
    }
    case extension::compress_certificate: {
        auto list = w.prefixed_u8();
        w.u16(2);  // brotli
        break;
    }
    case extension::supported_versions: {
        auto list = w.prefixed_u8();
        w.u16(c.grease.version);
        for (std::uint16_t version : supported_versions) {
            w.u16(version);
        }
        break;
    }
    case extension::psk_key_exchange_modes: {
        auto list = w.prefixed_u8();
        w.u8(1);  // psk_dhe_ke
        break;
    }
    case extension::key_share: {
        auto shares = w.prefixed_u16();
        w.u16(c.grease.group);
        {
            auto key = w.prefixed_u16();
            w.u8(0);
        }
        w.u16(tls_group_x25519_mlkem768);
        {
            auto key = w.prefixed_u16();
            w.append(c.input.mlkem_encapsulation_key);
            w.append(c.input.hybrid_x25519_public);
        }
        w.u16(tls_group_x25519);
        {
            auto key = w.prefixed_u16();
            w.append(c.input.x25519_public);
        }
        break;
    }
    case extension::application_settings: {
        auto list = w.prefixed_u16();
        auto name = w.prefixed_u8();
        w.append(std::string_view("h2"));
        break;
    }
    case extension::trust_anchors:
        w.append(trust_anchor_ids);
        break;
    case extension::encrypted_client_hello: {
        std::array<std::uint8_t, 1 + 32> config_and_enc{};
        c.random.fill(config_and_enc);
        w.u8(0);       // outer ClientHello
        w.u16(0x0001);  // HKDF-SHA256
        w.u16(0x0001);  // AES-128-GCM
        w.u8(config_and_enc[0]);
        {
            auto enc = w.prefixed_u16();
            w.append(byte_span(config_and_enc).subspan(1));
        }
        const std::size_t steps = ech_payload_steps_min + random_below(c.random, ech_payload_steps_max - ech_payload_steps_min + 1);
        bytes payload(steps * ech_payload_step + ech_tag_size);
        c.random.fill(payload);
        auto body = w.prefixed_u16();
        w.append(payload);
        break;
    }
    case extension::renegotiation_info:
        w.u8(0);  // empty renegotiated_connection
        break;
    case extension::signed_certificate_timestamp:
    case extension::extended_master_secret:
    case extension::session_ticket:
        break;  // empty
    }
}

}  // namespace

bool build_browser_client_hello(const browser_hello_input& input, bytes& out)
{
    if (input.server_name.size() > max_host_name) {
        return false;
    }
    random_pool pool;
    const grease_values grease = draw_grease(pool);
    const hello_context context{input, grease, pool};

    std::array<extension, std::size(shuffled_extensions)> order{};
    std::copy(std::begin(shuffled_extensions), std::end(shuffled_extensions), order.begin());
    for (std::size_t i = order.size() - 1; i > 0; --i) {
        std::swap(order[i], order[random_below(pool, i + 1)]);
    }

    bytes message;
    byte_writer w(message);
    w.u8(1);  // ClientHello
    {
        auto body = w.prefixed_u24();
        w.u16(0x0303);  // legacy version
        w.append(input.random);
        {
            auto id = w.prefixed_u8();
            w.append(input.session_id);
        }
        {
            auto suites = w.prefixed_u16();
            w.u16(grease.suite);
            for (std::uint16_t suite : cipher_suites) {
                w.u16(suite);
            }
        }
        {
            auto compression = w.prefixed_u8();
            w.u8(0);  // null
        }
        auto extensions = w.prefixed_u16();
        w.u16(grease.first_extension);
        w.u16(0);
        for (extension type : order) {
            if (type == extension::server_name && input.server_name.empty()) {
                continue;
            }
            w.u16(static_cast<std::uint16_t>(type));
            auto body_scope = w.prefixed_u16();
            write_extension_body(w, type, context);
        }
        w.u16(grease.last_extension);
        {
            auto last = w.prefixed_u16();
            w.u8(0);
        }
    }
    if (!w.ok() || message.size() > 16384) {
        return false;
    }
    out.insert(out.end(), message.begin(), message.end());
    return true;
}

std::array<std::uint8_t, 5> client_hello_record_header(std::size_t message_size)
{
    return {22, 0x03, 0x01, static_cast<std::uint8_t>(message_size >> 8), static_cast<std::uint8_t>(message_size)};
}

}  // namespace pelto
