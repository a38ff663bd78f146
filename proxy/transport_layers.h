#pragma once
// The three transports of byte_io.h that this version offers: `raw_io` (plain TCP), `tls_io`
// (TLS through net/tls_channel.h) and `ws_io` (WebSocket framing over another byte_io, in
// practice a tls_io), and the choice among them for a VLESS node.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "proxy/node_record.h"
#include "net/socket_holder.h"
#include "net/tls_channel.h"
#include "proxy/byte_io.h"
#include "proxy/reality_io.h"
#include "proxy/ws_codec.h"

namespace pelto {

// Plain TCP. Owns its registered socket from construction; the destructor closes it.
class raw_io final : public byte_io {
public:
    explicit raw_io(socket_handle connected_socket) : socket_(connected_socket) {}
    ~raw_io() override { socket_.close(); }

    bool write(const std::uint8_t* data, std::int32_t length) override;
    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override;
    void close() override { socket_.close(); }

private:
    socket_holder socket_;
};

// TLS to the node. `connect` takes ownership of the socket whatever its outcome.
class tls_io final : public byte_io {
public:
    // `server_name` is UTF-8; it is used for SNI and the certificate check.
    bool connect(socket_handle connected_socket, std::string_view server_name,
                 std::u16string& out_error);

    bool write(const std::uint8_t* data, std::int32_t length) override;
    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override;
    void close() override { channel_.close(); }
    void start_direct_write() override { write_direct_ = true; }
    void start_direct_read() override;

private:
    tls_channel channel_;
    std::atomic<bool> write_direct_{false};
    bool read_direct_ = false;  // reading side
    bytes held_;                // what the channel held at the direct switch
    std::size_t held_begin_ = 0;
};

// WebSocket framing (RFC 6455, client side) over an inner transport it owns. `open` runs the
// opening handshake. Writes go out as single masked binary frames of at most 16384 payload bytes.
// Reads take data frames (continuations included) whatever their size, answer pings with pongs,
// skip pongs and empty data frames, and end the stream at a close frame or at any protocol error
// (RSV bits, reserved opcodes, an oversized or fragmented control frame, a payload over 8 MiB).
// One lock covers each whole outgoing frame, so the reader's pongs never land inside a frame
// of the writer's. The reader never waits for that lock: while a frame of the writer's is on its
// way (perhaps blocked on a peer that reads only after we do), pongs wait and the writer sends
// them right after its frame. At most 16 wait; beyond that the oldest are dropped, as RFC 6455
// allows answering only the latest ping.
class ws_io final : public byte_io {
public:
    explicit ws_io(std::unique_ptr<byte_io> inner) : inner_(std::move(inner)) {}

    // Sends the upgrade request for `path` with `host` as Host and checks the reply. False with
    // `out_error` set on failure.
    bool open(std::string_view host, std::string_view path, std::u16string& out_error);

    bool write(const std::uint8_t* data, std::int32_t length) override;
    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override;
    void close() override { inner_->close(); }

    static constexpr std::int32_t max_frame_payload = 16384;

private:
    // With the frame lock held: one whole frame.
    bool send_frame_locked(std::uint8_t opcode, byte_span payload);
    // Sends the waiting pong unless a writer holds the frame lock (it sends it after its frame).
    bool send_waiting_pong();
    bool send_waiting_pong_locked();
    bool fill(std::size_t needed);
    std::int32_t end();

    std::unique_ptr<byte_io> inner_;

    std::mutex frame_lock_;  // one outgoing frame at a time, and `frame_`
    bytes frame_;
    std::mutex pong_lock_;   // `pongs_`
    std::deque<bytes> pongs_;
    std::atomic<bool> pong_waiting_{false};
    std::atomic<bool> pong_failed_{false};

    // Reading side, used by the reading thread only.
    bytes received_;
    std::size_t begin_ = 0;  // first unparsed byte in `received_`
    std::size_t end_ = 0;    // end of the received bytes
    std::uint64_t payload_left_ = 0;  // of the current data frame
    std::uint64_t payload_offset_ = 0;
    bool payload_masked_ = false;
    ws_mask payload_mask_{};
    bool ended_ = false;
};

// The transport for a VLESS node, on a connected registered socket that it owns from here on:
// WebSocket inside TLS when the node asks for WebSocket, TLS when it asks for TLS, plain TCP
// otherwise. TLS server name: the node's SNI, else its host setting, else `server`; the WebSocket
// Host header: the host setting, else that server name. REALITY nodes get a reality_io with the
// node's SNI (else `server`).
// None with `out_error` set (and the socket closed) when a handshake fails.
std::unique_ptr<byte_io> open_vless_transport(const vless_settings& node, std::string_view server,
                                              socket_handle connected_socket,
                                              std::u16string& out_error);

}  // namespace pelto
