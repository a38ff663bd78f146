#pragma once
// REALITY: our own TLS 1.3 client whose ClientHello is a current browser's (proxy/browser_hello.h:
// an X25519MLKEM768 share before a plain X25519 one, the three TLS 1.3 suites; the server may pick
// either group and any of the suites) and carries an authenticated token in its session id, and which accepts the server only when its leaf
// certificate's Ed25519 key is HMAC-signed with the key shared with the node's REALITY key.
//
// `connect` takes ownership of a connected registered socket whatever the outcome and runs the
// handshake; on failure the socket is closed, `out_error` names the failing step and nothing but
// the ClientHello (and, at most, nothing else) has been sent. The server's flight must be, in
// order: ServerHello (one plaintext record, nothing else in it), then under the handshake keys
// EncryptedExtensions, Certificate (passing the check), CertificateVerify, Finished; anything
// else fails. ChangeCipherSpec records are skipped only before the server's Finished.
//
// Afterwards `read`/`write` carry application data (byte_io.h). Empty records are skipped;
// KeyUpdate messages renew the read key; NewSessionTicket is skipped; an alert, a failed record
// or a plaintext record end the stream. One thread may read while another writes; `close` from
// any thread wakes both.

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "net/socket_holder.h"
#include "proxy/byte_io.h"
#include "proxy/tls13.h"

namespace pelto {

struct reality_params {
    std::string server_name;                     // SNI, sent as given (may be empty)
    std::array<std::uint8_t, 32> public_key{};  // the node's X25519 REALITY key
    std::array<std::uint8_t, 8> short_id{};
};

class reality_io final : public byte_io {
public:
    reality_io() = default;
    ~reality_io() override { socket_.close(); }

    bool connect(socket_handle connected_socket, const reality_params& params, std::u16string& out_error);

    bool write(const std::uint8_t* data, std::int32_t length) override;
    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override;
    void close() override { socket_.close(); }
    void start_direct_write() override { write_direct_ = true; }
    void start_direct_read() override { read_direct_ = true; }

    // Largest handshake message accepted (a certificate chain fits easily).
    static constexpr std::size_t max_handshake_message = 65536;

private:
    struct handshake_state;
    enum class phase { hello, encrypted_handshake, application };

    // Handshake steps.
    bool send_client_hello(handshake_state& hs, const reality_params& params, std::u16string& out_error);
    bool read_server_hello(handshake_state& hs, std::u16string& out_error);
    bool shared_secret_for(handshake_state& hs, std::uint16_t group, byte_span server_share, bytes& out,
                           std::u16string& out_error);
    bool read_server_flight(handshake_state& hs, std::u16string& out_error);
    bool handle_flight_message(handshake_state& hs, std::uint8_t type, byte_span message,
                               std::u16string& out_error);
    bool send_client_finished(handshake_state& hs, std::u16string& out_error);

    // One record from the socket. Plaintext records (ServerHello) only in the hello phase,
    // protected ones only after it; ChangeCipherSpec skipped until the server's Finished.
    // `out_content` views the receive buffer until the next call.
    bool read_record(std::uint8_t& out_type, std::span<std::uint8_t>& out_content);
    bool fill(std::size_t needed);
    bool handle_post_handshake(byte_span messages);
    std::int32_t read_direct(std::uint8_t* buffer, std::int32_t capacity);

    socket_holder socket_;
    phase phase_ = phase::hello;
    bool server_finished_ = false;

    // Reading side.
    tls13_record_cipher read_cipher_;
    bytes in_;                 // received bytes
    std::size_t in_begin_ = 0;  // first byte not yet consumed as a record
    std::size_t in_end_ = 0;
    std::size_t plain_begin_ = 0;  // decrypted application data not yet returned, inside `in_`
    std::size_t plain_end_ = 0;
    bool ended_ = false;
    bool read_direct_ = false;

    // Writing side.
    tls13_record_cipher write_cipher_;
    bytes out_;
    std::atomic<bool> write_direct_{false};
};

}  // namespace pelto
