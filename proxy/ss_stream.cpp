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
bool seal_next(aes_gcm_key& key, std::array<std::uint8_t, 12>& nonce, byte_span plain,
               bytes& scratch, bytes& out)
{
    if (!aes_gcm_seal(key, nonce, plain, {}, scratch)) {
        return false;
    }
    nonce_increment(nonce);
    out.insert(out.end(), scratch.begin(), scratch.end());
    return true;
}

}  // namespace

ss_stream::ss_stream(socket_handle connected_socket) : socket_(connected_socket) {}

ss_stream::~ss_stream()
{
    std::lock_guard<std::mutex> guard(lock_);
    close_socket(socket_);
    socket_ = invalid_socket_handle;
    secure_zero(user_key_);
}

socket_handle ss_stream::current_socket()
{
    std::lock_guard<std::mutex> guard(lock_);
    return closed_ ? invalid_socket_handle : socket_;
}

// Shuts the socket down so that blocked calls return, but keeps the descriptor until the stream
// is destroyed: a reader or writer on another thread may still hold its number, and a number
// released here could be handed to a new connection whose bytes that thread would then consume.
void ss_stream::close()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!closed_) {
        closed_ = true;
        shutdown_socket(socket_);
    }
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

    if (!seal_next(send_key_, send_nonce_, fixed, send_sealed_, output) ||
        !seal_next(send_key_, send_nonce_, variable, send_sealed_, output)) {
        out_error = PELTO_TEXT(u"Shadowsocks: could not encrypt the request header").str();
        return false;
    }

    const socket_handle socket = current_socket();
    if (socket == invalid_socket_handle ||
        !send_all(socket, output.data(), static_cast<std::int32_t>(output.size()))) {
        out_error = PELTO_TEXT(u"Shadowsocks: sending the request failed").str();
        return false;
    }
    return true;
}

// Receives `plain_length` + 16 bytes and opens them with the next receive nonce into `out`.
bool ss_stream::receive_sealed(socket_handle socket, std::size_t plain_length, bytes& out)
{
    receive_sealed_.resize(plain_length + tag_size);
    if (!recv_exact(socket, receive_sealed_.data(), static_cast<std::int32_t>(receive_sealed_.size()))) {
        return false;
    }
    if (!aes_gcm_open(receive_key_, receive_nonce_, receive_sealed_, {}, out) ||
        out.size() != plain_length) {
        return false;
    }
    nonce_increment(receive_nonce_);
    return true;
}

bool ss_stream::receive_response()
{
    const socket_handle socket = current_socket();
    if (socket == invalid_socket_handle) {
        return false;
    }
    std::array<std::uint8_t, salt_size> server_salt{};
    if (!recv_exact(socket, server_salt.data(), static_cast<std::int32_t>(server_salt.size()))) {
        return false;
    }
    key_bytes subkey = session_subkey(user_key_, server_salt);
    const bool keyed = receive_key_.create(subkey);
    secure_zero(subkey.data(), subkey.size());
    if (!keyed) {
        return false;
    }

    response_header header;
    if (!receive_sealed(socket, response_fixed_size, plaintext_) ||
        !parse_response_header(plaintext_, header)) {
        return false;
    }
    plaintext_.clear();
    if (header.type != type_response || !within_time_window(header.timestamp, unix_seconds()) ||
        header.request_salt != request_salt_) {
        return false;
    }
    response_received_ = true;

    if (header.first_length > 0 && !receive_sealed(socket, header.first_length, plaintext_)) {
        return false;
    }
    plaintext_offset_ = 0;
    return true;
}

std::int32_t ss_stream::read(std::uint8_t* buffer, std::int32_t capacity)
{
    if (capacity < 1 || receive_failed_) {
        return 0;
    }
    for (;;) {
        if (plaintext_offset_ < plaintext_.size()) {
            const std::size_t n =
                std::min(static_cast<std::size_t>(capacity), plaintext_.size() - plaintext_offset_);
            std::memcpy(buffer, plaintext_.data() + plaintext_offset_, n);
            plaintext_offset_ += n;
            return static_cast<std::int32_t>(n);
        }
        plaintext_.clear();
        plaintext_offset_ = 0;

        bool ok = false;
        if (!response_received_) {
            ok = receive_response();
        } else {
            const socket_handle socket = current_socket();
            std::uint16_t length = 0;
            if (socket != invalid_socket_handle &&
                receive_sealed(socket, length_field_size, plaintext_)) {
                byte_reader r(plaintext_);
                ok = r.read_u16(length) && r.empty();
                plaintext_.clear();
                // An empty chunk carries nothing; the next length follows directly.
                if (ok && length > 0) {
                    ok = receive_sealed(socket, length, plaintext_);
                }
            }
        }
        if (!ok) {
            receive_failed_ = true;
            plaintext_.clear();
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
        const std::int32_t chunk = std::min(length - offset, max_write_chunk);
        std::array<std::uint8_t, length_field_size> sealed_length{
            static_cast<std::uint8_t>(chunk >> 8), static_cast<std::uint8_t>(chunk & 0xFF)};
        send_frame_.clear();
        if (!seal_next(send_key_, send_nonce_, sealed_length, send_sealed_, send_frame_) ||
            !seal_next(send_key_, send_nonce_,
                       byte_span(data + offset, static_cast<std::size_t>(chunk)), send_sealed_,
                       send_frame_)) {
            return false;
        }
        const socket_handle socket = current_socket();
        if (socket == invalid_socket_handle ||
            !send_all(socket, send_frame_.data(), static_cast<std::int32_t>(send_frame_.size()))) {
            return false;
        }
        offset += chunk;
    }
    return true;
}

}  // namespace pelto
