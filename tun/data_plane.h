#pragma once
// Everything that moves packets through the TUN device: the reader loop, the dispatch of received
// IPv4 packets, the user-space TCP endpoint (one flow per connection, each re-dialled by host
// name through the dial function), the hand-over of DNS queries and replies, and port
// unreachable for any other UDP to a routed address.
//
// Threads: one reader runs `run` (or a test calls `dispatch` and `timer_pass` itself); it alone
// sends to the device and changes sequence state and the flow table. Per TCP flow one worker
// (dial, then client→remote writes) and one remote reader (remote→client) exchange bytes with it
// through the flow's buffers under the flow's lock. `set_dial`, `set_ready`, `post_dns_reply`
// and `wake` may be called from any thread.
//
// The clock, the host lookup, the DNS hooks and the thread start are injected, so the whole
// endpoint runs in-process against an in-memory device table.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/bytes.h"
#include "proxy/stream.h"
#include "tun/device_table.h"
#include "tun/wake_handle.h"

namespace pelto::tun {

// Enough for a browser's worth of idle keep-alive connections; an idle flow costs two blocked
// threads and a few pages.
inline constexpr std::size_t max_flows = 1024;
inline constexpr std::size_t max_segment = 1380;
inline constexpr std::int32_t receive_threshold = 200000;
// Client bytes buffered at most: the threshold plus one full window, so a segment the client was
// allowed to send is never dropped. The window offered is what is left of it, at most 65535.
inline constexpr std::int32_t receive_limit = receive_threshold + 65535;
inline constexpr std::size_t to_client_cap = 256 * 1024;
// Bytes towards the client in flight at most, whatever a scaled window allows: with segmentation
// offload several 63 KiB segments go out per round trip, and the retransmission copies stay
// bounded per flow.
inline constexpr std::uint32_t max_in_flight = 256 * 1024;
inline constexpr std::int64_t retransmit_ns = 500'000'000;
inline constexpr std::int64_t zero_window_probe_ns = 500'000'000;
inline constexpr int max_sends = 5;
inline constexpr int max_synack_resends = 5;
inline constexpr std::int32_t reader_wait_ms = 200;
inline constexpr std::int32_t worker_idle_wait_ms = 60000;
// The reader's wait when the last timer pass found every flow idle (no retransmission, SYN+ACK,
// probe or FIN due): every change that could arm a timer also wakes the reader.
inline constexpr std::int32_t reader_idle_wait_ms = 1000;
inline constexpr std::size_t max_dns_replies = 128;
// Received packets between two rounds of coalesced ACKs while the device is drained.
inline constexpr std::size_t ack_batch = 64;
// What a remote reader asks its stream for at once.
inline constexpr std::size_t remote_read_size = 64 * 1024;

// A UDP exchange with the virtual DNS address, as captured or as replied.
struct dns_datagram {
    std::uint32_t client_address = 0;
    std::uint16_t client_port = 0;
    bytes payload;
};

struct data_plane_config {
    const device_table* device = nullptr;
    void* session = nullptr;
    std::uint32_t virtual_dns_address = 0;  // network order
    std::function<std::int64_t()> clock;    // monotonic nanoseconds
    // The routed host name remembered for a destination address, or empty.
    std::function<std::string(std::uint32_t address)> host_for_address;
    // A UDP query to the virtual DNS address (port 53). Must not block.
    std::function<void(dns_datagram query)> dns_capture;
    // Answers one DNS-over-TCP query (empty: no answer). Called on DNS flows' workers.
    std::function<bytes(byte_span query)> dns_answer;
    // One line for the TUN log.
    std::function<void(std::u16string_view line)> log;
    // Starts a thread; false when it cannot be started. Tests inject failures; empty means
    // std::thread (whose failure to start is caught).
    std::function<bool(std::function<void()> body, std::thread& out)> start_thread;
    // Test seam: called on a flow's worker after a failed dial's outcome (reset owed, whether it
    // is reported) has been decided and the flow's lock released, before the report. Empty in
    // the product.
    std::function<void()> dial_failure_decided;
};

struct flow_key {
    std::uint32_t src_addr, dst_addr;
    std::uint16_t src_port, dst_port;
    auto tie() const { return std::tie(src_addr, dst_addr, src_port, dst_port); }
    bool operator<(const flow_key& o) const { return tie() < o.tie(); }
};

struct flow;
struct tcp_header;

class data_plane {
public:
    explicit data_plane(data_plane_config config);
    ~data_plane();  // closes and joins every flow
    data_plane(const data_plane&) = delete;
    data_plane& operator=(const data_plane&) = delete;

    // Replaces the dial function new flows use; a flow takes the one current when it is accepted.
    void set_dial(dial_fn dial);
    // While not ready, new SYNs (but DNS ones) are refused and `timer_pass` resets (RST to the
    // client) and closes every non-DNS flow, those still dialling too. Becoming not ready marks
    // every flow open at that moment for reset, even when ready is set again before the next
    // pass (a session ending and the next one starting on another node).
    void set_ready(bool ready);

    // One received packet; everything kept is copied.
    void dispatch(byte_span packet);
    // Timers, pending data, FINs, retransmissions, sweeping, and the DNS replies.
    void timer_pass();
    // The reader loop: drain the device, timers, replies, sleep until the device or the wake
    // handle signals (200 ms at most). Returns when `running` is cleared (or the device ends,
    // which also clears it), after closing and joining every flow.
    void run(std::atomic<bool>& running);
    // Resets (RST to the client) and closes every flow, joins their threads; the table is empty
    // afterwards. `run` does this when it ends. A worker still inside its dial is not waited for
    // (a dial may take a connect time-out and a handshake's reads): it is let go, finds its flow
    // closed when the dial returns, closes what it got and ends without touching the plane, so
    // the plane may be destroyed meanwhile.
    void close_all();

    // A DNS reply to send to a client; at most 128 wait. Replies over 1400 bytes go out as a
    // truncated reply (question only, TC set) so the client retries over TCP.
    void post_dns_reply(dns_datagram reply);
    void wake() { wake_.signal(); }

    std::size_t flow_count() const;
    std::uint16_t next_identification() const { return ident_.load(); }

private:
    void tcp_input(std::uint32_t src, std::uint32_t dst, byte_span segment);
    void udp_input(byte_span packet, std::uint32_t src, std::uint32_t dst, byte_span segment);
    void accept_syn(const flow_key& key, const tcp_header& syn, byte_span payload);
    void deliver(const std::shared_ptr<flow>& f, byte_span data, bool fin);
    // While `run` drains the device, in order data is acknowledged (and its worker woken) once
    // per batch: `owe_ack` notes the flow, `settle_owed` sends what is owed.
    void owe_ack(const std::shared_ptr<flow>& f);
    void settle_owed();
    // Sends the client an RST (once) and closes the flow; nothing for a flow already closed.
    void reset_flow(const std::shared_ptr<flow>& f);
    // `now` is the pass's clock reading: one per pass, not one per flow.
    void send_pending(const std::shared_ptr<flow>& f, std::int64_t now);
    void retransmit_check(const std::shared_ptr<flow>& f, std::int64_t now);
    void sweep();
    void flush_dns_replies();

    bool send_flow(const flow& f, std::uint8_t flags, std::uint32_t seq, byte_span data,
                   bool with_mss = false);
    bool send_ack(const flow& f);
    bool send_raw_tcp(std::uint32_t src, std::uint32_t dst, std::uint16_t sport,
                      std::uint16_t dport, std::uint8_t flags, std::uint32_t seq,
                      std::uint32_t ack, std::uint16_t window);
    // Sends `packet` with `tail` behind it as one packet.
    bool emit(const bytes& packet, byte_span tail = {});
    std::uint16_t window_of(const flow& f) const;
    // Data bytes per segment sent: 1380, or more when the device cuts segments itself.
    std::size_t segment_limit() const;
    bool start(std::function<void()> body, std::thread& out);

    void flow_worker(std::shared_ptr<flow> f, std::shared_ptr<const dial_fn> dial);
    void remote_reader(std::shared_ptr<flow> f);
    void dns_responder(const std::shared_ptr<flow>& f);
    void report_dial_failure(const std::string& host, const std::u16string& error);

    data_plane_config config_;
    wake_handle wake_;
    std::atomic<bool> ready_{true};
    std::atomic<std::uint32_t> reset_epoch_{0};
    std::atomic<std::uint16_t> ident_{0};

    std::map<flow_key, std::shared_ptr<flow>> flows_;  // the reader's own
    mutable std::mutex count_lock_;
    std::size_t published_count_ = 0;

    std::mutex dial_lock_;
    std::shared_ptr<const dial_fn> dial_;

    std::mutex failed_lock_;
    std::vector<std::string> failed_hosts_;

    std::mutex reply_lock_;
    std::vector<dns_datagram> replies_;

    bytes scratch_;
    bool draining_ = false;  // the reader's own
    bool idle_ = false;      // the last timer pass found nothing to do (the reader's own)
    std::vector<std::shared_ptr<flow>> owed_;
};

}  // namespace pelto::tun
