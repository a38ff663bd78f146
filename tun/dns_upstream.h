#pragma once
// One DNS exchange with the real server, from this machine and outside the tunnel: a UDP
// datagram, or a TCP connection carrying one length-prefixed message. The socket is bound to the
// default interface's address when one is known (so the query never enters the adapter), connects
// within 2 s and sends and receives within 2000 ms each.
//
// Every open socket is entered in the caller's `upstream_sockets`; `shutdown_all` shuts them down
// in both directions, so blocked exchanges return at once, and refuses new ones until `reset`.

#include <cstdint>
#include <mutex>
#include <vector>

#include "base/bytes.h"

namespace pelto::tun {

struct upstream_target {
    std::uint32_t address = 0;       // network order; 0: none known, nothing is sent
    std::uint16_t port = 53;
    std::uint32_t bind_address = 0;  // network order; 0: let the system choose
};

enum class dns_transport { udp, tcp };

class upstream_sockets {
public:
    // False (socket not entered) once `shutdown_all` was called.
    bool enter(std::uint64_t socket);
    void leave(std::uint64_t socket);
    void shutdown_all();
    void reset();

private:
    std::mutex lock_;
    std::vector<std::uint64_t> open_;
    bool stopped_ = false;
};

// True with the server's message in `out_answer` (UDP: one datagram of 12..4096 bytes; TCP: a
// message of 12..65535 bytes read in full). False on any failure: nothing to bind or connect, a
// time-out, a short exchange, or a shutdown.
bool exchange_with_upstream(const upstream_target& target, dns_transport transport,
                            byte_span query, upstream_sockets& sockets, bytes& out_answer);

// One query and its answer over a connected upstream socket, shared by both platforms'
// `exchange_with_upstream`: over TCP with the two-byte length prefix, over UDP as one datagram.
// False when the socket fails or the answer is shorter than a DNS header.
bool run_upstream_exchange(std::uint64_t socket, dns_transport transport, byte_span query, bytes& out_answer);

}  // namespace pelto::tun
