#pragma once
// The byte transport under a VLESS session: plain TCP, TLS, or WebSocket inside TLS.
//
// `write` sends every byte or fails; true for length 0, false for a negative length. `read`
// blocks until at least one byte is available and returns 1..capacity, or 0 for end of stream
// and for every error; the end is remembered, so later reads return 0 at once. `close` shuts
// the connection down at once (a blocked read returns 0, a blocked write false) and may come
// from any thread; afterwards `read` returns 0 and `write` false. It is idempotent. One thread
// may read while another writes. The destructor closes and releases everything.

#include <cstdint>

namespace pelto {

class byte_io {
public:
    virtual ~byte_io() = default;
    virtual bool write(const std::uint8_t* data, std::int32_t length) = 0;
    virtual std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) = 0;
    virtual void close() = 0;

    // The Vision flow's direct switch, once per direction, from the thread of that direction.
    // After `start_direct_write`, `write` sends to the socket without the layer's protection.
    // After `start_direct_read`, `read` hands out the plaintext already decrypted but not yet
    // returned, then the bytes received but not yet decrypted, then reads the socket directly.
    // A layer without protection of its own (plain TCP) has nothing to drop and ignores both.
    virtual void start_direct_write() {}
    virtual void start_direct_read() {}

    byte_io() = default;
    byte_io(const byte_io&) = delete;
    byte_io& operator=(const byte_io&) = delete;
};

}  // namespace pelto
