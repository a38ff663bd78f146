#include "tun/data_plane.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <system_error>

#include "base/obfuscated.h"
#include "crypto/random.h"
#include "tun/dns_message.h"
#include "tun/packet.h"

namespace pelto::tun {

// A segment sent and not yet acknowledged. Its bytes are a piece of the block they were sent
// from, shared by every segment cut from it (no copy per segment).
struct segment_record {
    std::uint32_t seq = 0;
    std::shared_ptr<const bytes> block;
    std::size_t offset = 0, length = 0;
    bool fin = false;
    int tries = 1;
    std::int64_t sent_at = 0;

    byte_span data() const { return block ? byte_span(*block).subspan(offset, length) : byte_span(); }
};

// The connection as the reader sees it: the SYN+ACK sent and not yet acknowledged, then open, then
// our FIN sent (the client may still send). A reset sent ends every state, and closes the flow.
enum class tcp_state { syn_received, established, fin_sent, reset_sent };

struct flow {
    flow_key key{};
    std::string host;
    bool is_dns = false;
    std::uint32_t reset_epoch = 0;  // the plane's epoch when the flow was accepted

    // The reader's own.
    std::uint32_t iss = 0, snd_una = 0, snd_nxt = 0, rcv_nxt = 0;
    // The client's window in bytes: its window field shifted by the scale its SYN announced
    // (window scaling is on only when it did; our own shift is 0).
    std::uint32_t peer_window = 65535;
    std::uint8_t peer_window_shift = 0;
    bool window_scaling = false;
    // The segment that last set the window (its seq and ack): older ones leave it alone.
    std::uint32_t snd_wl1 = 0, snd_wl2 = 0;
    tcp_state state = tcp_state::syn_received;
    bool zero_window_advertised = false;
    // Within one drain of the device: an ACK and a wake-up of the worker are owed (sent once
    // when the drain ends, or with the next segment to the client).
    bool ack_owed = false;
    bool in_owed = false;
    int synack_tries = 0;
    std::int64_t synack_sent_at = 0;
    std::int64_t last_probe_at = 0;
    std::deque<segment_record> retx_queue;

    // The handshake is over: data may flow (whatever came after).
    bool handshake_done() const { return state != tcp_state::syn_received; }

    // Shared with the worker and the remote reader. Each of these is one fact set by one side
    // (the reader closes; the worker asks for a reset; the client's FIN, the remote's end and the
    // worker's end each arrive on their own), and any of them may hold together: they stay
    // separate flags rather than one state.
    std::atomic<std::int32_t> to_remote_size{0};
    std::atomic<bool> closed{false};
    std::atomic<bool> reset_pending{false};
    std::atomic<bool> fin_received{false};
    std::atomic<bool> remote_eof{false};
    std::atomic<bool> worker_done{false};

    std::mutex lock;  // guards to_remote, to_client, remote
    std::condition_variable wake;
    bytes to_remote;
    std::deque<std::uint8_t> to_client;
    // `to_client` is not empty: set under `lock` by whoever appends, cleared by the reader when it
    // takes the last byte, read without the lock by the timer pass to pass over idle flows.
    std::atomic<bool> client_data{false};
    // Published by the reader: at least two full segments are unacknowledged, so the client's
    // next acknowledgement comes without delay and wakes the reader, which then sends what the
    // remote reader added meanwhile; the remote reader need not signal.
    std::atomic<bool> ack_due{false};
    std::unique_ptr<tun_conn> remote;
    // The worker is inside its dial (guarded by `lock`): a flow closed meanwhile is not waited
    // for; the worker finds it closed when the dial returns.
    bool dialling = false;

    std::thread worker;  // joined by the reader (let go while it dials, see close_all)

    // Closes the flow from the reader: no more segments, the threads wind down.
    void close_now()
    {
        {
            std::lock_guard hold(lock);
            closed = true;
            if (remote) {
                remote->close();
            }
        }
        wake.notify_all();
    }

    ~flow()
    {
        if (remote) {
            remote->close();
        }
    }
};

namespace {

std::uint32_t initial_sequence()
{
    std::uint8_t raw[4];
    random_bytes(raw);
    std::uint32_t out = 0;
    std::memcpy(&out, raw, 4);
    return out;
}

}  // namespace

data_plane::data_plane(data_plane_config config) : config_(std::move(config)) {}

data_plane::~data_plane() { close_all(); }

void data_plane::set_dial(dial_fn dial)
{
    auto shared = std::make_shared<const dial_fn>(std::move(dial));
    std::lock_guard hold(dial_lock_);
    dial_ = std::move(shared);
}

void data_plane::set_ready(bool ready)
{
    if (!ready) {
        // Every flow open now is reset at the next pass, even if ready comes back before it.
        reset_epoch_.fetch_add(1);
    }
    ready_ = ready;
    wake_.signal();
}

std::size_t data_plane::flow_count() const
{
    std::lock_guard hold(count_lock_);
    return published_count_;
}

bool data_plane::start(std::function<void()> body, std::thread& out)
{
    if (config_.start_thread) {
        return config_.start_thread(std::move(body), out);
    }
    try {
        out = std::thread(std::move(body));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

// ---- output ----

bool data_plane::emit(const bytes& packet, byte_span tail)
{
    std::uint8_t* slot = config_.device->allocate_send_packet(
        config_.session, static_cast<std::uint32_t>(packet.size() + tail.size()));
    if (slot == nullptr) {
        return false;
    }
    std::memcpy(slot, packet.data(), packet.size());
    if (!tail.empty()) {
        std::memcpy(slot + packet.size(), tail.data(), tail.size());
    }
    config_.device->send_packet(config_.session, slot);
    return true;
}

std::size_t data_plane::segment_limit() const
{
    // A device that cuts segments itself takes a window's worth in one packet.
    return std::max<std::size_t>(max_segment, config_.device->tcp_send_limit);
}

std::uint16_t data_plane::window_of(const flow& f) const
{
    // The right edge never moves back: data arriving and data accepted move together, and only
    // the worker taking the buffer opens the window again.
    const std::int32_t room = receive_limit - f.to_remote_size.load();
    return static_cast<std::uint16_t>(std::clamp<std::int32_t>(room, 0, 65535));
}

bool data_plane::send_raw_tcp(std::uint32_t src, std::uint32_t dst, std::uint16_t sport,
                              std::uint16_t dport, std::uint8_t flags, std::uint32_t seq,
                              std::uint32_t ack, std::uint16_t window)
{
    tcp_out out{src, dst, sport, dport, flags, seq, ack, window, false};
    scratch_.clear();
    return build_tcp(out, {}, ident_.fetch_add(1), scratch_) && emit(scratch_);
}

bool data_plane::send_flow(const flow& f, std::uint8_t flags, std::uint32_t seq, byte_span data,
                           bool with_mss)
{
    // Towards the client: our side is the address it connected to.
    // A segment larger than one is cut by the device, which also completes its checksum.
    const tcp_checksum sum = data.size() > max_segment ? tcp_checksum::pseudo_header : tcp_checksum::full;
    tcp_out out{f.key.dst_addr, f.key.src_addr, f.key.dst_port, f.key.src_port, flags, seq,
                f.rcv_nxt, window_of(f), with_mss, sum};
    if (with_mss && f.window_scaling) {
        out.window_scale = 0;  // the SYN+ACK's answer: the client's windows are scaled, ours not
    }
    const_cast<flow&>(f).ack_owed = false;  // every segment carries the acknowledgement
    scratch_.clear();
    return build_tcp_headers(out, data, ident_.fetch_add(1), scratch_) && emit(scratch_, data);
}

bool data_plane::send_ack(const flow& f)
{
    const_cast<flow&>(f).zero_window_advertised = window_of(f) < max_segment;
    return send_flow(f, tcp_ack, f.snd_nxt, {});
}

// ---- input ----

void data_plane::dispatch(byte_span packet)
{
    const auto ip = parse_ipv4_packet(packet);
    if (!ip) {
        return;
    }
    if (ip->header.protocol == ip_proto_tcp) {
        tcp_input(ip->header.source, ip->header.destination, ip->segment);
    } else if (ip->header.protocol == ip_proto_udp) {
        udp_input(packet, ip->header.source, ip->header.destination, ip->segment);
    }
}

void data_plane::udp_input(byte_span packet, std::uint32_t src, std::uint32_t dst,
                           byte_span segment)
{
    if (dst != config_.virtual_dns_address) {
        // Nothing carries UDP to a routed address (QUIC, say): port unreachable at once, so the
        // program falls back to TCP instead of waiting for answers that never come.
        if (config_.host_for_address && !config_.host_for_address(dst).empty()) {
            scratch_.clear();
            if (build_icmp_port_unreachable(packet, ident_.fetch_add(1), scratch_)) {
                emit(scratch_);
            }
        }
        return;
    }
    const auto udp = parse_udp_datagram(segment);
    if (!udp || udp->header.destination_port != 53 || !config_.dns_capture) {
        return;
    }
    config_.dns_capture(
        {src, udp->header.source_port, bytes(udp->payload.begin(), udp->payload.end())});
}

void data_plane::tcp_input(std::uint32_t src, std::uint32_t dst, byte_span segment)
{
    const auto parsed = parse_tcp_segment(segment);
    if (!parsed) {
        return;
    }
    const tcp_header& h = parsed->header;
    const byte_span payload = parsed->payload;
    const flow_key key{src, dst, h.source_port, h.destination_port};
    const auto found = flows_.find(key);

    if (h.flags & tcp_rst) {
        if (found != flows_.end()) {
            found->second->close_now();
        }
        return;
    }
    if (found == flows_.end()) {
        if (h.flags & tcp_syn) {
            accept_syn(key, h, payload);
        } else if (h.flags & tcp_ack) {
            send_raw_tcp(dst, src, h.destination_port, h.source_port, tcp_rst, h.ack, 0, 0);
        } else {
            const std::uint32_t ack = h.seq + static_cast<std::uint32_t>(payload.size()) +
                                      ((h.flags & tcp_fin) ? 1 : 0);
            send_raw_tcp(dst, src, h.destination_port, h.source_port, tcp_rst | tcp_ack, 0, ack, 0);
        }
        return;
    }

    const std::shared_ptr<flow> f = found->second;
    if (f->closed) {
        return;
    }
    // A SYN occupies one sequence number: data on a SYN starts behind it.
    std::uint32_t seq = h.seq;
    if (h.flags & tcp_syn) {
        if (!f->handshake_done()) {
            send_flow(*f, tcp_syn | tcp_ack, f->iss, {}, true);
            f->synack_sent_at = config_.clock();
        }
        seq += 1;
    }
    if ((h.flags & tcp_ack) && seq_diff(h.ack, f->snd_una) >= 0 && seq_diff(f->snd_nxt, h.ack) >= 0) {
        // The window is taken from an acceptable segment no older than the one that set it.
        if (seq_before(f->snd_wl1, h.seq) ||
            (f->snd_wl1 == h.seq && seq_diff(h.ack, f->snd_wl2) >= 0)) {
            // A SYN's window is never scaled.
            f->peer_window = (h.flags & tcp_syn) ? h.window
                                                  : static_cast<std::uint32_t>(h.window) << f->peer_window_shift;
            f->snd_wl1 = h.seq;
            f->snd_wl2 = h.ack;
        }
        f->snd_una = h.ack;
        if (!f->handshake_done() && seq_diff(h.ack, f->iss) > 0) {
            f->state = tcp_state::established;
        }
        while (!f->retx_queue.empty()) {
            segment_record& front = f->retx_queue.front();
            const std::int32_t d = seq_diff(h.ack, front.seq);
            if (d < 0) {
                break;
            }
            const std::size_t span = front.length + (front.fin ? 1 : 0);
            if (static_cast<std::size_t>(d) < span) {
                const std::size_t cut = std::min<std::size_t>(static_cast<std::size_t>(d), front.length);
                front.offset += cut;
                front.length -= cut;
                front.seq += static_cast<std::uint32_t>(cut);
                break;
            }
            f->retx_queue.pop_front();
        }
        f->ack_due = f->snd_nxt - f->snd_una >= 2 * max_segment;
    }
    const bool fin = (h.flags & tcp_fin) != 0;
    if (payload.empty() && !fin) {
        if (seq != f->rcv_nxt) {
            send_ack(*f);  // a keep-alive probe (or an old segment) is answered with our state
        }
        return;
    }
    const std::uint32_t length = static_cast<std::uint32_t>(payload.size());
    const std::int32_t offset = seq_diff(f->rcv_nxt, seq);
    if (offset > 0) {
        if (static_cast<std::uint32_t>(offset) < length) {
            deliver(f, payload.subspan(static_cast<std::size_t>(offset)), fin);
        } else if (fin && !f->fin_received && seq + length == f->rcv_nxt) {
            deliver(f, {}, true);
        } else {
            send_ack(*f);
        }
    } else if (offset == 0) {
        deliver(f, payload, fin);
    } else {
        send_ack(*f);  // out of order: not kept, the client sends it again
    }
}

void data_plane::accept_syn(const flow_key& key, const tcp_header& syn, byte_span payload)
{
    const std::uint32_t seq = syn.seq;
    const bool is_dns = key.dst_addr == config_.virtual_dns_address && key.dst_port == 53;
    auto refuse = [&] {
        send_raw_tcp(key.dst_addr, key.src_addr, key.dst_port, key.src_port, tcp_rst | tcp_ack, 0,
                     seq + 1, 0);
    };
    std::string host;
    if (!is_dns) {
        if (!ready_) {
            refuse();
            return;
        }
        host = config_.host_for_address ? config_.host_for_address(key.dst_addr) : std::string();
        if (host.empty()) {
            refuse();
            return;
        }
    }
    if (flows_.size() >= max_flows) {
        return;  // silently: the client's own SYN retry may find room
    }
    auto f = std::make_shared<flow>();
    f->key = key;
    f->host = std::move(host);
    f->is_dns = is_dns;
    f->reset_epoch = reset_epoch_.load();
    f->iss = initial_sequence();
    f->snd_una = f->iss;
    f->snd_nxt = f->iss + 1;
    f->rcv_nxt = seq + 1;
    f->peer_window = syn.window;
    f->window_scaling = syn.window_scale >= 0;
    f->peer_window_shift = static_cast<std::uint8_t>(std::max<std::int8_t>(syn.window_scale, 0));
    f->snd_wl1 = seq;
    f->snd_wl2 = f->iss;
    f->dialling = !is_dns;
    flows_[key] = f;

    send_flow(*f, tcp_syn | tcp_ack, f->iss, {}, true);
    f->synack_sent_at = config_.clock();

    // The worker gets everything it needs before its dial here: a worker let go by a stop may
    // not have run at all before the plane is gone.
    std::shared_ptr<const dial_fn> dial;
    if (!is_dns) {
        std::lock_guard hold(dial_lock_);
        dial = dial_;
    }
    if (!start([this, f, dial] { flow_worker(f, dial); }, f->worker)) {
        // Without a worker the flow can never dial: forget it and refuse the connection.
        flows_.erase(key);
        f->closed = true;
        send_raw_tcp(key.dst_addr, key.src_addr, key.dst_port, key.src_port, tcp_rst | tcp_ack,
                     f->snd_nxt, f->rcv_nxt, 0);
        return;
    }
    {
        std::lock_guard hold(count_lock_);
        published_count_ = flows_.size();
    }
    if (!payload.empty() || (syn.flags & tcp_fin)) {
        deliver(f, payload, (syn.flags & tcp_fin) != 0);
    }
}

void data_plane::deliver(const std::shared_ptr<flow>& f, byte_span data, bool fin)
{
    // Everything inside the window we advertised fits: the window is what is left of the limit.
    if (data.empty() ||
        f->to_remote_size.load() + static_cast<std::int64_t>(data.size()) <= receive_limit) {
        {
            std::lock_guard hold(f->lock);
            f->to_remote.insert(f->to_remote.end(), data.begin(), data.end());
            f->to_remote_size = static_cast<std::int32_t>(f->to_remote.size());
            f->rcv_nxt += static_cast<std::uint32_t>(data.size());
            if (fin && !f->fin_received) {
                f->rcv_nxt += 1;
                f->fin_received = true;
            }
        }
        if (draining_ && !fin) {
            owe_ack(f);  // in order data within a drain: one ACK and one wake-up at its end
            return;
        }
        f->wake.notify_all();
    }
    send_ack(*f);
}

void data_plane::owe_ack(const std::shared_ptr<flow>& f)
{
    f->ack_owed = true;
    if (!f->in_owed) {
        f->in_owed = true;
        owed_.push_back(f);
    }
}

void data_plane::settle_owed()
{
    for (const std::shared_ptr<flow>& f : owed_) {
        f->in_owed = false;
        f->wake.notify_all();
        if (f->ack_owed && !f->closed) {
            send_ack(*f);
        }
        f->ack_owed = false;
    }
    owed_.clear();
}

// ---- timers ----

void data_plane::timer_pass()
{
    // Nothing below changes the table (only the sweep does), so it is walked as it stands.
    const std::int64_t now = config_.clock();
    const std::uint32_t epoch = reset_epoch_.load();
    const bool ready = ready_;
    bool all_idle = true;
    for (const auto& [key, f] : flows_) {
        // An idle flow (established, nothing to send, nothing in flight, no end in sight) has no
        // timer to run: with a thousand of them the pass stays a walk over a few flags.
        if (f->handshake_done() && !f->closed && !f->reset_pending && !f->remote_eof &&
            !f->zero_window_advertised && f->retx_queue.empty() && !f->client_data &&
            (f->is_dns || (ready && f->reset_epoch == epoch))) {
            continue;
        }
        all_idle = false;
        if (!f->is_dns && (!ready_ || f->reset_epoch != epoch)) {
            reset_flow(f);  // also a flow still dialling: its worker finds it closed
        }
        if (f->closed) {
            continue;  // a closed flow sends nothing; the sweep takes it once its worker is done
        }
        if (f->reset_pending && f->state != tcp_state::reset_sent) {
            reset_flow(f);
            continue;
        }
        send_pending(f, now);
        if (f->zero_window_advertised && window_of(*f) >= max_segment) {
            send_ack(*f);  // the window opened again: tell the client at once
        }
        if (!f->reset_pending && f->state == tcp_state::established && f->remote_eof) {
            bool drained = false;
            {
                std::lock_guard hold(f->lock);
                drained = f->to_client.empty();
            }
            if (drained && f->retx_queue.empty() && f->snd_nxt == f->snd_una) {
                send_flow(*f, tcp_fin | tcp_ack, f->snd_nxt, {});
                f->retx_queue.push_back({f->snd_nxt, nullptr, 0, 0, true, 1, now});
                f->snd_nxt += 1;
                f->state = tcp_state::fin_sent;
            }
        }
        retransmit_check(f, now);
    }
    sweep();
    flush_dns_replies();
    idle_ = all_idle;
}

void data_plane::reset_flow(const std::shared_ptr<flow>& f)
{
    // A flow already closed was reset by the client or given up silently: nothing more is sent.
    if (f->closed) {
        return;
    }
    if (f->state != tcp_state::reset_sent) {
        send_flow(*f, tcp_rst | tcp_ack, f->snd_nxt, {});
        f->state = tcp_state::reset_sent;
    }
    f->close_now();
}

void data_plane::send_pending(const std::shared_ptr<flow>& f, std::int64_t now)
{
    if (!f->handshake_done() || f->reset_pending) {
        return;
    }
    const std::uint32_t in_flight = f->snd_nxt - f->snd_una;
    const std::uint32_t window = std::min(f->peer_window, max_in_flight);
    // What is taken now is sent as segments cut from it, and kept for their retransmission.
    std::shared_ptr<bytes> block;
    bool waiting = false;
    bool reader_may_wait = false;
    {
        std::lock_guard hold(f->lock);
        waiting = !f->to_client.empty();
        reader_may_wait = f->to_client.size() >= to_client_cap;
        if (waiting && in_flight < window) {
            const std::size_t n = std::min<std::size_t>(window - in_flight, f->to_client.size());
            block = std::make_shared<bytes>(f->to_client.begin(), f->to_client.begin() + static_cast<std::ptrdiff_t>(n));
            f->to_client.erase(f->to_client.begin(), f->to_client.begin() + static_cast<std::ptrdiff_t>(n));
            f->client_data = !f->to_client.empty();
        }
    }
    const std::size_t taken = block ? block->size() : 0;
    if (taken != 0 && reader_may_wait) {
        f->wake.notify_all();  // the remote reader waits for room only at the cap
    }
    // Zero-window probe: the client's window is shut, data waits and nothing is in flight that
    // the retransmission timer would re-send; an old sequence number draws an ACK carrying the
    // client's current window.
    if (waiting && taken == 0 && f->peer_window == 0 && f->snd_nxt == f->snd_una &&
        now - f->last_probe_at >= zero_window_probe_ns) {
        send_flow(*f, tcp_ack, f->snd_nxt - 1, {});
        f->last_probe_at = now;
    }
    // The block fits the window (nothing else moved the flight meanwhile): it goes out whole.
    for (std::size_t at = 0; at < taken;) {
        const std::size_t n = std::min(taken - at, segment_limit());
        send_flow(*f, tcp_psh | tcp_ack, f->snd_nxt, byte_span(*block).subspan(at, n));
        f->retx_queue.push_back({f->snd_nxt, block, at, n, false, 1, now});
        f->snd_nxt += static_cast<std::uint32_t>(n);
        at += n;
    }
    if (taken != 0) {
        f->ack_due = f->snd_nxt - f->snd_una >= 2 * max_segment;
    }
}

void data_plane::retransmit_check(const std::shared_ptr<flow>& f, std::int64_t now)
{
    if (f->closed) {
        return;
    }
    if (f->handshake_done()) {
        for (segment_record& rec : f->retx_queue) {
            if (now - rec.sent_at < retransmit_ns) {
                continue;
            }
            rec.tries += 1;
            if (rec.tries > max_sends) {
                f->close_now();  // given up, silently
                return;
            }
            const std::uint8_t flags = rec.fin ? (rec.length == 0 ? tcp_fin | tcp_ack
                                                                   : tcp_fin | tcp_psh | tcp_ack)
                                               : tcp_psh | tcp_ack;
            send_flow(*f, flags, rec.seq, rec.data());
            rec.sent_at = now;
            return;
        }
        return;
    }
    if (now - f->synack_sent_at > retransmit_ns) {
        f->synack_tries += 1;
        if (f->synack_tries <= max_synack_resends) {
            send_flow(*f, tcp_syn | tcp_ack, f->iss, {}, true);
            f->synack_sent_at = now;
        } else {
            f->close_now();
        }
    }
}

void data_plane::sweep()
{
    std::vector<std::thread> finished;
    for (auto it = flows_.begin(); it != flows_.end();) {
        flow& f = *it->second;
        if (!f.worker_done) {
            ++it;  // cannot go yet: its lock is left alone
            continue;
        }
        bool drained = false;
        {
            std::lock_guard hold(f.lock);
            drained = f.to_client.empty();
        }
        const bool done = f.worker_done &&
                          (f.closed || (drained && f.retx_queue.empty() &&
                                        (f.reset_pending || f.state == tcp_state::fin_sent)));
        if (done) {
            finished.push_back(std::move(f.worker));
            it = flows_.erase(it);
        } else {
            ++it;
        }
    }
    {
        std::lock_guard hold(count_lock_);
        published_count_ = flows_.size();
    }
    for (std::thread& t : finished) {
        if (t.joinable()) {
            t.join();
        }
    }
}

void data_plane::close_all()
{
    std::vector<std::thread> workers;
    for (auto& [key, f] : flows_) {
        reset_flow(f);  // the client learns at once that the connection is gone
        bool dialling = false;
        {
            std::lock_guard hold(f->lock);
            dialling = f->dialling;
        }
        if (dialling && f->worker.joinable()) {
            f->worker.detach();  // it ends on its own once the dial returns
        } else {
            workers.push_back(std::move(f->worker));
        }
    }
    for (std::thread& t : workers) {
        if (t.joinable()) {
            t.join();
        }
    }
    flows_.clear();
    std::lock_guard hold(count_lock_);
    published_count_ = 0;
}

// ---- DNS replies ----

void data_plane::post_dns_reply(dns_datagram reply)
{
    {
        std::lock_guard hold(reply_lock_);
        if (replies_.size() >= max_dns_replies) {
            return;
        }
        replies_.push_back(std::move(reply));
    }
    wake_.signal();
}

void data_plane::flush_dns_replies()
{
    std::vector<dns_datagram> batch;
    {
        std::lock_guard hold(reply_lock_);
        batch.swap(replies_);
    }
    for (const dns_datagram& r : batch) {
        const bytes truncated = r.payload.size() > max_udp_payload ? truncated_reply(r.payload) : bytes();
        const bytes& payload = r.payload.size() > max_udp_payload ? truncated : r.payload;
        if (payload.empty()) {
            continue;
        }
        scratch_.clear();
        if (build_udp(config_.virtual_dns_address, r.client_address, 53, r.client_port, payload,
                      ident_.fetch_add(1), scratch_)) {
            emit(scratch_);
        }
    }
}

// ---- reader loop ----

void data_plane::run(std::atomic<bool>& running)
{
    const device_table& dev = *config_.device;
    void* event = dev.get_read_wait_event(config_.session);
    while (running) {
        // Segments in order that arrive together are acknowledged together: after every
        // `ack_batch` packets and when the device has nothing more, never later.
        draining_ = true;
        for (std::size_t taken = 1;; ++taken) {
            std::uint32_t size = 0;
            std::uint8_t* packet = dev.receive_packet(config_.session, &size);
            if (packet == nullptr) {
                if (dev.last_error() == device_error_end) {
                    running = false;
                }
                break;
            }
            dispatch(byte_span(packet, size));
            dev.release_receive_packet(config_.session, packet);
            if (taken % ack_batch == 0) {
                settle_owed();
            }
        }
        draining_ = false;
        settle_owed();
        timer_pass();
        if (!running) {
            break;
        }
        // With no timer armed anywhere, nothing but a packet or a signal from another thread can
        // give the reader work, and both wake it: the idle wait is longer.
        wait_for_work(event, wake_, idle_ ? reader_idle_wait_ms : reader_wait_ms);
    }
    close_all();
}

// ---- the flows' own threads ----

void data_plane::report_dial_failure(const std::string& host, const std::u16string& error)
{
    {
        std::lock_guard hold(failed_lock_);
        if (std::find(failed_hosts_.begin(), failed_hosts_.end(), host) != failed_hosts_.end()) {
            return;
        }
        failed_hosts_.push_back(host);
    }
    if (!config_.log) {
        return;
    }
    std::u16string line = PELTO_TEXT(u"TUN: cannot reach ").str();
    for (char c : host) {
        line.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    if (!error.empty()) {
        line += PELTO_TEXT(u": ").view();
        line += error;
    }
    config_.log(line);
}

void data_plane::flow_worker(std::shared_ptr<flow> f, std::shared_ptr<const dial_fn> dial)
{
    // The reader learns at once: a reset may be owed, and the flow can be swept.
    // A worker whose flow was closed during its dial may outlive the plane: it signals nothing.
    struct done_mark {
        flow& f;
        wake_handle& reader;
        bool plane_may_be_gone = false;
        ~done_mark()
        {
            f.worker_done = true;
            if (!plane_may_be_gone) {
                reader.signal();
            }
        }
    } mark{*f, wake_};

    if (f->is_dns) {
        dns_responder(f);
        f->remote_eof = true;
        return;
    }
    std::u16string error;
    std::unique_ptr<tun_conn> conn;
    if (dial && *dial) {
        conn = (*dial)(f->host, f->key.dst_port, error);
    }
    // Decided under the lock: the reader may reset and close the flow as soon as it is released.
    // A flow closed during the dial may belong to a plane that is gone: nothing of it is touched.
    bool failed = false;
    bool abandoned = false;
    {
        std::lock_guard hold(f->lock);
        f->dialling = false;
        abandoned = f->closed;
        if (f->closed || !conn) {
            failed = true;
            f->reset_pending = true;
            if (conn) {
                conn->close();
                conn.reset();
            }
        } else {
            f->remote = std::move(conn);
        }
    }
    f->wake.notify_all();
    if (abandoned) {
        mark.plane_may_be_gone = true;
        return;
    }
    if (failed) {
        // The dial itself failed on a flow still open: reported, even if the reader's pass
        // resets and closes the flow from here on.
        if (config_.dial_failure_decided) {
            config_.dial_failure_decided();
        }
        report_dial_failure(f->host, error);
        return;
    }
    std::thread reader;
    if (!start([this, f] { remote_reader(f); }, reader)) {
        // Without a remote reader nothing comes back: close the remote side, then reset the
        // client (the reader may send the reset as soon as it is asked for).
        std::lock_guard hold(f->lock);
        f->remote->close();
        f->reset_pending = true;
        return;
    }
    // The channel has no half-close: once the client has sent its FIN and every byte before it
    // is written, the remote stays open until it ends its side, so the answer still comes back.
    bytes chunk;
    bool client_done = false;
    while (!f->closed) {
        {
            std::unique_lock hold(f->lock);
            // Every change the wait looks at notifies `wake`; the slice is only a safety net,
            // long enough that a thousand idle flows cost no CPU.
            f->wake.wait_for(hold, std::chrono::milliseconds(worker_idle_wait_ms), [&] {
                return f->closed || !f->to_remote.empty() ||
                       (client_done ? f->remote_eof.load() : f->fin_received.load());
            });
            chunk.swap(f->to_remote);
            f->to_remote.clear();
            f->to_remote_size = 0;
        }
        if (!chunk.empty()) {
            wake_.signal();  // the reader may owe the client a window update
            if (!f->remote->write(chunk.data(), static_cast<std::int32_t>(chunk.size()))) {
                break;
            }
            chunk.clear();
        } else if (client_done) {
            if (f->remote_eof) {
                break;
            }
        } else if (f->fin_received) {
            client_done = true;
        }
    }
    {
        std::lock_guard hold(f->lock);
        f->remote->close();
    }
    f->wake.notify_all();
    reader.join();
}

void data_plane::remote_reader(std::shared_ptr<flow> f)
{
    // As much as the stream has in one call: a segment's worth per call costs a wake-up of the
    // reader (and often a receive) per 1380 bytes.
    // Not zero-filled: an idle flow keeps only the pages its reads touched.
    const auto storage = std::make_unique_for_overwrite<std::uint8_t[]>(remote_read_size);
    std::uint8_t* buffer = storage.get();
    bool was_empty = true;
    while (!f->closed) {
        const std::int32_t n = f->remote->read(buffer, static_cast<std::int32_t>(remote_read_size));
        if (n < 1) {
            break;
        }
        {
            std::unique_lock hold(f->lock);
            // Bounded towards a slow client: wait for the reader to cut segments from the buffer.
            f->wake.wait(hold, [&] { return f->closed || f->to_client.size() < to_client_cap; });
            if (f->closed) {
                break;
            }
            was_empty = f->to_client.empty();
            f->to_client.insert(f->to_client.end(), buffer, buffer + n);
            f->client_data = true;
        }
        // Data already waiting is sent when the client's next ACK (or window) arrives, which
        // wakes the reader anyway, and so is data behind two unacknowledged segments: only the
        // first bytes need a signal. (The reader clears `ack_due` before it looks at
        // `client_data`, set above before `ack_due` is read here: one of the two sees the other.)
        if (was_empty && !f->ack_due) {
            wake_.signal();
        }
    }
    {
        std::lock_guard hold(f->lock);
        f->remote_eof = true;
    }
    f->wake.notify_all();  // a half-closed flow's worker waits for this end
    wake_.signal();
}

void data_plane::dns_responder(const std::shared_ptr<flow>& f)
{
    bytes buffer;
    while (!f->closed) {
        bytes taken;
        {
            std::unique_lock hold(f->lock);
            f->wake.wait_for(hold, std::chrono::milliseconds(reader_wait_ms), [&] {
                return f->closed || f->fin_received || !f->to_remote.empty();
            });
            taken.swap(f->to_remote);
            f->to_remote_size = 0;
        }
        if (f->fin_received && taken.empty() && buffer.size() < 2) {
            return;
        }
        buffer.insert(buffer.end(), taken.begin(), taken.end());
        while (buffer.size() >= 2 && !f->closed) {
            const std::size_t m = static_cast<std::size_t>(buffer[0] << 8 | buffer[1]);
            if (m == 0 || m > max_dns_message) {
                f->close_now();
                return;
            }
            if (buffer.size() < m + 2) {
                break;
            }
            const bytes query(buffer.begin() + 2, buffer.begin() + 2 + static_cast<std::ptrdiff_t>(m));
            buffer.erase(buffer.begin(), buffer.begin() + 2 + static_cast<std::ptrdiff_t>(m));
            const bytes answer = config_.dns_answer ? config_.dns_answer(query) : bytes();
            if (!answer.empty() && answer.size() <= 0xFFFF) {
                std::lock_guard hold(f->lock);
                f->to_client.push_back(static_cast<std::uint8_t>(answer.size() >> 8));
                f->to_client.push_back(static_cast<std::uint8_t>(answer.size()));
                f->to_client.insert(f->to_client.end(), answer.begin(), answer.end());
                f->client_data = true;
            }
            wake_.signal();
        }
        if (f->fin_received && taken.empty()) {
            return;  // half-closed in the middle of a message: nothing more can complete it
        }
    }
}

}  // namespace pelto::tun
