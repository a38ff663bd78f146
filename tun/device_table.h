#pragma once
// The eleven calls through which TUN mode uses its layer-3 device, in the form of the Windows
// adapter library: adapters, a session with a receive ring and a send ring, and an event that is
// signalled while received packets wait. On Windows the table is filled from the library that is
// written out of the program's resources; on Linux a `/dev/net/tun` device stands behind the same
// calls; tests fill it with an in-memory device.
//
// Contracts relied on (handles are opaque):
// - `receive_packet` returns the next received IP packet and its size, or null when none waits;
//   after a null, `last_error()` is `device_error_end` when the device is gone (end of stream).
//   A returned packet stays valid until `release_receive_packet`.
// - `allocate_send_packet` returns a writable packet of the size asked for, or null when the send
//   ring is full; `send_packet` queues it.
// - `get_read_wait_event` gives a waitable handle (an event on Windows, a file descriptor on
//   Linux) that is not closed by the caller.
// `last_error` is not one of the device's calls: it reads the calling thread's last error.
// A received packet may be larger than the link's MTU where the device hands over TCP data the
// system sent in one piece (Linux offload); its checksum fields are then not complete.

#include <cstdint>

namespace pelto::tun {

inline constexpr std::uint32_t device_error_end = 38;  // "end of file" on the receive ring
inline constexpr std::uint32_t device_error_none = 0;
inline constexpr std::uint32_t ring_capacity = 0x400000;

struct device_guid {
    std::uint32_t data1;
    std::uint16_t data2, data3;
    std::uint8_t data4[8];
};

// The one GUID our adapter is created with, {6F4B2A91-8C3E-4D17-B255-7A1E9C40D86B}: the same
// adapter identity at every start, so the system keeps one network profile for it instead of a
// new one per run.
inline constexpr device_guid adapter_guid = {0x6F4B2A91, 0x8C3E, 0x4D17, {0xB2, 0x55, 0x7A, 0x1E, 0x9C, 0x40, 0xD8, 0x6B}};

struct device_table {
    using adapter_handle = void*;
    using session_handle = void*;

    adapter_handle (*create_adapter)(const char16_t* name, const char16_t* tunnel_type,
                                     const device_guid* requested) = nullptr;
    adapter_handle (*open_adapter)(const char16_t* name) = nullptr;
    void (*close_adapter)(adapter_handle adapter) = nullptr;
    void (*get_adapter_luid)(adapter_handle adapter, std::uint64_t* out_luid) = nullptr;
    session_handle (*start_session)(adapter_handle adapter, std::uint32_t capacity) = nullptr;
    void (*end_session)(session_handle session) = nullptr;
    void* (*get_read_wait_event)(session_handle session) = nullptr;
    std::uint8_t* (*receive_packet)(session_handle session, std::uint32_t* out_size) = nullptr;
    void (*release_receive_packet)(session_handle session, const std::uint8_t* packet) = nullptr;
    std::uint8_t* (*allocate_send_packet)(session_handle session, std::uint32_t size) = nullptr;
    void (*send_packet)(session_handle session, const std::uint8_t* packet) = nullptr;

    std::uint32_t (*last_error)() = nullptr;

    // Not a call: the most TCP data one sent packet may carry. Above one segment's worth the
    // device cuts such a packet itself into segments of `announced_mss` bytes (completing their
    // checksums), so the sender may hand it whole. 0: every packet goes out as it is given.
    std::uint32_t tcp_send_limit = 0;

    bool complete() const
    {
        return create_adapter && open_adapter && close_adapter && get_adapter_luid &&
               start_session && end_session && get_read_wait_event && receive_packet &&
               release_receive_packet && allocate_send_packet && send_packet && last_error;
    }
};

}  // namespace pelto::tun
