#pragma once
// One proxied TCP connection over Shadowsocks 2022 (BLAKE3 key derivation, AES-128-GCM),
// optionally with one identity header for multi-user servers.
//
// The stream owns its connected socket from construction. `request` sends the salt, the optional
// identity header and both request headers (with the caller's initial payload) in one send; it
// does not wait for the server. The server's response header is read and checked (type, a
// timestamp within 30 s of the local clock, the echo of our salt) by the first `read`. Both
// directions are AEAD chunk streams with their own key and counter nonce: a length (sealed on its
// own) and then the sealed payload, also when the length is 0 (an empty payload is its tag alone).
// `write` sends chunks of at most 16384 bytes; `read` accepts chunks up to 65535 bytes, and hands
// out a payload only after its tag has been checked.
//
// One thread may read while another writes and a third closes; the two directions share only the
// socket holder (net/socket_holder.h). After `close`, `read` returns 0 (even with opened bytes
// still buffered) and `write` false; after any receive, decryption or check failure `read`
// returns 0 for good.

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "crypto/aes_gcm.h"
#include "proxy/node_record.h"
#include "net/socket_holder.h"
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

    bool receive_response();
    bool receive_payload(std::size_t length);
    bool fill(std::size_t needed);
    bool open_front(std::size_t plain_length);

    socket_holder socket_;

    // Send direction: used by `request`, then by the writing thread only. A frame is sealed
    // straight into this buffer: length, its tag, payload, its tag.
    aes_gcm_key send_key_;
    nonce send_nonce_{};
    bytes send_frame_;

    // Receive direction: used by the reading thread only. Bytes arrive in `receive_buffer_` as
    // fast as the socket delivers them; each sealed unit is opened where it lies, and the opened
    // payload is handed out from [plain_begin_, plain_end_).
    aes_gcm_key receive_key_;
    nonce receive_nonce_{};
    bool response_received_ = false;
    bool receive_failed_ = false;
    bytes receive_buffer_;
    std::size_t data_begin_ = 0;  // first unconsumed received byte
    std::size_t data_end_ = 0;    // end of the received bytes
    std::size_t plain_begin_ = 0;
    std::size_t plain_end_ = 0;

    bytes user_key_;
    std::array<std::uint8_t, 16> request_salt_{};
};

}  // namespace pelto
