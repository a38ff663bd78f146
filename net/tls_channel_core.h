#pragma once
// What both TLS backends (tls_channel_posix.cpp, tls_channel_win.cpp) keep the same way: each
// backend's `tls_channel::backend` derives from `tls_channel_core`, and the members of
// `tls_channel` that only touch this part are written once, in tls_channel.cpp. Nothing outside
// net/ includes this header.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "net/socket.h"
#include "net/socket_holder.h"
#include "net/tls_channel.h"

namespace pelto {

// The largest plaintext of one record.
constexpr std::int32_t tls_max_record_plaintext = 16384;
// One full record (header, the largest ciphertext) per socket read.
constexpr std::int32_t tls_receive_piece = 16384 + 2048 + 5;
// Records produced per socket send when one call sends a lot.
constexpr int tls_records_per_send = 4;

struct tls_channel_core {
    // Takes ownership of `connected_socket` and makes the checks every handshake starts with:
    // the channel unused (`already_used` false), the program not stopping, a server name. False
    // with `out_error` set otherwise; the socket is then closed, except when the channel was
    // already used (the one it holds stays).
    bool start_connect(socket_handle connected_socket, bool already_used, std::string_view server_name,
                       std::u16string& out_error);

    // One socket read into `receive_buffer` (grown to a full piece first): the bytes read, or 0
    // or less at end of stream, on error or after `close`.
    std::int32_t receive_some();
    // `receive_some` during the handshake: 1..tls_receive_piece bytes, or 0 with `out_error`
    // saying why (the program stopping, or the server closing). Leaves the socket open.
    std::int32_t receive_handshake(std::u16string& out_error);

    socket_holder socket;
    std::mutex context_lock;  // the provider's context and what it reads and makes
    std::mutex send_lock;     // socket sends and `send_buffer`
    bytes send_buffer;
    bytes receive_buffer;  // the receiving thread's socket reads (and the handshake's)
    std::atomic<bool> ended{false};
    std::atomic<std::uint16_t> version{0};  // the wire number once the handshake completed
};

// The shared part of a backend; defined beside each backend's definition.
tls_channel_core& core_of(tls_channel::backend& b);

}  // namespace pelto
