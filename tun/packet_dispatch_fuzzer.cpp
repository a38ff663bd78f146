// libFuzzer target: any sequence of packets into the data plane (IPv4 dispatch, the TCP endpoint,
// UDP capture) with timer passes and clock steps between them. The flows' threads are real; every
// dial either fails or yields a channel that swallows writes and ends when closed. Every packet the
// data plane sends must parse and carry valid checksums.
//
// Input: records of [op][length hi][length lo][length bytes]. op % 4: 0 a raw packet; 1 a TCP
// segment to a routed address, whose first 14 bytes give ports, seq, ack, flags and window and the
// rest its data; 2 a timer pass after the clock moves by length × 50 ms; 3 a UDP datagram to the
// virtual DNS address.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "tun/data_plane.h"
#include "tun/packet.h"
#include "tun/testing/memory_device.h"

namespace {

using namespace pelto;
using namespace pelto::tun;

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

class sink_conn final : public tun_conn {
public:
    std::int32_t read(std::uint8_t*, std::int32_t) override
    {
        std::unique_lock hold(lock_);
        wake_.wait(hold, [&] { return closed_; });
        return 0;
    }
    bool write(const std::uint8_t*, std::int32_t) override { return !closed_; }
    void close() override
    {
        std::lock_guard hold(lock_);
        closed_ = true;
        wake_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool closed_ = false;
};

void check_sent(tun::testing::memory_device& device)
{
    for (const bytes& p : device.take_sent()) {
        auto ip = parse_ipv4_packet(p);
        require(ip.has_value());
        require(internet_checksum(byte_span(p).first(20)) == 0);
        require(transport_checksum(ip->header.source, ip->header.destination, ip->header.protocol,
                                   ip->segment) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::uint32_t client = ipv4(10, 0, 0, 1);
    const std::uint32_t routed = ipv4(203, 0, 113, 5);
    const std::uint32_t dns = ipv4(198, 18, 0, 2);
    tun::testing::memory_device device;
    std::int64_t now = 1'000'000'000;
    data_plane_config c;
    c.device = &device.table();
    c.session = device.session();
    c.virtual_dns_address = dns;
    c.clock = [&now] { return now; };
    c.host_for_address = [routed](std::uint32_t a) { return a == routed ? std::string("svc.test") : std::string(); };
    c.dns_capture = [](dns_datagram q) { require(q.payload.size() <= 65535); };
    c.dns_answer = [](byte_span q) { return bytes(q.begin(), q.end()); };
    // Shared with the workers: one still inside its dial is let go when the plane is destroyed
    // and may count after this input is done.
    const auto dials = std::make_shared<std::atomic<int>>(0);
    data_plane plane(std::move(c));
    plane.set_dial([dials](std::string_view, std::uint16_t, std::u16string&) -> std::unique_ptr<tun_conn> {
        if (++*dials % 2 == 0) {
            return nullptr;
        }
        return std::make_unique<sink_conn>();
    });

    std::size_t at = 0;
    while (at + 3 <= size) {
        const std::uint8_t op = data[at] % 4;
        const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(data[at + 1] << 8 | data[at + 2]), size - at - 3);
        const byte_span body(data + at + 3, length);
        at += 3 + length;
        bytes packet;
        switch (op) {
        case 0:
            plane.dispatch(body);
            break;
        case 1: {
            if (body.size() < 14) {
                break;
            }
            tcp_out s{client, (body[0] & 0x80) ? dns : routed, static_cast<std::uint16_t>(40000 + (body[0] & 3)),
                      (body[0] & 0x80) ? std::uint16_t{53} : std::uint16_t{443}, body[13],
                      static_cast<std::uint32_t>(body[1] << 24 | body[2] << 16 | body[3] << 8 | body[4]),
                      static_cast<std::uint32_t>(body[5] << 24 | body[6] << 16 | body[7] << 8 | body[8]),
                      static_cast<std::uint16_t>(body[9] << 8 | body[10]), false};
            if (build_tcp(s, body.subspan(14), 1, packet)) {
                plane.dispatch(packet);
            }
            break;
        }
        case 2:
            now += static_cast<std::int64_t>(length % 64) * 50'000'000;
            plane.timer_pass();
            break;
        case 3:
            if (build_udp(client, dns, 5353, 53, body.first(std::min<std::size_t>(body.size(), 1400)), 1, packet)) {
                plane.dispatch(packet);
            }
            break;
        }
        check_sent(device);
    }
    plane.timer_pass();
    check_sent(device);
    return 0;
}
