#pragma once
// One proxied TCP connection over Shadowsocks 2022 (BLAKE3 key derivation, AES-128-GCM),
// optionally with one identity header for multi-user servers.
//
// The stream owns its connected socket from construction. `request` sends the salt, the optional
// identity header and both request headers (with the caller's initial payload) in one send; it
// does not wait for the server. The server's response header is read and checked (type, a
// timestamp within 30 s of the local clock, the echo of our salt) by the first `read`. Both
// directions are AEAD chunk streams with their own key and counter nonce; `write` sends chunks
// of at most 16384 bytes, `read` accepts chunks up to 65535 bytes and skips empty ones.
//
// One thread may read while another writes and a third closes: the two directions share only the
// socket handle, which is guarded by the lock. `close` shuts the socket down at once, so blocked
// calls return, and the destructor closes it, so its number cannot be reused while another
// thread may still use it. After `close`, or after any receive, decryption or check failure,
// `read` returns 0; after `close`, `write` returns false.

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "crypto/aes_gcm.h"
#include "engine/node_record.h"
#include "net/socket.h"
#include "proxy/stream.h"

namespace pelto {

class ss_stream final : public stream {
public:
    explicit ss_stream(socket_handle connected_socket);  // takes ownership

    // Sends the request (and initial payload); the response is read lazily on the first read.
    // False with `out_error` set when the node's keys are unusable, the host is empty or longer
    // than 255 bytes, the request header would exceed 65535 bytes, a cryptographic step fails or
    // the send fails. The caller then destroys the stream, which closes the socket.
    bool request(const node_record& node, std::string_view host, std::uint16_t port,
                 const bytes& initial_payload, std::u16string& out_error);

    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override;
    bool write(const std::uint8_t* data, std::int32_t length) override;
    void close() override;
    ~ss_stream() override;

    static constexpr std::int32_t max_write_chunk = 16384;

private:
    using nonce = std::array<std::uint8_t, 12>;

    socket_handle current_socket();
    bool receive_response();
    bool receive_sealed(socket_handle socket, std::size_t plain_length, bytes& out);

    std::mutex lock_;
    socket_handle socket_;
    bool closed_ = false;

    // Send direction: used by `request`, then by the writing thread only.
    aes_gcm_key send_key_;
    nonce send_nonce_{};
    bytes send_frame_;
    bytes send_sealed_;

    // Receive direction: used by the reading thread only.
    aes_gcm_key receive_key_;
    nonce receive_nonce_{};
    bool response_received_ = false;
    bool receive_failed_ = false;
    bytes receive_sealed_;
    bytes plaintext_;
    std::size_t plaintext_offset_ = 0;

    bytes user_key_;
    std::array<std::uint8_t, 16> request_salt_{};
};

}  // namespace pelto
