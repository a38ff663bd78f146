#include "proxy/reality_io.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "base/obfuscated.h"
#include "crypto/hmac.h"
#include "crypto/ml_kem.h"
#include "crypto/random.h"
#include "crypto/x25519.h"
#include "proxy/browser_hello.h"
#include "proxy/reality_cert.h"

namespace pelto {
namespace {

constexpr std::uint16_t tls13_version = 0x0304;
constexpr std::uint16_t ext_supported_versions = 0x002B;
constexpr std::uint16_t ext_key_share = 0x0033;

constexpr std::uint8_t msg_server_hello = 2;
constexpr std::uint8_t msg_new_session_ticket = 4;
constexpr std::uint8_t msg_encrypted_extensions = 8;
constexpr std::uint8_t msg_certificate = 11;
constexpr std::uint8_t msg_certificate_verify = 15;
constexpr std::uint8_t msg_finished = 20;
constexpr std::uint8_t msg_key_update = 24;

// The ServerHello random that marks a HelloRetryRequest (RFC 8446 §4.1.3).
constexpr std::uint8_t hello_retry_random[32] = {
    0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
    0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};

constexpr std::size_t receive_piece = 16384 + 256 + tls_record_header_size;

bool all_zero(byte_span data)
{
    std::uint8_t any = 0;
    for (std::uint8_t b : data) {
        any |= b;
    }
    return any == 0;
}

}  // namespace

struct reality_io::handshake_state {
    ~handshake_state()
    {
        secure_zero(keys.private_key.data(), keys.private_key.size());
        secure_zero(hybrid_keys.private_key.data(), hybrid_keys.private_key.size());
        secure_zero(auth_key.data(), auth_key.size());
        secure_zero(messages);
    }
    x25519_key_pair keys;         // the plain X25519 share; the authentication key comes from it
    x25519_key_pair hybrid_keys;  // the X25519 half of the hybrid share, a key of its own
    ml_kem_768_key_pair kem;
    std::array<std::uint8_t, 32> client_random{};
    std::array<std::uint8_t, 32> session_id{};
    std::array<std::uint8_t, 32> auth_key{};
    tls13_key_schedule schedule;
    bytes messages;  // decrypted handshake bytes not yet parsed
    std::uint8_t expected = msg_encrypted_extensions;
};

bool reality_io::connect(socket_handle connected_socket, const reality_params& params, std::u16string& out_error)
{
    if (!socket_.adopt(connected_socket)) {
        out_error = PELTO_TEXT(u"REALITY: the connection is already closed").str();
        return false;
    }
    handshake_state hs;
    const bool ok = send_client_hello(hs, params, out_error) && read_server_hello(hs, out_error) &&
                    read_server_flight(hs, out_error) && send_client_finished(hs, out_error);
    if (!ok) {
        socket_.close();
        ended_ = true;
        return false;
    }
    return true;
}

bool reality_io::send_client_hello(handshake_state& hs, const reality_params& params, std::u16string& out_error)
{
    hs.keys = x25519_keypair();
    random_bytes(hs.client_random);

    // auth key = HKDF(X25519(ours, node key), salt = random[0..20), info = the protocol's label).
    const x25519_bytes shared = x25519(hs.keys.private_key, params.public_key);
    bytes auth;
    const auto label = PELTO_TEXT("REALITY");
    const bool derived = hkdf_sha256(shared, byte_span(hs.client_random.data(), 20), as_bytes(label.view()), 32, auth);
    if (!derived || auth.size() != 32 || all_zero(shared)) {
        out_error = PELTO_TEXT(u"REALITY: deriving the authentication key failed").str();
        return false;
    }
    std::memcpy(hs.auth_key.data(), auth.data(), 32);
    secure_zero(auth);

    // The token before sealing: version triple, 0, Unix time, short id.
    std::array<std::uint8_t, 16> token{26, 10, 10, 0};
    const auto now = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
    token[4] = static_cast<std::uint8_t>(now >> 24);
    token[5] = static_cast<std::uint8_t>(now >> 16);
    token[6] = static_cast<std::uint8_t>(now >> 8);
    token[7] = static_cast<std::uint8_t>(now);
    std::memcpy(token.data() + 8, params.short_id.data(), 8);

    hs.hybrid_keys = x25519_keypair();
    if (!hs.kem.generate()) {
        out_error = PELTO_TEXT(u"REALITY: generating the ML-KEM key failed").str();
        return false;
    }
    const std::array<std::uint8_t, 32> zero_session_id{};
    bytes hello;
    const browser_hello_input input{params.server_name, hs.client_random, zero_session_id,
                                    hs.kem.encapsulation_key(), hs.hybrid_keys.public_key, hs.keys.public_key};
    if (!build_browser_client_hello(input, hello)) {
        out_error = PELTO_TEXT(u"REALITY: the server name is too long").str();
        return false;
    }

    // Real servers open the token with the whole ClientHello, session id zeroed, as associated data.
    aes_gcm_key sealer;
    std::array<std::uint8_t, aes_gcm_nonce_size> nonce{};
    std::memcpy(nonce.data(), hs.client_random.data() + 20, nonce.size());
    if (!sealer.create(hs.auth_key) ||
        !aes_gcm_seal_into(sealer, nonce, token, hello, std::span<std::uint8_t>(hs.session_id))) {
        out_error = PELTO_TEXT(u"REALITY: sealing the ClientHello failed").str();
        return false;
    }
    std::memcpy(hello.data() + client_hello_session_id_offset, hs.session_id.data(), 32);
    hs.schedule.add_message(hello);

    const auto header = client_hello_record_header(hello.size());
    bytes record(header.begin(), header.end());
    record.insert(record.end(), hello.begin(), hello.end());
    if (!socket_.send_all(record.data(), static_cast<std::int32_t>(record.size()))) {
        out_error = PELTO_TEXT(u"REALITY: sending the ClientHello failed").str();
        return false;
    }
    return true;
}

bool reality_io::read_server_hello(handshake_state& hs, std::u16string& out_error)
{
    std::uint8_t type = 0;
    std::span<std::uint8_t> record;
    if (!read_record(type, record)) {
        out_error = ended_ ? PELTO_TEXT(u"REALITY: the server closed the connection during the handshake").str()
                           : PELTO_TEXT(u"REALITY: the server sent a malformed record instead of a ServerHello").str();
        return false;
    }
    // Exactly one ServerHello, alone in its record.
    byte_reader reader(record);
    std::uint8_t message_type = 0;
    byte_reader body;
    std::uint16_t version = 0;
    byte_span random;
    byte_reader session_id;
    std::uint16_t suite = 0;
    std::uint8_t compression = 0;
    byte_reader extensions;
    if (!reader.read_u8(message_type) || message_type != msg_server_hello || !reader.read_prefixed_u24(body) ||
        !reader.empty() || !body.read_u16(version) || !body.read_bytes(32, random) ||
        !body.read_prefixed_u8(session_id) || !body.read_u16(suite) || !body.read_u8(compression) ||
        !body.read_prefixed_u16(extensions) || !body.empty()) {
        out_error = PELTO_TEXT(u"REALITY: the ServerHello is malformed").str();
        return false;
    }
    if (std::equal(random.begin(), random.end(), std::begin(hello_retry_random))) {
        out_error = PELTO_TEXT(u"REALITY: the server asked for a HelloRetryRequest, which is not supported").str();
        return false;
    }
    tls13_suite chosen{};
    if (!tls13_suite_from_wire(suite, chosen) || compression != 0) {
        out_error = PELTO_TEXT(u"REALITY: the ServerHello chose a cipher suite the ClientHello did not offer").str();
        return false;
    }
    if (!std::equal(session_id.rest().begin(), session_id.rest().end(), hs.session_id.begin(), hs.session_id.end())) {
        out_error = PELTO_TEXT(u"REALITY: the ServerHello does not echo the session").str();
        return false;
    }
    bool tls13 = false;
    std::uint16_t group = 0;
    byte_span server_share;
    bool have_share = false;
    while (!extensions.empty()) {
        std::uint16_t ext_type = 0;
        byte_reader ext;
        if (!extensions.read_u16(ext_type) || !extensions.read_prefixed_u16(ext)) {
            out_error = PELTO_TEXT(u"REALITY: the ServerHello is malformed").str();
            return false;
        }
        std::uint16_t value = 0;
        if (ext_type == ext_supported_versions) {
            tls13 = ext.read_u16(value) && value == tls13_version && ext.empty();
        } else if (ext_type == ext_key_share) {
            byte_reader key;
            have_share = ext.read_u16(group) && ext.read_prefixed_u16(key) && ext.empty();
            server_share = key.rest();
        }
    }
    if (!tls13 || !have_share) {
        out_error = PELTO_TEXT(u"REALITY: the ServerHello lacks TLS 1.3 or a key share").str();
        return false;
    }
    hs.schedule.select_suite(chosen);
    hs.schedule.add_message(record);
    bytes secret;
    if (!shared_secret_for(hs, group, server_share, secret, out_error)) {
        return false;
    }
    const bool derived = hs.schedule.derive_handshake_secrets(secret) &&
                         read_cipher_.install(hs.schedule.server_handshake_secret(), chosen) &&
                         write_cipher_.install(hs.schedule.client_handshake_secret(), chosen);
    secure_zero(secret);
    if (!derived) {
        out_error = PELTO_TEXT(u"REALITY: deriving the handshake keys failed").str();
        return false;
    }
    phase_ = phase::encrypted_handshake;
    return true;
}

// The (EC)DHE input of the key schedule for the group the server picked: X25519 alone (32 bytes),
// or for the hybrid the ML-KEM-768 shared secret followed by the X25519 one (64 bytes).
bool reality_io::shared_secret_for(handshake_state& hs, std::uint16_t group, byte_span server_share, bytes& out,
                                   std::u16string& out_error)
{
    x25519_bytes server_key{};
    const x25519_bytes* our_key = &hs.keys.private_key;
    std::array<std::uint8_t, ml_kem_shared_secret_size> kem_secret{};
    if (group == tls_group_x25519_mlkem768) {
        if (server_share.size() != x25519_mlkem768_server_share_size) {
            out_error = PELTO_TEXT(u"REALITY: the server's X25519MLKEM768 key share has the wrong length").str();
            return false;
        }
        if (!hs.kem.decapsulate(server_share.first(ml_kem_768_ciphertext_size), kem_secret)) {
            out_error = PELTO_TEXT(u"REALITY: decapsulating the server's ML-KEM ciphertext failed").str();
            return false;
        }
        std::memcpy(server_key.data(), server_share.data() + ml_kem_768_ciphertext_size, 32);
        our_key = &hs.hybrid_keys.private_key;
    } else if (group == tls_group_x25519) {
        if (server_share.size() != 32) {
            out_error = PELTO_TEXT(u"REALITY: the server's X25519 key share has the wrong length").str();
            return false;
        }
        std::memcpy(server_key.data(), server_share.data(), 32);
    } else {
        out_error = PELTO_TEXT(u"REALITY: the ServerHello chose a key exchange group the ClientHello did not offer").str();
        return false;
    }
    x25519_bytes ecdh = x25519(*our_key, server_key);
    const bool low_order = all_zero(ecdh);
    out.clear();
    if (group == tls_group_x25519_mlkem768) {
        out.insert(out.end(), kem_secret.begin(), kem_secret.end());
    }
    out.insert(out.end(), ecdh.begin(), ecdh.end());
    secure_zero(kem_secret.data(), kem_secret.size());
    secure_zero(ecdh.data(), ecdh.size());
    if (low_order) {
        secure_zero(out);
        out_error = PELTO_TEXT(u"REALITY: the server's key share is of low order").str();
        return false;
    }
    return true;
}

bool reality_io::read_server_flight(handshake_state& hs, std::u16string& out_error)
{
    while (!server_finished_) {
        std::uint8_t type = 0;
        std::span<std::uint8_t> content;
        if (!read_record(type, content)) {
            out_error = ended_ ? PELTO_TEXT(u"REALITY: the server closed the connection during the handshake").str()
                               : PELTO_TEXT(u"REALITY: a handshake record from the server is malformed or forged").str();
            return false;
        }
        if (type != tls_type_handshake) {
            out_error = PELTO_TEXT(u"REALITY: the server sent an alert or data during the handshake").str();
            return false;
        }
        hs.messages.insert(hs.messages.end(), content.begin(), content.end());
        // Every complete message in order; an incomplete one waits for the next record.
        std::size_t used = 0;
        while (!server_finished_) {
            byte_reader reader(byte_span(hs.messages).subspan(used));
            std::uint8_t message_type = 0;
            std::uint32_t length = 0;
            if (!reader.read_u8(message_type) || !reader.read_u24(length)) {
                break;
            }
            if (length > max_handshake_message) {
                out_error = PELTO_TEXT(u"REALITY: a handshake message from the server is too large").str();
                return false;
            }
            if (reader.remaining() < length) {
                break;
            }
            const byte_span message = byte_span(hs.messages).subspan(used, 4 + length);
            if (!handle_flight_message(hs, message_type, message, out_error)) {
                return false;
            }
            used += message.size();
        }
        hs.messages.erase(hs.messages.begin(), hs.messages.begin() + static_cast<std::ptrdiff_t>(used));
    }
    if (!hs.messages.empty()) {
        out_error = PELTO_TEXT(u"REALITY: the server sent handshake bytes after its Finished").str();
        return false;
    }
    return true;
}

bool reality_io::handle_flight_message(handshake_state& hs, std::uint8_t type, byte_span message,
                                       std::u16string& out_error)
{
    if (type != hs.expected) {
        out_error = PELTO_TEXT(u"REALITY: the server's handshake messages are missing or out of order").str();
        return false;
    }
    byte_reader body(message.subspan(4));
    switch (type) {
    case msg_encrypted_extensions:
        hs.expected = msg_certificate;
        break;
    case msg_certificate: {
        byte_reader context;
        byte_reader list;
        byte_reader first;
        if (!body.read_prefixed_u8(context) || !body.read_prefixed_u24(list) || !body.empty() ||
            !list.read_prefixed_u24(first)) {
            out_error = PELTO_TEXT(u"REALITY: the server's Certificate message is malformed").str();
            return false;
        }
        if (!reality_certificate_signed_by(first.rest(), hs.auth_key)) {
            // A REALITY server that does not recognise the hello relays it to the site it imitates,
            // whose genuine certificate then arrives here.
            out_error = PELTO_TEXT(u"REALITY: the node answered as the web site it imitates: its public key, short id or "
                                   u"server name does not match this node's settings").str();
            return false;
        }
        hs.expected = msg_certificate_verify;
        break;
    }
    case msg_certificate_verify:
        hs.expected = msg_finished;
        break;
    case msg_finished: {
        tls13_secret expected{};
        const bool derived = tls13_key_schedule::finished_verify_data(hs.schedule.server_handshake_secret(),
                                                                      hs.schedule.transcript_hash(), expected);
        std::uint8_t difference = body.remaining() == expected.size() ? 0 : 1;
        for (std::size_t i = 0; difference == 0 && i < expected.size(); ++i) {
            difference |= static_cast<std::uint8_t>(expected[i] ^ body.rest()[i]);
        }
        if (!derived || difference != 0) {
            out_error = PELTO_TEXT(u"REALITY: the server's Finished does not verify").str();
            return false;
        }
        server_finished_ = true;
        break;
    }
    default:
        break;
    }
    hs.schedule.add_message(message);
    return true;
}

bool reality_io::send_client_finished(handshake_state& hs, std::u16string& out_error)
{
    tls13_secret verify{};
    if (!tls13_key_schedule::finished_verify_data(hs.schedule.client_handshake_secret(),
                                                  hs.schedule.transcript_hash(), verify) ||
        !hs.schedule.derive_application_secrets()) {
        out_error = PELTO_TEXT(u"REALITY: deriving the application keys failed").str();
        return false;
    }
    bytes flight{tls_type_change_cipher_spec, 0x03, 0x03, 0x00, 0x01, 0x01};
    bytes finished{msg_finished, 0, 0, static_cast<std::uint8_t>(verify.size())};
    finished.insert(finished.end(), verify.begin(), verify.end());
    if (!write_cipher_.seal(tls_type_handshake, finished, flight) ||
        !read_cipher_.install(hs.schedule.server_application_secret(), hs.schedule.suite()) ||
        !write_cipher_.install(hs.schedule.client_application_secret(), hs.schedule.suite())) {
        out_error = PELTO_TEXT(u"REALITY: deriving the application keys failed").str();
        return false;
    }
    if (!socket_.send_all(flight.data(), static_cast<std::int32_t>(flight.size()))) {
        out_error = PELTO_TEXT(u"REALITY: sending the client Finished failed").str();
        return false;
    }
    phase_ = phase::application;
    return true;
}

bool reality_io::fill(std::size_t needed)
{
    if (in_end_ - in_begin_ >= needed) {
        return true;
    }
    // Only unconsumed record bytes are kept; handed-out plaintext is gone by now.
    if (in_begin_ > 0) {
        std::memmove(in_.data(), in_.data() + in_begin_, in_end_ - in_begin_);
        in_end_ -= in_begin_;
        in_begin_ = 0;
    }
    if (in_.size() < receive_piece + tls_record_header_size) {
        in_.resize(receive_piece + tls_record_header_size);
    }
    while (in_end_ < needed) {
        const std::int32_t n =
            socket_.recv_some(in_.data() + in_end_, static_cast<std::int32_t>(in_.size() - in_end_));
        if (n < 1) {
            ended_ = true;
            return false;
        }
        in_end_ += static_cast<std::size_t>(n);
    }
    return true;
}

bool reality_io::read_record(std::uint8_t& out_type, std::span<std::uint8_t>& out_content)
{
    for (;;) {
        tls_record_header header;
        if (!fill(tls_record_header_size) ||
            !tls_parse_record_header(byte_span(in_.data() + in_begin_, tls_record_header_size), header)) {
            return false;
        }
        const bool hello = phase_ == phase::hello;
        bool length_ok = false;
        switch (header.type) {
        case tls_type_change_cipher_spec:
            length_ok = !server_finished_ && header.length == 1;
            break;
        case tls_type_handshake:
            length_ok = hello && header.length >= 1 && header.length <= tls_max_plaintext;
            break;
        case tls_type_application_data:
            length_ok = !hello && header.length >= tls13_min_protected && header.length <= tls13_max_protected;
            break;
        default:
            break;  // alerts in plaintext, unknown types
        }
        if (!length_ok || !fill(tls_record_header_size + header.length)) {
            return false;
        }
        std::uint8_t* at = in_.data() + in_begin_;
        in_begin_ += tls_record_header_size + header.length;
        std::span<std::uint8_t> body(at + tls_record_header_size, header.length);
        if (header.type == tls_type_change_cipher_spec) {
            if (body[0] != 1) {
                return false;
            }
            continue;
        }
        if (header.type == tls_type_handshake) {
            out_type = tls_type_handshake;
            out_content = body;
            return true;
        }
        std::span<const std::uint8_t, tls_record_header_size> header_bytes(at, tls_record_header_size);
        return read_cipher_.open(header_bytes, body, out_type, out_content);
    }
}

bool reality_io::handle_post_handshake(byte_span messages)
{
    byte_reader reader(messages);
    while (!reader.empty()) {
        std::uint8_t type = 0;
        byte_reader body;
        if (!reader.read_u8(type) || !reader.read_prefixed_u24(body)) {
            return false;  // messages must fill the record exactly
        }
        if (type == msg_key_update) {
            std::uint8_t request = 0;
            if (!body.read_u8(request) || !body.empty() || request > 1 || !read_cipher_.update()) {
                return false;
            }
        } else if (type != msg_new_session_ticket) {
            return false;
        }
    }
    return true;
}

std::int32_t reality_io::read_direct(std::uint8_t* buffer, std::int32_t capacity)
{
    std::size_t n = 0;
    if (plain_begin_ < plain_end_) {
        n = std::min(static_cast<std::size_t>(capacity), plain_end_ - plain_begin_);
        std::memcpy(buffer, in_.data() + plain_begin_, n);
        plain_begin_ += n;
    } else if (in_begin_ < in_end_) {
        n = std::min(static_cast<std::size_t>(capacity), in_end_ - in_begin_);
        std::memcpy(buffer, in_.data() + in_begin_, n);
        in_begin_ += n;
    } else {
        const std::int32_t received = socket_.recv_some(buffer, capacity);
        if (received < 1) {
            ended_ = true;
            return 0;
        }
        return received;
    }
    return static_cast<std::int32_t>(n);
}

std::int32_t reality_io::read(std::uint8_t* buffer, std::int32_t capacity)
{
    if (capacity < 1 || ended_ || phase_ != phase::application || socket_.closed()) {
        return 0;
    }
    if (read_direct_) {
        return read_direct(buffer, capacity);
    }
    while (plain_begin_ == plain_end_) {
        std::uint8_t type = 0;
        std::span<std::uint8_t> content;
        if (!read_record(type, content)) {
            ended_ = true;
            return 0;
        }
        if (type == tls_type_application_data) {
            plain_begin_ = static_cast<std::size_t>(content.data() - in_.data());
            plain_end_ = plain_begin_ + content.size();  // empty records are skipped
        } else if (type != tls_type_handshake || !handle_post_handshake(content)) {
            ended_ = true;  // an alert (close_notify included) or a bad message ends the stream
            return 0;
        }
    }
    const std::size_t n = std::min(static_cast<std::size_t>(capacity), plain_end_ - plain_begin_);
    std::memcpy(buffer, in_.data() + plain_begin_, n);
    plain_begin_ += n;
    if (plain_begin_ == plain_end_) {
        plain_begin_ = plain_end_ = 0;
    }
    return static_cast<std::int32_t>(n);
}

bool reality_io::write(const std::uint8_t* data, std::int32_t length)
{
    if (length < 0 || (length > 0 && data == nullptr) || phase_ != phase::application) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    if (write_direct_) {
        return socket_.send_all(data, length);
    }
    // Up to four full records per socket send.
    constexpr std::size_t batch = 4 * tls_max_plaintext;
    byte_span rest(data, static_cast<std::size_t>(length));
    while (!rest.empty()) {
        const byte_span part = rest.first(std::min(rest.size(), batch));
        rest = rest.subspan(part.size());
        out_.clear();
        for (std::size_t at = 0; at < part.size(); at += tls_max_plaintext) {
            if (!write_cipher_.seal(tls_type_application_data, part.subspan(at, std::min(tls_max_plaintext, part.size() - at)),
                                    out_)) {
                return false;
            }
        }
        if (!socket_.send_all(out_.data(), static_cast<std::int32_t>(out_.size()))) {
            return false;
        }
    }
    return true;
}

}  // namespace pelto
