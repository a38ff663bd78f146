#pragma once
// One VLESS connection to a node over a byte_io transport (raw TCP, TLS, or WebSocket inside
// TLS, or REALITY), with or without the Vision flow, and the stream that relays through it.
//
// `vless_dial` connects, prepares the node's transport, and sends the request header (with the
// caller's first payload behind it in the same transport write). The server's response header
// is read and checked (version 0, addons skipped) by the first `read`; a wrong version ends the
// stream. After that, reads and writes carry the destination's bytes unchanged.
//
// One thread may read while another writes; `close` may come from any thread and wakes both (the
// transport is closed, not destroyed, so a running call never loses it). The destructor closes.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "proxy/node_record.h"
#include "proxy/byte_io.h"
#include "proxy/stream.h"
#include "proxy/vless_codec.h"
#include "proxy/vision_codec.h"

namespace pelto {

class vless_link {
public:
    virtual ~vless_link() = default;
    virtual std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) = 0;
    virtual bool write(const std::uint8_t* data, std::int32_t length) = 0;
    virtual void close() = 0;

    vless_link() = default;
    vless_link(const vless_link&) = delete;
    vless_link& operator=(const vless_link&) = delete;
};

// With the Vision flow, the destination's bytes travel in Vision frames (vision_codec.h) until
// the inner TLS handshake is over: the write that carries whole inner application-data records
// after an inner ClientHello and a TLS 1.3 ServerHello goes out as a command-2 frame, after which
// writes leave raw on the socket (the layer's protection dropped); likewise a received command-2
// frame switches reads to the raw socket, after the bytes the layer still holds. Command 1, or a
// peer whose first 16 bytes are not the user id, ends the framing but keeps the layer.
class vless_session final : public vless_link {
public:
    using flow = vless_flow;

    vless_session(std::unique_ptr<byte_io> transport, const vless_user_id& user, flow mode = flow::plain)
        : transport_(std::move(transport)), user_(user), vision_(mode == flow::vision), unframer_(user)
    {
    }
    ~vless_session() override;

    // Sends the request header for `host`:`port` with `first_payload` behind it (framed with
    // Vision). False with `out_error` set when the host is empty or longer than 255 bytes, or
    // the write fails.
    bool send_request(std::string_view host, std::uint16_t port, const bytes& first_payload,
                      std::u16string& out_error);

    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override;
    bool write(const std::uint8_t* data, std::int32_t length) override;
    void close() override;

private:
    bool receive_response();
    std::int32_t read_vision(std::uint8_t* buffer, std::int32_t capacity);
    bool write_vision(const std::uint8_t* data, std::int32_t length);
    std::int32_t hand_out(std::uint8_t* buffer, std::int32_t capacity);

    std::unique_ptr<byte_io> transport_;
    vless_user_id user_;
    const bool vision_;
    // Reading side only.
    bool response_received_ = false;
    bool ended_ = false;
    bytes received_;
    std::size_t begin_ = 0;
    vision_unframer unframer_;
    bytes data_;  // unframed destination bytes not yet returned
    std::size_t data_begin_ = 0;
    bool read_direct_ = false;
    // Writing side only, but for the two inner-TLS observations the reader makes.
    bool first_frame_ = true;
    bool write_direct_ = false;
    std::atomic<bool> inner_client_tls_{false};
    std::atomic<bool> inner_server_tls13_{false};
    bytes frame_;
};

// Connects to the node (`server`:`port`) and asks it for `host`:`dest_port`. None with
// `out_error` set by the failing step (the node's settings, connect, TLS, WebSocket, request);
// nothing is left open then.
std::unique_ptr<vless_link> vless_dial(const vless_settings& node, std::string_view server,
                                       std::uint16_t port, std::string_view host,
                                       std::uint16_t dest_port, std::int32_t connect_timeout_ms,
                                       std::int32_t io_timeout_ms, const bytes& first_payload,
                                       std::u16string& out_error);

// A stream over an owned VLESS link. Forwards every call; with none, reads 0, writes false and
// closes without effect. Destroying it destroys the link, which closes it.
class vless_stream final : public stream {
public:
    explicit vless_stream(std::unique_ptr<vless_link> link) : link_(std::move(link)) {}

    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override
    {
        return link_ ? link_->read(buffer, capacity) : 0;
    }
    bool write(const std::uint8_t* data, std::int32_t length) override
    {
        return link_ ? link_->write(data, length) : false;
    }
    void close() override
    {
        if (link_) {
            link_->close();
        }
    }

private:
    std::unique_ptr<vless_link> link_;
};

}  // namespace pelto
