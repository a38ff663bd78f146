#include "tun/data_plane.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "tun/dns_message.h"
#include "tun/packet.h"
#include "tun/testing/memory_device.h"

namespace {

using namespace pelto;
using namespace pelto::tun;
using namespace std::chrono_literals;

constexpr std::int64_t ms = 1'000'000;
const std::uint32_t client_ip = ipv4(10, 0, 0, 1);
const std::uint32_t service_ip = ipv4(203, 0, 113, 5);
const std::uint32_t unknown_ip = ipv4(203, 0, 113, 99);
const std::uint32_t dns_ip = ipv4(198, 18, 0, 2);

// The remote side of one dialled connection, driven by the test.
struct remote_end {
    std::mutex lock;
    std::condition_variable cv;
    bytes written;
    std::deque<std::uint8_t> pending;  // what the remote still has to send
    std::size_t sent_total = 0;        // bytes the flow has read
    bool closed = false;
    bool finished = false;  // the remote ends its stream once `pending` is read
    bool block_writes = false;

    void push(const bytes& data)
    {
        std::lock_guard hold(lock);
        pending.insert(pending.end(), data.begin(), data.end());
        cv.notify_all();
    }
    void finish()
    {
        std::lock_guard hold(lock);
        finished = true;
        cv.notify_all();
    }
    void set_blocked(bool on)
    {
        std::lock_guard hold(lock);
        block_writes = on;
        cv.notify_all();
    }
};

class pipe_conn final : public tun_conn {
public:
    explicit pipe_conn(std::shared_ptr<remote_end> end) : end_(std::move(end)) {}
    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override
    {
        std::unique_lock hold(end_->lock);
        end_->cv.wait(hold, [&] { return end_->closed || !end_->pending.empty() || end_->finished; });
        if (end_->closed || end_->pending.empty()) {
            return 0;
        }
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(capacity), end_->pending.size());
        std::copy_n(end_->pending.begin(), n, buffer);
        end_->pending.erase(end_->pending.begin(), end_->pending.begin() + static_cast<std::ptrdiff_t>(n));
        end_->sent_total += n;
        return static_cast<std::int32_t>(n);
    }
    bool write(const std::uint8_t* data, std::int32_t length) override
    {
        std::unique_lock hold(end_->lock);
        end_->cv.wait(hold, [&] { return end_->closed || !end_->block_writes; });
        if (end_->closed) {
            return false;
        }
        end_->written.insert(end_->written.end(), data, data + length);
        return true;
    }
    void close() override
    {
        std::lock_guard hold(end_->lock);
        end_->closed = true;
        end_->cv.notify_all();
    }

private:
    std::shared_ptr<remote_end> end_;
};

struct seg {
    std::uint32_t src = 0, dst = 0;
    std::uint16_t sport = 0, dport = 0;
    std::uint8_t flags = 0;
    std::uint32_t seq = 0, ack = 0;
    std::uint16_t window = 0;
    bool mss = false;
    std::int8_t window_scale = -1;
    bytes data;  // for ICMP: the body behind the 8 header bytes
    bool udp = false;
    bool icmp = false;
    std::uint8_t icmp_type = 0, icmp_code = 0;
};

class data_plane_test : public ::testing::Test {
protected:
    data_plane_test()
    {
        data_plane_config c;
        c.device = &device.table();
        c.session = device.session();
        c.virtual_dns_address = dns_ip;
        c.clock = [this] { return now.load(); };
        c.host_for_address = [](std::uint32_t a) { return a == service_ip ? std::string("svc.test") : std::string(); };
        c.dns_capture = [this](dns_datagram q) {
            std::lock_guard hold(lock);
            captured.push_back(std::move(q));
        };
        c.dns_answer = [](byte_span q) {
            bytes a(q.begin(), q.end());
            a[2] |= 0x80;
            return a;
        };
        c.log = [this](std::u16string_view line) {
            std::lock_guard hold(lock);
            logs.emplace_back(line);
        };
        c.start_thread = [this](std::function<void()> body, std::thread& out) {
            // Remote readers are started by flow workers, never on the test's (reader) thread.
            if (fail_remote_reader_start && std::this_thread::get_id() != test_thread) {
                return false;
            }
            if (fail_thread_starts > 0) {
                --fail_thread_starts;
                return false;
            }
            // A worker let go by a stop may still run (and dial through this fixture) after the
            // plane is gone: the fixture waits for every thread it started (see the destructor).
            ++*live_threads;
            out = std::thread([live = live_threads, body = std::move(body)] {
                body();
                --*live;
            });
            return true;
        };
        c.dial_failure_decided = [this] {
            std::unique_lock hold(lock);
            if (!hold_after_dial_failure) {
                return;
            }
            in_dial_failure_window = true;
            dial_cv.notify_all();
            dial_cv.wait(hold, [&] { return !hold_after_dial_failure; });
        };
        plane = std::make_unique<data_plane>(std::move(c));
        plane->set_dial([this](std::string_view host, std::uint16_t port, std::u16string& error)
                            -> std::unique_ptr<tun_conn> {
            std::unique_lock hold(lock);
            dialled.emplace_back(std::string(host) + ":" + std::to_string(port));
            dial_cv.wait(hold, [&] { return !hold_dials; });
            if (refuse_dial) {
                error = u"refused by test";
                return nullptr;
            }
            auto end = std::make_shared<remote_end>();
            remotes.push_back(end);
            return std::make_unique<pipe_conn>(end);
        });
    }
    ~data_plane_test() override
    {
        release_dials();
        {
            std::lock_guard hold(lock);
            for (auto& r : remotes) {
                r->finish();
            }
        }
        plane.reset();
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (live_threads->load() != 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(live_threads->load(), 0) << "a flow's thread outlived the test";
    }

    void send(std::uint8_t flags, std::uint32_t seq, std::uint32_t ack, const bytes& data = {},
              std::uint16_t window = 65535, std::uint16_t sport = 40000, std::uint32_t dst = service_ip,
              std::uint16_t dport = 443)
    {
        bytes packet;
        tcp_out out{client_ip, dst, sport, dport, flags, seq, ack, window, false};
        if (flags & tcp_syn) {
            out.window_scale = syn_window_scale;
        }
        ASSERT_TRUE(build_tcp(out, data, 1, packet));
        plane->dispatch(packet);
    }

    std::vector<seg> take()
    {
        std::vector<seg> out;
        for (const bytes& p : device.take_sent()) {
            auto ip = parse_ipv4_packet(p);
            EXPECT_TRUE(ip);
            if (!ip) {
                continue;
            }
            EXPECT_EQ(internet_checksum(byte_span(p).first(20)), 0);
            seg s;
            s.src = ip->header.source;
            s.dst = ip->header.destination;
            if (ip->header.protocol == ip_proto_icmp) {
                EXPECT_EQ(internet_checksum(ip->segment), 0);
                auto m = parse_icmp_message(ip->segment);
                EXPECT_TRUE(m);
                if (m) {
                    s.icmp = true;
                    s.icmp_type = m->header.type;
                    s.icmp_code = m->header.code;
                    s.data.assign(m->body.begin(), m->body.end());
                }
                out.push_back(std::move(s));
                continue;
            }
            EXPECT_EQ(transport_checksum(ip->header.source, ip->header.destination, ip->header.protocol, ip->segment), 0);
            if (ip->header.protocol == ip_proto_udp) {
                auto u = parse_udp_datagram(ip->segment);
                EXPECT_TRUE(u);
                s.udp = true;
                s.sport = u->header.source_port;
                s.dport = u->header.destination_port;
                s.data.assign(u->payload.begin(), u->payload.end());
            } else {
                auto t = parse_tcp_segment(ip->segment);
                EXPECT_TRUE(t);
                s.sport = t->header.source_port;
                s.dport = t->header.destination_port;
                s.flags = t->header.flags;
                s.seq = t->header.seq;
                s.ack = t->header.ack;
                s.window = t->header.window;
                s.mss = t->header.header_length >= 24;
                s.window_scale = t->header.window_scale;
                s.data.assign(t->payload.begin(), t->payload.end());
            }
            out.push_back(std::move(s));
        }
        return out;
    }

    // Runs timer passes (without moving the clock) until `done` holds for what was sent since
    // the call, for at most five seconds of real time.
    std::vector<seg> pump_until(const std::function<bool(const std::vector<seg>&)>& done)
    {
        std::vector<seg> all;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            plane->timer_pass();
            for (seg& s : take()) {
                all.push_back(std::move(s));
            }
            if (done(all)) {
                return all;
            }
            std::this_thread::sleep_for(1ms);
        }
        ADD_FAILURE() << "timed out waiting; " << all.size() << " segments seen";
        return all;
    }

    bool wait_for(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            plane->timer_pass();
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    std::shared_ptr<remote_end> remote(std::size_t i)
    {
        std::shared_ptr<remote_end> r;
        wait_for([&] {
            std::lock_guard hold(lock);
            if (remotes.size() > i) {
                r = remotes[i];
            }
            return r != nullptr;
        });
        return r;
    }

    // Opens a connection from `sport` with the client's initial sequence `isn`; returns our ISS.
    std::uint32_t handshake(std::uint32_t isn = 1000, std::uint16_t sport = 40000, std::uint16_t window = 65535)
    {
        send(tcp_syn, isn, 0, {}, window, sport);
        auto out = take();
        EXPECT_EQ(out.size(), 1u);
        if (out.empty()) {
            return 0;
        }
        EXPECT_EQ(out[0].flags, tcp_syn | tcp_ack);
        EXPECT_EQ(out[0].ack, isn + 1);
        EXPECT_TRUE(out[0].mss);
        EXPECT_EQ(out[0].src, service_ip);
        EXPECT_EQ(out[0].sport, 443);
        send(tcp_ack, isn + 1, out[0].seq + 1, {}, window, sport);
        return out[0].seq;
    }

    void release_dials()
    {
        {
            std::lock_guard hold(lock);
            hold_dials = false;
            hold_after_dial_failure = false;
        }
        dial_cv.notify_all();
    }

    static bytes text(std::string_view t) { return bytes(t.begin(), t.end()); }
    static bytes pattern(std::size_t n)
    {
        bytes b(n);
        for (std::size_t i = 0; i < n; ++i) {
            b[i] = static_cast<std::uint8_t>(i * 7 + 3);
        }
        return b;
    }

    tun::testing::memory_device device;
    std::atomic<std::int64_t> now{1'000'000'000};
    std::mutex lock;
    std::vector<dns_datagram> captured;
    std::vector<std::u16string> logs;
    std::vector<std::string> dialled;
    std::vector<std::shared_ptr<remote_end>> remotes;
    bool refuse_dial = false;
    bool hold_dials = false;  // dials wait until released
    std::shared_ptr<std::atomic<int>> live_threads = std::make_shared<std::atomic<int>>(0);
    // A failed dial's worker waits between its decision and its report until released.
    bool hold_after_dial_failure = false;
    bool in_dial_failure_window = false;
    std::condition_variable dial_cv;
    int fail_thread_starts = 0;
    std::atomic<bool> fail_remote_reader_start{false};
    std::thread::id test_thread = std::this_thread::get_id();
    std::unique_ptr<data_plane> plane;
    std::int8_t syn_window_scale = -1;  // the window scale option of the client's SYNs
};

TEST_F(data_plane_test, refuses_unknown_destinations_and_resets_strays)
{
    send(tcp_syn, 5000, 0, {}, 65535, 40000, unknown_ip);
    auto out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags, tcp_rst | tcp_ack);
    EXPECT_EQ(out[0].seq, 0u);
    EXPECT_EQ(out[0].ack, 5001u);
    EXPECT_EQ(out[0].window, 0);

    send(tcp_ack, 7, 0xABCD);  // no flow, ACK set
    out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags, tcp_rst);
    EXPECT_EQ(out[0].seq, 0xABCDu);

    send(tcp_fin, 100, 0, text("xy"));  // no flow, no ACK: ack covers data and FIN
    out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags, tcp_rst | tcp_ack);
    EXPECT_EQ(out[0].ack, 103u);

    plane->set_ready(false);
    send(tcp_syn, 5000, 0);
    out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags, tcp_rst | tcp_ack);
    EXPECT_EQ(plane->flow_count(), 0u);
}

TEST_F(data_plane_test, relays_both_ways_and_sends_fin_after_the_last_ack)
{
    const std::uint32_t iss = handshake();
    send(tcp_psh | tcp_ack, 1001, iss + 1, text("GET / HTTP/1.1\r\n\r\n"));
    auto out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].ack, 1001u + 18u);
    auto r = remote(0);
    ASSERT_TRUE(r);
    EXPECT_TRUE(wait_for([&] { std::lock_guard h(r->lock); return r->written.size() == 18; }));
    EXPECT_EQ(dialled.at(0), "svc.test:443");

    const bytes body = pattern(3000);
    r->push(body);
    r->finish();
    bytes got;
    out = pump_until([&](const std::vector<seg>& s) {
        std::size_t n = 0;
        for (auto& x : s) n += x.data.size();
        return n == 3000;
    });
    std::uint32_t expect_seq = iss + 1;
    for (const seg& s : out) {
        EXPECT_FALSE(s.flags & tcp_fin) << "FIN before the data was acknowledged";
        if (s.data.empty()) continue;
        EXPECT_EQ(s.flags, tcp_psh | tcp_ack);
        EXPECT_LE(s.data.size(), 1380u);
        EXPECT_EQ(s.seq, expect_seq);
        expect_seq += static_cast<std::uint32_t>(s.data.size());
        got.insert(got.end(), s.data.begin(), s.data.end());
    }
    EXPECT_EQ(got, body);
    // The remote has ended, but the FIN waits for the last acknowledgement.
    plane->timer_pass();
    for (const seg& s : take()) {
        EXPECT_FALSE(s.flags & tcp_fin);
    }
    send(tcp_ack, 1019, iss + 1 + 2000);
    plane->timer_pass();
    for (const seg& s : take()) {
        EXPECT_FALSE(s.flags & tcp_fin);
    }
    send(tcp_ack, 1019, iss + 1 + 3000);
    out = pump_until([](const std::vector<seg>& s) { return !s.empty(); });
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags, tcp_fin | tcp_ack);
    EXPECT_EQ(out[0].seq, iss + 1 + 3000);
    // The client acknowledges our FIN and closes its side: the flow goes.
    send(tcp_fin | tcp_ack, 1019, iss + 3002);
    out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].ack, 1020u);
    EXPECT_TRUE(wait_for([&] { return plane->flow_count() == 0; }));
}

TEST_F(data_plane_test, a_syn_beyond_the_flow_limit_gets_no_answer)
{
    for (std::uint16_t i = 0; i < max_flows; ++i) {
        send(tcp_syn, 1, 0, {}, 65535, static_cast<std::uint16_t>(20000 + i));
    }
    EXPECT_EQ(take().size(), max_flows);
    send(tcp_syn, 1, 0, {}, 65535, 30000);
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(plane->flow_count(), max_flows);
}

TEST_F(data_plane_test, synack_is_resent_five_times_then_the_flow_ends_silently)
{
    send(tcp_syn, 1000, 0);
    ASSERT_EQ(take().size(), 1u);
    int resent = 0;
    for (int pass = 0; pass < 8; ++pass) {
        now += 501 * ms;
        plane->timer_pass();
        for (const seg& s : take()) {
            EXPECT_EQ(s.flags, tcp_syn | tcp_ack);
            ++resent;
        }
    }
    EXPECT_EQ(resent, 5);
    EXPECT_TRUE(wait_for([&] { return plane->flow_count() == 0; }));
    EXPECT_TRUE(take().empty());  // no reset
}

TEST_F(data_plane_test, a_repeated_syn_with_data_keeps_its_first_byte)
{
    send(tcp_syn, 1000, 0);
    const std::uint32_t iss = take().at(0).seq;
    send(tcp_syn, 1000, 0, text("hello"));  // repeated SYN, now with data
    auto out = take();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].flags, tcp_syn | tcp_ack);  // re-sent
    EXPECT_EQ(out[0].seq, iss);
    EXPECT_EQ(out[1].ack, 1006u);  // five data bytes behind the SYN
    auto r = remote(0);
    ASSERT_TRUE(r);
    EXPECT_TRUE(wait_for([&] { std::lock_guard h(r->lock); return r->written == text("hello"); }));

    // Data on the first SYN is delivered too.
    send(tcp_syn, 7000, 0, text("early"), 65535, 40001);
    out = take();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].ack, 7006u);
}

TEST_F(data_plane_test, overlap_duplicate_future_and_old_fin_across_the_sequence_wrap)
{
    const std::uint32_t isn = 0xFFFFFFF0u;
    const std::uint32_t iss = handshake(isn);
    const bytes data = pattern(40);
    const std::uint32_t base = isn + 1;
    send(tcp_ack, base, iss + 1, bytes(data.begin(), data.begin() + 10));
    EXPECT_EQ(take().at(0).ack, base + 10);
    // Overlap: bytes 5..25 deliver only 10..25 (crossing 2^32).
    send(tcp_ack, base + 5, iss + 1, bytes(data.begin() + 5, data.begin() + 25));
    EXPECT_EQ(take().at(0).ack, base + 25);
    // Duplicate: all old, a pure ACK.
    send(tcp_ack, base, iss + 1, bytes(data.begin(), data.begin() + 10));
    auto out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].ack, base + 25);
    EXPECT_TRUE(out[0].data.empty());
    // Future: not kept.
    send(tcp_ack, base + 30, iss + 1, bytes(data.begin() + 30, data.end()));
    EXPECT_EQ(take().at(0).ack, base + 25);
    // The gap is filled, then the rest comes again.
    send(tcp_ack, base + 25, iss + 1, bytes(data.begin() + 25, data.begin() + 30));
    send(tcp_ack, base + 30, iss + 1, bytes(data.begin() + 30, data.end()));
    out = take();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].ack, base + 40);
    // A FIN riding on old data is accepted once.
    send(tcp_fin | tcp_ack, base + 30, iss + 1, bytes(data.begin() + 30, data.end()));
    EXPECT_EQ(take().at(0).ack, base + 41);
    send(tcp_fin | tcp_ack, base + 30, iss + 1, bytes(data.begin() + 30, data.end()));
    EXPECT_EQ(take().at(0).ack, base + 41);

    auto r = remote(0);
    ASSERT_TRUE(r);
    EXPECT_TRUE(wait_for([&] { std::lock_guard h(r->lock); return r->written == data; }));
    // Half-closed: the remote stays open for its answer until it ends.
    r->finish();
    EXPECT_TRUE(wait_for([&] { std::lock_guard h(r->lock); return r->closed; }));
}

TEST_F(data_plane_test, partial_ack_trims_the_retransmission)
{
    const std::uint32_t iss = handshake();
    auto r = remote(0);
    ASSERT_TRUE(r);
    r->push(pattern(1000));
    pump_until([](const std::vector<seg>& s) { return !s.empty(); });
    send(tcp_ack, 1001, iss + 1 + 400);
    now += 501 * ms;
    plane->timer_pass();
    auto out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].seq, iss + 1 + 400);
    const bytes sent = pattern(1000);
    EXPECT_EQ(out[0].data, bytes(sent.begin() + 400, sent.end()));
}

TEST_F(data_plane_test, give_up_after_five_sends_and_sweep_with_data_still_queued)
{
    // A small client window keeps most of the remote's data queued when the flow is abandoned.
    const std::uint32_t iss = handshake(1000, 40000, 1000);
    auto r = remote(0);
    ASSERT_TRUE(r);
    r->push(pattern(5000));
    pump_until([](const std::vector<seg>& s) { return !s.empty(); });
    int sends = 1;
    for (int i = 0; i < 7; ++i) {
        now += 501 * ms;
        plane->timer_pass();
        for (const seg& s : take()) {
            EXPECT_FALSE(s.flags & tcp_rst);
            EXPECT_EQ(s.seq, iss + 1);
            ++sends;
        }
    }
    EXPECT_EQ(sends, 5);
    EXPECT_TRUE(wait_for([&] { return plane->flow_count() == 0; }));
    EXPECT_TRUE(wait_for([&] { std::lock_guard h(r->lock); return r->closed; }));
}

TEST_F(data_plane_test, reset_mid_transfer_frees_the_slot_for_a_new_connection)
{
    const std::uint32_t iss = handshake();
    auto r = remote(0);
    ASSERT_TRUE(r);
    r->push(pattern(4000));
    pump_until([](const std::vector<seg>& s) { return !s.empty(); });
    send(tcp_rst, 1001, 0);
    EXPECT_TRUE(wait_for([&] { return plane->flow_count() == 0; }));
    take();
    static_cast<void>(iss);
    handshake(9000);
    EXPECT_EQ(plane->flow_count(), 1u);
}

TEST_F(data_plane_test, the_client_window_is_scaled_only_when_its_syn_asked_and_flight_is_bounded)
{
    // Each case: the SYN's scale option, the window field of the client's ACKs, what may fly.
    struct window_case {
        std::int8_t scale;
        std::uint16_t window;
        std::size_t expected;
    };
    const window_case cases[] = {
        {-1, 65535, 65535},       // no option: the field is the window
        {-1, 1000, 1000},
        {7, 1000, 128000},        // 1000 << 7
        {0, 50000, 50000},        // a shift of 0 scales nothing
        {14, 65535, max_in_flight},  // far beyond the bound: the bound holds
    };
    std::uint16_t sport = 41000;
    for (const window_case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "scale " << int(c.scale) << ", window " << c.window);
        syn_window_scale = c.scale;
        send(tcp_syn, 5000, 0, {}, 65535, sport);
        auto out = take();
        ASSERT_EQ(out.size(), 1u);
        // Our SYN+ACK answers the option with a shift of 0, and carries none when the SYN had none.
        EXPECT_EQ(out[0].window_scale, c.scale >= 0 ? 0 : -1);
        EXPECT_TRUE(out[0].mss);
        const std::uint32_t iss = out[0].seq;
        send(tcp_ack, 5001, iss + 1, {}, c.window, sport);
        auto r = remote(static_cast<std::size_t>(sport - 41000));
        ASSERT_TRUE(r);
        r->push(pattern(max_in_flight + 100000));
        std::size_t sent = 0;
        std::uint32_t next = iss + 1;
        // Passes until the flight stops growing: a pass after the window is full sends nothing.
        out = pump_until([&](const std::vector<seg>& s) {
            std::size_t n = 0;
            for (const seg& x : s) {
                n += x.data.size();
            }
            return n >= c.expected;
        });
        for (const seg& x : out) {
            if (!x.data.empty()) {
                EXPECT_EQ(x.seq, next);
                next += static_cast<std::uint32_t>(x.data.size());
                sent += x.data.size();
            }
        }
        for (int i = 0; i < 20; ++i) {
            plane->timer_pass();
            for (const seg& x : take()) {
                sent += x.data.size();
            }
        }
        EXPECT_EQ(sent, c.expected);
        // One acknowledgement of everything opens the same window again, scaled as before.
        send(tcp_ack, 5001, next, {}, c.window, sport);
        out = pump_until([&](const std::vector<seg>& s) {
            std::size_t n = 0;
            for (const seg& x : s) {
                n += x.data.size();
            }
            return n >= std::min<std::size_t>(c.expected, max_in_flight + 100000 - c.expected);
        });
        send(tcp_rst, 5001, 0, {}, 0, sport);
        ++sport;
    }
}

TEST_F(data_plane_test, zero_window_towards_the_client_reopens_with_an_update)
{
    const std::uint32_t iss = handshake();
    auto r = remote(0);
    ASSERT_TRUE(r);
    r->set_blocked(true);
    // Fill the receive buffer while the remote takes nothing: the window shrinks to less than a
    // segment, and never by dropping what it had offered.
    std::uint32_t seq = 1001;
    std::uint16_t window = 65535;
    for (int i = 0; i < 400 && window >= max_segment; ++i) {
        send(tcp_ack, seq, iss + 1, pattern(max_segment));
        for (const seg& s : take()) {
            EXPECT_EQ(s.ack, seq + max_segment) << "an offered segment was refused";
            window = s.window;
            seq = s.ack;
        }
    }
    ASSERT_LT(window, max_segment);
    EXPECT_GT(seq - 1001, static_cast<std::uint32_t>(receive_threshold));
    // Data beyond the window is refused.
    send(tcp_ack, seq, iss + 1, pattern(max_segment));
    auto out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].ack, seq);
    EXPECT_EQ(out[0].window, window);
    // The remote drains; without any segment from the client an update announces the window.
    r->set_blocked(false);
    out = pump_until([](const std::vector<seg>& s) { return !s.empty(); });
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags, tcp_ack);
    EXPECT_EQ(out[0].window, 65535);
    EXPECT_EQ(out[0].ack, seq);
}

TEST_F(data_plane_test, zero_window_from_the_client_is_probed_and_memory_stays_bounded)
{
    const std::uint32_t iss = handshake(1000, 40000, 0);
    auto r = remote(0);
    ASSERT_TRUE(r);
    r->push(pattern(2 * 1024 * 1024));
    // The remote reader stops once the buffer towards the client is full.
    std::size_t read_so_far = 0;
    EXPECT_TRUE(wait_for([&] {
        std::lock_guard h(r->lock);
        read_so_far = r->sent_total;
        return read_so_far >= to_client_cap;
    }));
    std::this_thread::sleep_for(100ms);
    {
        std::lock_guard h(r->lock);
        // Below the cap the reader takes one more read, and holds one read while it waits.
        EXPECT_LE(r->sent_total, to_client_cap + 2 * remote_read_size);
    }
    // Nothing goes out but a probe every 500 ms.
    take();
    plane->timer_pass();
    now += 200 * ms;
    plane->timer_pass();
    int probes = 0;
    for (const seg& s : take()) {
        EXPECT_TRUE(s.data.empty());
        EXPECT_EQ(s.seq, iss);  // one below the next sequence number
        ++probes;
    }
    EXPECT_LE(probes, 1);
    now += 500 * ms;
    plane->timer_pass();
    auto out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].seq, iss);
    // The client answers with an open window: data flows and the remote is read again.
    send(tcp_ack, 1001, iss + 1, {}, 8000);
    out = pump_until([](const std::vector<seg>& s) { return !s.empty(); });
    EXPECT_FALSE(out[0].data.empty());
    std::uint32_t acked = iss + 1;
    for (int i = 0; i < 200; ++i) {
        for (const seg& s : take()) {
            acked = std::max(acked, s.seq + static_cast<std::uint32_t>(s.data.size()));
        }
        send(tcp_ack, 1001, acked, {}, 65535);
        plane->timer_pass();
    }
    EXPECT_TRUE(wait_for([&] { std::lock_guard h(r->lock); return r->sent_total > read_so_far + 1380; }));
}

TEST_F(data_plane_test, dial_failure_resets_and_is_logged_once_per_host)
{
    refuse_dial = true;
    {
        std::lock_guard hold(lock);
        hold_after_dial_failure = true;
    }
    const std::uint32_t iss = handshake(1000, 40000);
    {
        // The worker has decided; the reader's pass runs before it reports.
        std::unique_lock hold(lock);
        ASSERT_TRUE(dial_cv.wait_for(hold, 5s, [&] { return in_dial_failure_window; }));
    }
    plane->timer_pass();
    auto out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags, tcp_rst | tcp_ack);
    EXPECT_EQ(out[0].seq, iss + 1);
    plane->timer_pass();
    EXPECT_TRUE(take().empty()) << "one reset only";
    release_dials();
    ASSERT_TRUE(wait_for([&] { std::lock_guard hold(lock); return !logs.empty(); }))
        << "a flow reset by the pass in that window still reports its failed dial";

    handshake(2000, 40001);  // the same host again: reset, not reported again
    pump_until([](const std::vector<seg>& s) { return !s.empty(); });
    EXPECT_TRUE(wait_for([&] { return plane->flow_count() == 0; }));
    std::lock_guard hold(lock);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(logs[0].find(u"svc.test"), std::u16string::npos);
    EXPECT_NE(logs[0].find(u"refused by test"), std::u16string::npos);
}

// Stopping never waits for a dial (a connect time-out plus a handshake's reads): the plane goes
// at once, and the worker ends on its own when the dial returns, closing what it got.
TEST_F(data_plane_test, stopping_does_not_wait_for_a_stuck_dial)
{
    {
        std::lock_guard hold(lock);
        hold_dials = true;
    }
    handshake();
    ASSERT_TRUE(wait_for([&] { std::lock_guard hold(lock); return dialled.size() == 1; }));
    auto stopped = std::async(std::launch::async, [&] { plane.reset(); });
    const bool prompt = stopped.wait_for(2s) == std::future_status::ready;
    if (!prompt) {
        release_dials();  // so that the failing test still ends
    }
    ASSERT_TRUE(prompt) << "stopping waited for the dial";
    auto out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags, tcp_rst | tcp_ack) << "the client learns at once";

    release_dials();
    std::shared_ptr<remote_end> r;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard hold(lock);
            if (!remotes.empty()) {
                r = remotes[0];
            }
        }
        if (r) {
            std::lock_guard h(r->lock);
            if (r->closed) {
                break;
            }
        }
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(r);
    std::lock_guard h(r->lock);
    EXPECT_TRUE(r->closed) << "the connection dialled after the stop is closed";
    EXPECT_TRUE(device.take_sent().empty()) << "nothing more reaches the device";
}

TEST_F(data_plane_test, a_flow_closed_while_dialling_is_reset_once)
{
    {
        std::lock_guard hold(lock);
        hold_dials = true;
    }
    const std::uint32_t iss = handshake();
    ASSERT_TRUE(wait_for([&] { std::lock_guard hold(lock); return dialled.size() == 1; }));
    plane->set_ready(false);
    plane->timer_pass();
    auto out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags, tcp_rst | tcp_ack);
    EXPECT_EQ(out[0].seq, iss + 1);
    EXPECT_EQ(out[0].ack, 1001u);
    release_dials();
    EXPECT_TRUE(wait_for([&] { return plane->flow_count() == 0; }));
    auto r = remote(0);
    ASSERT_TRUE(r);
    {
        std::lock_guard h(r->lock);
        EXPECT_TRUE(r->closed) << "the connection dialled too late is closed";
    }
    EXPECT_TRUE(take().empty());
    std::lock_guard hold(lock);
    EXPECT_TRUE(logs.empty()) << "a flow closed by us is no dial failure";
}

TEST_F(data_plane_test, keep_alive_probes_are_answered_and_stale_windows_ignored)
{
    const std::uint32_t iss = handshake();
    send(tcp_ack, 1000, iss + 1);  // keep-alive: one before the next expected byte, no data
    auto out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags, tcp_ack);
    EXPECT_EQ(out[0].seq, iss + 1);
    EXPECT_EQ(out[0].ack, 1001u);
    send(tcp_ack, 1001, iss + 1);  // an ordinary pure ACK draws nothing
    EXPECT_TRUE(take().empty());

    send(tcp_psh | tcp_ack, 1001, iss + 1, text("abcde"));
    send(tcp_psh | tcp_ack, 1006, iss + 1, text("fghij"));
    // A delayed copy of the first segment, carrying the small window of its time.
    send(tcp_psh | tcp_ack, 1001, iss + 1, text("abcde"), 100);
    out = take();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2].ack, 1011u);
    auto r = remote(0);
    ASSERT_TRUE(r);
    r->push(pattern(3000));
    out = pump_until([](const std::vector<seg>& s) {
        for (auto& x : s) if (!x.data.empty()) return true;
        return false;
    });
    for (const seg& x : out) {
        if (!x.data.empty()) {
            EXPECT_EQ(x.data.size(), 1380u) << "the stale segment's window was taken";
            break;
        }
    }
}

TEST_F(data_plane_test, a_worker_that_cannot_start_drops_the_flow_with_a_reset)
{
    fail_thread_starts = 1;
    send(tcp_syn, 1000, 0);
    auto out = take();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].flags, tcp_syn | tcp_ack);
    EXPECT_EQ(out[1].flags, tcp_rst | tcp_ack);
    EXPECT_EQ(plane->flow_count(), 0u);
    handshake(2000);  // the reader carries on
    EXPECT_EQ(plane->flow_count(), 1u);

    // A remote reader that cannot start: the remote is closed and the client reset.
    fail_remote_reader_start = true;
    handshake(3000, 40001);
    out = pump_until([](const std::vector<seg>& s) {
        for (auto& x : s) if (x.flags & tcp_rst) return true;
        return false;
    });
    auto r = remote(1);
    ASSERT_TRUE(r);
    std::lock_guard h(r->lock);
    EXPECT_TRUE(r->closed);
}

TEST_F(data_plane_test, a_replaced_dial_function_serves_new_flows)
{
    std::atomic<int> second{0};
    plane->set_dial([&](std::string_view, std::uint16_t, std::u16string&) -> std::unique_ptr<tun_conn> {
        ++second;
        return nullptr;
    });
    handshake();
    pump_until([](const std::vector<seg>& s) { return !s.empty(); });
    EXPECT_EQ(second.load(), 1);
}

// Sums the payload of what was sent and tells whether a FIN was among it.
std::pair<bytes, bool> collect(const std::vector<seg>& s)
{
    bytes data;
    bool fin = false;
    for (const seg& x : s) {
        data.insert(data.end(), x.data.begin(), x.data.end());
        fin = fin || (x.flags & tcp_fin) != 0;
    }
    return {data, fin};
}

TEST_F(data_plane_test, half_close_keeps_the_remote_for_the_answer_both_ways)
{
    // The client sends its request and its FIN; the remote answers only after that.
    const std::uint32_t iss = handshake();
    send(tcp_psh | tcp_fin | tcp_ack, 1001, iss + 1, text("request"));
    EXPECT_EQ(take().at(0).ack, 1001u + 7u + 1u);
    auto r = remote(0);
    ASSERT_TRUE(r);
    EXPECT_TRUE(wait_for([&] { std::lock_guard h(r->lock); return r->written == text("request"); }));
    const bytes answer = pattern(2000);
    r->push(answer);
    r->finish();
    auto out = pump_until([](const std::vector<seg>& s) { return collect(s).first.size() >= 2000; });
    EXPECT_EQ(collect(out).first, answer);
    EXPECT_FALSE(collect(out).second) << "FIN before the answer was acknowledged";
    send(tcp_ack, 1009, iss + 1 + 2000);
    out = pump_until([](const std::vector<seg>& s) { return collect(s).second; });
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags, tcp_fin | tcp_ack);
    EXPECT_EQ(out[0].seq, iss + 1 + 2000);
    send(tcp_ack, 1009, iss + 2002);
    EXPECT_TRUE(wait_for([&] { return plane->flow_count() == 0; }));
    {
        std::lock_guard h(r->lock);
        EXPECT_TRUE(r->closed);
    }

    // The remote ends first: the client gets its FIN and may still send until its own FIN.
    const std::uint32_t iss2 = handshake(5000, 40001);
    auto r2 = remote(1);
    ASSERT_TRUE(r2);
    r2->finish();
    out = pump_until([](const std::vector<seg>& s) { return collect(s).second; });
    EXPECT_EQ(out.back().seq, iss2 + 1);
    send(tcp_psh | tcp_ack, 5001, iss2 + 2, text("late bytes"), 65535, 40001);
    EXPECT_TRUE(wait_for([&] { std::lock_guard h(r2->lock); return r2->written == text("late bytes"); }));
    send(tcp_fin | tcp_ack, 5011, iss2 + 2, {}, 65535, 40001);
    EXPECT_TRUE(wait_for([&] { return plane->flow_count() == 0; }));
}

TEST_F(data_plane_test, replacing_the_dial_function_while_workers_dial_is_safe)
{
    refuse_dial = true;  // every dial fails, whichever function a worker took
    std::atomic<bool> stop{false};
    std::thread replacer([&] {
        for (int i = 0; !stop; ++i) {
            const std::string label(64, static_cast<char>('a' + i % 26));  // heap-held state
            plane->set_dial([label](std::string_view, std::uint16_t, std::u16string& error) -> std::unique_ptr<tun_conn> {
                error.assign(label.begin(), label.end());
                return nullptr;
            });
        }
    });
    for (std::uint16_t i = 0; i < 100; ++i) {
        send(tcp_syn, 1, 0, {}, 65535, static_cast<std::uint16_t>(20000 + i));
        send(tcp_ack, 2, 0, {}, 65535, static_cast<std::uint16_t>(20000 + i));
        plane->timer_pass();
    }
    stop = true;
    replacer.join();
    EXPECT_TRUE(wait_for([&] { return plane->flow_count() == 0; }));
}

TEST_F(data_plane_test, pause_closes_routed_flows_but_dns_over_tcp_carries_on)
{
    handshake();
    send(tcp_syn, 500, 0, {}, 65535, 41000, dns_ip, 53);
    const std::uint32_t dns_iss = take().at(0).seq;
    send(tcp_ack, 501, dns_iss + 1, {}, 65535, 41000, dns_ip, 53);
    plane->set_ready(false);
    EXPECT_TRUE(wait_for([&] { return plane->flow_count() == 1; }));

    // Two queries in one segment, the second split inside its length prefix.
    bytes q1 = {0, 14, 0xAA, 0x01, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    bytes q2 = {0, 14, 0xBB, 0x02, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    bytes first = q1;
    first.push_back(q2[0]);
    send(tcp_ack, 501, dns_iss + 1, first, 65535, 41000, dns_ip, 53);
    send(tcp_ack, 501 + static_cast<std::uint32_t>(first.size()), dns_iss + 1, bytes(q2.begin() + 1, q2.end()),
         65535, 41000, dns_ip, 53);
    bytes answers;
    pump_until([&](const std::vector<seg>& s) {
        answers.clear();
        for (auto& x : s) answers.insert(answers.end(), x.data.begin(), x.data.end());
        return answers.size() >= 32;
    });
    ASSERT_EQ(answers.size(), 32u);
    EXPECT_EQ(answers[2], 0xAA);
    EXPECT_EQ(answers[4], 0x81);  // QR set by the answering hook
    EXPECT_EQ(answers[18], 0xBB);
}

TEST_F(data_plane_test, stop_and_pause_reset_every_open_flow)
{
    std::map<std::uint16_t, std::uint32_t> next_seq;  // client port → our next sequence number
    for (std::uint16_t port = 40000; port < 40003; ++port) {
        next_seq[port] = handshake(1000, port) + 1;
    }
    ASSERT_TRUE(remote(2));
    auto expect_resets = [&](const std::vector<seg>& out, const char* what) {
        std::map<std::uint16_t, int> resets;
        for (const seg& s : out) {
            if (s.flags & tcp_rst) {
                ++resets[s.dport];
                EXPECT_EQ(s.flags, tcp_rst | tcp_ack) << what;
                EXPECT_EQ(s.seq, next_seq[s.dport]) << what;
                EXPECT_EQ(s.ack, 1001u) << what;
            }
        }
        EXPECT_EQ(resets.size(), next_seq.size()) << what;
        for (auto& [port, n] : resets) {
            EXPECT_EQ(n, 1) << what << " " << port;
        }
    };

    // A session that ends and the next one (on another node) starting before the reader's pass.
    plane->set_ready(false);
    plane->set_ready(true);
    plane->timer_pass();
    expect_resets(take(), "pause");
    EXPECT_TRUE(wait_for([&] { return plane->flow_count() == 0; }));

    // A flow opened after the pause is not reset by it; stopping the reader resets them all.
    next_seq.clear();
    for (std::uint16_t port = 41000; port < 41003; ++port) {
        next_seq[port] = handshake(1000, port) + 1;
    }
    plane->timer_pass();
    EXPECT_TRUE(take().empty());
    std::atomic<bool> running{true};
    std::thread reader([&] { plane->run(running); });
    std::this_thread::sleep_for(20ms);
    const auto before = std::chrono::steady_clock::now();
    running = false;
    plane->wake();
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    expect_resets(take(), "stop");
    EXPECT_EQ(plane->flow_count(), 0u);
}

TEST_F(data_plane_test, dns_over_tcp_length_zero_or_too_long_closes)
{
    for (std::uint16_t length : {std::uint16_t{0}, std::uint16_t{4097}}) {
        const std::uint16_t port = length == 0 ? 42000 : 42001;
        send(tcp_syn, 500, 0, {}, 65535, port, dns_ip, 53);
        const std::uint32_t iss = take().at(0).seq;
        send(tcp_ack, 501, iss + 1, {static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)},
             65535, port, dns_ip, 53);
        take();
        EXPECT_TRUE(wait_for([&] { return plane->flow_count() == 0; })) << length;
    }
}

TEST_F(data_plane_test, udp_queries_are_captured_and_replies_sent_or_truncated)
{
    const bytes q = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'a', 0, 0, 1, 0, 1};
    auto udp_to = [&](std::uint32_t dst, std::uint16_t port) {
        bytes p;
        ASSERT_TRUE(build_udp(client_ip, dst, 5353, port, q, 1, p));
        plane->dispatch(p);
    };
    udp_to(dns_ip, 53);
    udp_to(dns_ip, 54);
    udp_to(service_ip, 53);
    {
        std::lock_guard hold(lock);
        ASSERT_EQ(captured.size(), 1u);
        EXPECT_EQ(captured[0].payload, q);
        EXPECT_EQ(captured[0].client_port, 5353);
    }
    auto refused = take();  // the routed address has no UDP: port unreachable
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_TRUE(refused[0].icmp);
    bytes answer = q;
    answer[2] = 0x81;
    plane->post_dns_reply({client_ip, 5353, answer});
    bytes big = answer;
    big[7] = 1;
    big.resize(1500, 0);  // an answer too long for one datagram
    plane->post_dns_reply({client_ip, 5354, big});
    plane->timer_pass();
    auto out = take();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[0].udp);
    EXPECT_EQ(out[0].src, dns_ip);
    EXPECT_EQ(out[0].sport, 53);
    EXPECT_EQ(out[0].dport, 5353);
    EXPECT_EQ(out[0].data, answer);
    EXPECT_EQ(out[1].dport, 5354);
    EXPECT_EQ(out[1].data.size(), q.size());
    EXPECT_TRUE(dns_truncated(out[1].data));
    EXPECT_EQ(out[1].data[7], 0);
}

TEST_F(data_plane_test, udp_to_a_routed_address_is_refused_with_port_unreachable)
{
    const bytes quic(1200, 0xC3);  // a QUIC Initial's size
    bytes p;
    ASSERT_TRUE(build_udp(client_ip, service_ip, 51000, 443, quic, 0x7777, p));
    plane->dispatch(p);
    auto out = take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].icmp);
    EXPECT_EQ(out[0].icmp_type, 3);
    EXPECT_EQ(out[0].icmp_code, 3);
    EXPECT_EQ(out[0].src, service_ip);
    EXPECT_EQ(out[0].dst, client_ip);
    // Behind the header: the datagram's IP header and its first 8 bytes (the UDP header).
    EXPECT_EQ(out[0].data, bytes(p.begin(), p.begin() + 28));

    // An address that is not routed is none of ours: nothing is sent.
    ASSERT_TRUE(build_udp(client_ip, unknown_ip, 51000, 443, quic, 1, p = {}));
    plane->dispatch(p);
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(plane->flow_count(), 0u);
}

TEST_F(data_plane_test, the_reader_loop_ends_with_the_device)
{
    bytes syn;
    ASSERT_TRUE(build_tcp({client_ip, unknown_ip, 40000, 443, tcp_syn, 1, 0, 65535, false}, {}, 1, syn));
    device.push(syn);
    device.end();
    std::atomic<bool> running{true};
    std::thread reader([&] { plane->run(running); });
    reader.join();  // ends without being told: the device is gone
    EXPECT_FALSE(running.load());
    EXPECT_EQ(take().size(), 1u);  // the SYN was answered before the end was seen
}

}  // namespace
