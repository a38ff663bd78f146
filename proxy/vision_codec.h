#pragma once
// The Vision flow's frames and the inner-TLS observations that drive it. Pure code over bytes.
//
// Frame: [16-byte user id, first frame of a direction only] command (0 continue, 1 end,
// 2 direct), content length (16-bit), padding length (16-bit), content, padding.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/bytes.h"
#include "proxy/vless_codec.h"

namespace pelto {

inline constexpr std::uint8_t vision_continue = 0;
inline constexpr std::uint8_t vision_end = 1;
inline constexpr std::uint8_t vision_direct = 2;
inline constexpr std::size_t vision_max_content = 8000;
inline constexpr std::size_t vision_header_size = 5;

// The 16-byte flow name and the VLESS addons that ask for the Vision flow.
bytes vision_request_addons();

// Padding for `content_size` bytes: short content after an inner ClientHello is padded up to
// 900..1399 bytes in all, anything else gets 0..255 bytes; never beyond a frame of 8176 bytes.
// `draw` supplies the randomness (3 bytes).
std::size_t vision_padding_length(std::size_t content_size, bool inner_client_tls,
                                  std::span<const std::uint8_t, 3> draw);

// Appends one frame with fresh random padding of `padding` bytes. `user` is prefixed when given.
// Content is at most vision_max_content bytes.
void vision_emit_frame(const vless_user_id* user, std::uint8_t command, byte_span content, std::size_t padding,
                       bytes& out);

// A TLS ClientHello record starts the buffer (handshake record, message type 1).
bool vision_is_client_hello(byte_span data);
// A TLS handshake record starts the buffer and, within its received part, offers
// supported_versions = TLS 1.3 (a TLS 1.3 ServerHello).
bool vision_is_tls13_server_hello(byte_span data);
// The buffer is, exactly, one or more complete TLS application-data records.
bool vision_is_whole_app_data_records(byte_span data);

// The receiving side's frame parser. `feed` consumes bytes and appends frame content to `out`;
// it keeps partial headers and a partial user id itself. It stops consuming where the stream
// stops being framed (the peer's first 16 bytes are not the user id, or a frame with command 1
// or 2 ended): the unconsumed rest and everything after are plain stream bytes.
class vision_unframer {
public:
    explicit vision_unframer(const vless_user_id& user) : user_(user) {}

    std::size_t feed(byte_span in, bytes& out);

    bool framed() const { return mode_ == mode::framed; }
    // A frame with command 2 ended: the peer dropped the outer protection after it.
    bool direct() const { return mode_ == mode::direct; }
    // Bytes kept while waiting for the peer's user id. At the end of the stream they are stream
    // data, not a frame.
    bytes take_held_id();

private:
    enum class mode { framed, plain, direct };

    vless_user_id user_;
    mode mode_ = mode::framed;
    bool id_seen_ = false;
    std::array<std::uint8_t, 16> id_{};
    std::size_t id_fill_ = 0;
    std::array<std::uint8_t, vision_header_size> header_{};
    std::size_t header_fill_ = 0;
    std::uint8_t command_ = 0;
    std::size_t content_left_ = 0;
    std::size_t padding_left_ = 0;
    bool in_frame_ = false;  // a header has been read and its content/padding are running
};

}  // namespace pelto
