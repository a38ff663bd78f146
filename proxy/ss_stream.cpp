#include "proxy/ss_stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <span>

#include "base/obfuscated.h"
#include "crypto/blake3_hash.h"
#include "crypto/random.h"

namespace pelto {
namespace {

constexpr std::size_t key_size = 16;
constexpr std::size_t salt_size = 16;
constexpr std::size_t tag_size = 16;
constexpr std::size_t request_fixed_size = 11;   // type, timestamp, variable header length
constexpr std::size_t response_fixed_size = 27;  // type, timestamp, request salt, first length
constexpr std::size_t length_field_size = 2;
constexpr std::size_t max_host_size = 255;
constexpr std::uint8_t type_request = 0;
constexpr std::uint8_t type_response = 1;
constexpr std::uint8_t address_type_domain = 3;
constexpr std::int64_t time_window_s = 30;
// Room for the largest unit (a 65535-byte payload and its tag) after a sealed length, plus read-ahead.
constexpr std::size_t receive_buffer_size = 2 * (length_field_size + tag_size + 0xFFFF + tag_size);

using key_bytes = std::array<std::uint8_t, key_size>;

std::int64_t unix_seconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool within_time_window(std::uint64_t timestamp, std::int64_t now)
{
    if (timestamp > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return false;
    }
    const std::int64_t diff = static_cast<std::int64_t>(timestamp) - now;
    return diff >= -time_window_s && diff <= time_window_s;
}

// AES-128 key = the first 16 bytes of BLAKE3 derive_key(context, psk || salt).
template <std::size_t N>
key_bytes derive_subkey(const obf::revealed<char, N>& context, byte_span psk, byte_span salt)
{
    bytes material(psk.begin(), psk.end());
    material.insert(material.end(), salt.begin(), salt.end());
    auto derived = blake3_derive_key(context.view(), material);
    key_bytes key{};
    std::memcpy(key.data(), derived.data(), key.size());
    secure_zero(material);
    secure_zero(derived.data(), derived.size());
    return key;
}

key_bytes session_subkey(byte_span psk, byte_span salt)
{
    return derive_subkey(PELTO_TEXT("shadowsocks 2022 session subkey"), psk, salt);
}

// The multi-user identity header: the first half of BLAKE3(user key), encrypted as one AES block
// with the identity subkey of this connection's salt.
bool build_identity_header(byte_span identity_key, byte_span user_key, byte_span salt,
                           std::array<std::uint8_t, 16>& out)
{
    key_bytes subkey =
        derive_subkey(PELTO_TEXT("shadowsocks 2022 identity subkey"), identity_key, salt);
    const auto user_hash = blake3_hash(user_key);
    const bool ok = aes_encrypt_block(subkey, std::span<const std::uint8_t, 16>(user_hash.data(), 16), out);
    secure_zero(subkey.data(), subkey.size());
    return ok;
}

// address type, host, port, padding length, padding, initial payload. Padding (16..64 random
// bytes) is added only when there is no payload to hide the header's length behind.
void emit_variable_header(std::string_view host, std::uint16_t port, const bytes& payload,
                          bytes& out)
{
    byte_writer w(out);
    w.u8(address_type_domain);
    {
        auto host_scope = w.prefixed_u8();
        w.append(host);
    }
    w.u16(port);
    std::size_t padding = 0;
    if (payload.empty()) {
        std::uint8_t draw = 0;
        random_bytes(std::span<std::uint8_t>(&draw, 1));
        padding = draw % 49 + 16;
    }
    w.u16(static_cast<std::uint16_t>(padding));
    const std::size_t padding_at = out.size();
    out.resize(padding_at + padding);
    random_bytes(std::span<std::uint8_t>(out.data() + padding_at, padding));
    out.insert(out.end(), payload.begin(), payload.end());
}

void emit_request_fixed_header(std::uint64_t timestamp, std::uint16_t variable_length, bytes& out)
{
    byte_writer w(out);
    w.u8(type_request);
    w.u64(timestamp);
    w.u16(variable_length);
}

struct response_header {
    std::uint8_t type = 0;
    std::uint64_t timestamp = 0;
    std::array<std::uint8_t, salt_size> request_salt{};
    std::uint16_t first_length = 0;
};

bool parse_response_header(byte_span plain, response_header& out)
{
    byte_reader r(plain);
    return r.read_u8(out.type) && r.read_u64(out.timestamp) && r.copy_bytes(out.request_salt) &&
           r.read_u16(out.first_length) && r.empty();
}

// Seals `plain` with the direction's next nonce and appends the result to `out`.
bool seal_next(aes_gcm_key& key, std::array<std::uint8_t, 12>& nonce, byte_span plain, bytes& out)
{
    const std::size_t at = out.size();
    out.resize(at + plain.size() + tag_size);
    if (!aes_gcm_seal_into(key, nonce, plain, {}, std::span<std::uint8_t>(out).subspan(at))) {
        return false;
    }
    nonce_increment(nonce);
    return true;
}

}  // namespace

ss_stream::ss_stream(socket_handle connected_socket) : socket_(connected_socket) {}

ss_stream::~ss_stream()
{
    socket_.close();
    secure_zero(user_key_);
}

void ss_stream::close()
{
    socket_.close();
}

bool ss_stream::request(const node_record& node, std::string_view host, std::uint16_t port,
                        const bytes& initial_payload, std::u16string& out_error)
{
    if (node.user_key.size() != key_size ||
        (!node.identity_key.empty() && node.identity_key.size() != key_size)) {
        out_error = PELTO_TEXT(u"Shadowsocks: the node's keys must be 16 bytes long").str();
        return false;
    }
    // The host travels behind a one-byte length: a longer one must not be cut short silently.
    if (host.empty() || host.size() > max_host_size) {
        out_error = PELTO_TEXT(u"Shadowsocks: the destination host must be 1 to 255 bytes long").str();
        return false;
    }

    user_key_ = node.user_key;
    random_bytes(request_salt_);
    {
        key_bytes subkey = session_subkey(user_key_, request_salt_);
        const bool ok = send_key_.create(subkey);
        secure_zero(subkey.data(), subkey.size());
        if (!ok) {
            out_error = PELTO_TEXT(u"Shadowsocks: could not set up the session key").str();
            return false;
        }
    }

    bytes output(request_salt_.begin(), request_salt_.end());
    if (!node.identity_key.empty()) {
        std::array<std::uint8_t, 16> identity{};
        if (!build_identity_header(node.identity_key, user_key_, request_salt_, identity)) {
            out_error = PELTO_TEXT(u"Shadowsocks: could not build the identity header").str();
            return false;
        }
        output.insert(output.end(), identity.begin(), identity.end());
    }

    bytes variable;
    emit_variable_header(host, port, initial_payload, variable);
    if (variable.size() > 0xFFFF) {
        out_error = PELTO_TEXT(u"Shadowsocks: the request header is too long").str();
        return false;
    }
    bytes fixed;
    emit_request_fixed_header(static_cast<std::uint64_t>(unix_seconds()),
                              static_cast<std::uint16_t>(variable.size()), fixed);

    if (!seal_next(send_key_, send_nonce_, fixed, output) || !seal_next(send_key_, send_nonce_, variable, output)) {
        out_error = PELTO_TEXT(u"Shadowsocks: could not encrypt the request header").str();
        return false;
    }

    if (!socket_.send_all(output.data(), static_cast<std::int32_t>(output.size()))) {
        out_error = PELTO_TEXT(u"Shadowsocks: sending the request failed").str();
        return false;
    }
    return true;
}

// Makes at least `needed` received bytes available from `data_begin_`, receiving as much as the
// socket offers at once (up to the buffer's room) rather than exactly what is asked for.
bool ss_stream::fill(std::size_t needed)
{
    if (data_end_ - data_begin_ >= needed) {
        return true;
    }
    if (receive_buffer_.size() < receive_buffer_size) {
        receive_buffer_.resize(receive_buffer_size);
    }
    if (receive_buffer_.size() - data_begin_ < needed) {
        std::memmove(receive_buffer_.data(), receive_buffer_.data() + data_begin_, data_end_ - data_begin_);
        data_end_ -= data_begin_;
        data_begin_ = 0;
    }
    while (data_end_ - data_begin_ < needed) {
        const std::int32_t n = socket_.recv_some(receive_buffer_.data() + data_end_,
                                                 static_cast<std::int32_t>(receive_buffer_.size() - data_end_));
        if (n < 1) {
            return false;
        }
        data_end_ += static_cast<std::size_t>(n);
    }
    return true;
}

// Opens the sealed unit of `plain_length` + 16 bytes at the front of the received bytes in place
// with the next receive nonce; its plaintext becomes [plain_begin_, plain_end_).
bool ss_stream::open_front(std::size_t plain_length)
{
    if (!fill(plain_length + tag_size)) {
        return false;
    }
    std::span<std::uint8_t> sealed(receive_buffer_.data() + data_begin_, plain_length + tag_size);
    if (!aes_gcm_open_in_place(receive_key_, receive_nonce_, sealed, {})) {
        return false;
    }
    nonce_increment(receive_nonce_);
    plain_begin_ = data_begin_;
    plain_end_ = data_begin_ + plain_length;
    data_begin_ += plain_length + tag_size;
    return true;
}

bool ss_stream::receive_response()
{
    if (!fill(salt_size)) {
        return false;
    }
    const byte_span server_salt(receive_buffer_.data() + data_begin_, salt_size);
    key_bytes subkey = session_subkey(user_key_, server_salt);
    data_begin_ += salt_size;
    const bool keyed = receive_key_.create(subkey);
    secure_zero(subkey.data(), subkey.size());
    if (!keyed) {
        return false;
    }

    response_header header;
    if (!open_front(response_fixed_size) ||
        !parse_response_header(byte_span(receive_buffer_.data() + plain_begin_, plain_end_ - plain_begin_),
                               header)) {
        return false;
    }
    if (header.type != type_response || !within_time_window(header.timestamp, unix_seconds()) ||
        header.request_salt != request_salt_) {
        return false;
    }
    response_received_ = true;
    // The first payload follows sealed, also when it is empty.
    return open_front(header.first_length);
}

std::int32_t ss_stream::read(std::uint8_t* buffer, std::int32_t capacity)
{
    if (capacity < 1 || receive_failed_ || socket_.closed()) {
        return 0;
    }
    for (;;) {
        if (plain_begin_ < plain_end_) {
            const std::size_t n = std::min(static_cast<std::size_t>(capacity), plain_end_ - plain_begin_);
            std::memcpy(buffer, receive_buffer_.data() + plain_begin_, n);
            plain_begin_ += n;
            return static_cast<std::int32_t>(n);
        }

        bool ok = false;
        if (!response_received_) {
            ok = receive_response();
        } else if (open_front(length_field_size)) {
            byte_reader r(byte_span(receive_buffer_.data() + plain_begin_, plain_end_ - plain_begin_));
            std::uint16_t length = 0;
            plain_begin_ = plain_end_;
            // A chunk of length 0 still carries its sealed (empty) payload.
            ok = r.read_u16(length) && r.empty() && open_front(length);
        }
        if (!ok) {
            receive_failed_ = true;
            plain_begin_ = plain_end_ = 0;
            secure_zero(receive_buffer_);
            return 0;
        }
    }
}

bool ss_stream::write(const std::uint8_t* data, std::int32_t length)
{
    if (length < 0 || (length > 0 && data == nullptr)) {
        return false;
    }
    std::int32_t offset = 0;
    while (offset < length) {
        const std::size_t chunk = static_cast<std::size_t>(std::min(length - offset, max_write_chunk));
        const std::size_t header_size = length_field_size + tag_size;
        send_frame_.resize(header_size + chunk + tag_size);
        const std::span<std::uint8_t> frame(send_frame_);
        frame[0] = static_cast<std::uint8_t>(chunk >> 8);
        frame[1] = static_cast<std::uint8_t>(chunk & 0xFF);
        if (!aes_gcm_seal_into(send_key_, send_nonce_, frame.first(length_field_size), {},
                               frame.first(header_size))) {
            return false;
        }
        nonce_increment(send_nonce_);
        if (!aes_gcm_seal_into(send_key_, send_nonce_, byte_span(data + offset, chunk), {},
                               frame.subspan(header_size))) {
            return false;
        }
        nonce_increment(send_nonce_);
        if (!socket_.send_all(send_frame_.data(), static_cast<std::int32_t>(send_frame_.size()))) {
            return false;
        }
        offset += static_cast<std::int32_t>(chunk);
    }
    return true;
}

}  // namespace pelto
