#include "tun/dns_resolver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "tun/dns_message.h"
#include "tun/packet.h"
#include "tun/testing/script_dns_server.h"

namespace {

using namespace pelto;
using namespace pelto::tun;
using namespace std::chrono_literals;

using tun::testing::script_server;

struct recording_routes final : host_routes {
    std::vector<std::uint32_t> added;
    std::vector<std::uint32_t> removed;
    bool fail = false;
    // Runs inside `add`, as another thread would between the route's creation and its record.
    std::function<void(std::uint32_t)> during_add;
    bool add(std::uint32_t address, std::uint32_t& out_error) override
    {
        if (fail) {
            out_error = 5;
            return false;
        }
        added.push_back(address);
        if (during_add) {
            during_add(address);
        }
        return true;
    }
    bool remove(std::uint32_t address, std::uint32_t&) override
    {
        removed.push_back(address);
        return true;
    }
};

bytes query_for(std::string_view name, std::uint16_t id = 0x4242)
{
    bytes m = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    write_dns_name(name, m);
    m.insert(m.end(), {0, 1, 0, 1});
    return m;
}

// The server's answer: the query with QR set and one A record per address.
bytes answer_with(const bytes& q, const std::vector<std::uint32_t>& addresses, bool truncated = false)
{
    bytes a = q;
    a[2] = static_cast<std::uint8_t>(0x81 | (truncated ? 0x02 : 0));
    a[3] = 0x80;
    a[7] = static_cast<std::uint8_t>(addresses.size());
    for (std::uint32_t address : addresses) {
        a.insert(a.end(), {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4});
        std::uint8_t raw[4];
        std::memcpy(raw, &address, 4);
        a.insert(a.end(), raw, raw + 4);
    }
    return a;
}

class dns_resolver_test : public ::testing::Test {
protected:
    void make(script_server::respond_fn respond)
    {
        server = std::make_unique<script_server>(std::move(respond));
        ASSERT_NE(server->port(), 0);
        dns_resolver_config c;
        c.upstream = {htonl(INADDR_LOOPBACK), server->port(), 0};
        c.virtual_dns_address = ipv4(198, 18, 0, 2);
        c.adapter_address = ipv4(10, 77, 0, 1);
        c.is_routed_name = [](std::string_view n) { return n == "svc.test" || (n.size() > 9 && n.ends_with(".svc.test")); };
        c.routes = &routes;
        c.clock = [this] { return now; };
        c.add_leak_filter = [this](byte_span a, bool ipv6) {
            filters_added.emplace_back(bytes(a.begin(), a.end()), ipv6);
            return true;
        };
        c.remove_leak_filter = [this](byte_span a, bool ipv6) {
            filters_removed.emplace_back(bytes(a.begin(), a.end()), ipv6);
        };
        c.log = [this](std::u16string_view line) { logs.emplace_back(line); };
        c.post_reply = [this](dns_datagram r) {
            std::lock_guard hold(lock);
            replies.push_back(std::move(r));
        };
        resolver = std::make_unique<dns_resolver>(std::move(c));
        ASSERT_TRUE(resolver->start());
    }
    void TearDown() override
    {
        resolver.reset();
        server.reset();
    }

    recording_routes routes;
    std::int64_t now = 1'000'000'000;
    std::vector<std::pair<bytes, bool>> filters_added;
    std::vector<std::pair<bytes, bool>> filters_removed;
    std::vector<std::u16string> logs;
    std::mutex lock;
    std::vector<dns_datagram> replies;
    std::unique_ptr<script_server> server;
    std::unique_ptr<dns_resolver> resolver;
};

TEST_F(dns_resolver_test, other_names_pass_unchanged_routed_ones_are_mapped)
{
    make([](const bytes& q, bool) { return answer_with(q, {ipv4(203, 0, 113, 5)}); });
    const bytes other = query_for("example.org");
    EXPECT_EQ(resolver->forward_query(other, dns_transport::udp), answer_with(other, {ipv4(203, 0, 113, 5)}));
    EXPECT_TRUE(routes.added.empty());
    EXPECT_TRUE(resolver->host_for_address(ipv4(203, 0, 113, 5)).empty());

    const bytes routed = query_for("WWW.svc.test");
    const bytes a = resolver->forward_query(routed, dns_transport::udp);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a[7], 1);
    EXPECT_EQ(routes.added, std::vector<std::uint32_t>{ipv4(203, 0, 113, 5)});
    EXPECT_EQ(resolver->host_for_address(ipv4(203, 0, 113, 5)), "www.svc.test");
    ASSERT_EQ(logs.size(), 1u);  // the routed name, once
    resolver->forward_query(routed, dns_transport::udp);
    EXPECT_EQ(routes.added.size(), 1u);
    EXPECT_EQ(logs.size(), 1u);
}

TEST_F(dns_resolver_test, truncated_udp_answer_is_fetched_again_over_tcp)
{
    make([](const bytes& q, bool tcp) { return answer_with(q, {ipv4(203, 0, 113, 7)}, !tcp); });
    const bytes a = resolver->forward_query(query_for("svc.test"), dns_transport::udp);
    ASSERT_FALSE(a.empty());
    EXPECT_FALSE(dns_truncated(a));
    EXPECT_EQ(server->udp_queries, 1);
    EXPECT_EQ(server->tcp_queries, 1);
}

TEST_F(dns_resolver_test, mismatched_or_refused_queries_get_nothing)
{
    make([](const bytes& q, bool) {
        bytes a = answer_with(q, {});
        a[0] ^= 0xFF;  // another id
        return a;
    });
    EXPECT_TRUE(resolver->forward_query(query_for("svc.test"), dns_transport::udp).empty());
    bytes two_questions = query_for("svc.test");
    two_questions[5] = 2;
    EXPECT_TRUE(resolver->forward_query(two_questions, dns_transport::udp).empty());
    EXPECT_EQ(server->udp_queries, 1);  // the second never left
}

TEST_F(dns_resolver_test, map_address_refusals)
{
    make([](const bytes& q, bool) { return answer_with(q, {}); });
    resolver->add_bypass(ipv4(192, 0, 2, 1));
    for (std::uint32_t refused : {0u, ipv4(198, 18, 0, 2), ipv4(10, 77, 0, 1), ipv4(0, 1, 2, 3),
                                  ipv4(127, 0, 0, 1), ipv4(224, 0, 0, 1), ipv4(255, 255, 255, 255),
                                  ipv4(198, 18, 44, 1), ipv4(192, 0, 2, 1)}) {
        EXPECT_FALSE(resolver->map_address(refused, "svc.test")) << std::hex << host_order(refused);
    }
    EXPECT_FALSE(resolver->map_address(ipv4(203, 0, 113, 1), ""));
    EXPECT_TRUE(routes.added.empty());
    EXPECT_TRUE(resolver->map_address(ipv4(198, 19, 0, 1), "svc.test"));
    // A later name for the same address wins.
    EXPECT_TRUE(resolver->map_address(ipv4(198, 19, 0, 1), "b.svc.test"));
    EXPECT_EQ(resolver->host_for_address(ipv4(198, 19, 0, 1)), "b.svc.test");
    EXPECT_EQ(routes.added.size(), 1u);

    routes.fail = true;
    EXPECT_FALSE(resolver->map_address(ipv4(203, 0, 113, 2), "svc.test"));
    EXPECT_FALSE(resolver->map_address(ipv4(203, 0, 113, 3), "svc.test"));
    std::size_t failures = 0;
    for (const auto& l : logs) {
        failures += l.find(u"error 5") != std::u16string::npos;
    }
    EXPECT_EQ(failures, 1u);
}

bytes raw4(std::uint32_t address)
{
    bytes out(4);
    std::memcpy(out.data(), &address, 4);
    return out;
}

// What DNS answers hand out is kept while answers keep naming it: unseen for an hour it goes
// (route, filter and name), and beyond the bound the least recently seen go first.
TEST_F(dns_resolver_test, learnt_addresses_expire_after_an_hour_unseen_and_stay_bounded)
{
    make([](const bytes& q, bool) { return answer_with(q, {}); });
    constexpr std::int64_t minute = 60LL * 1'000'000'000;
    const std::uint32_t old_one = ipv4(203, 0, 113, 10);
    const std::uint32_t fresh = ipv4(203, 0, 113, 11);
    ASSERT_TRUE(resolver->map_address(old_one, "a.svc.test"));
    ASSERT_TRUE(resolver->map_address(fresh, "b.svc.test"));
    resolver->record_alias("cdn.example", "a.svc.test");
    std::uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8};
    ASSERT_TRUE(resolver->fence_ipv6(byte_span(v6, 16)));

    now += 59 * minute;
    ASSERT_TRUE(resolver->map_address(fresh, "b.svc.test"));  // seen again
    EXPECT_EQ(resolver->host_for_address(old_one), "a.svc.test") << "59 minutes is not yet an hour";
    EXPECT_TRUE(routes.removed.empty());

    now += 2 * minute;
    ASSERT_TRUE(resolver->map_address(ipv4(203, 0, 113, 12), "c.svc.test"));
    EXPECT_TRUE(resolver->host_for_address(old_one).empty());
    EXPECT_EQ(resolver->host_for_address(fresh), "b.svc.test");
    EXPECT_EQ(routes.removed, std::vector<std::uint32_t>{old_one});
    EXPECT_TRUE(resolver->routed_name_for("cdn.example").empty()) << "the alias expired too";
    bool v4_filter_gone = false, v6_filter_gone = false;
    for (const auto& [address, ipv6] : filters_removed) {
        v4_filter_gone |= !ipv6 && address == raw4(old_one);
        v6_filter_gone |= ipv6 && address == bytes(v6, v6 + 16);
    }
    EXPECT_TRUE(v4_filter_gone);
    EXPECT_TRUE(v6_filter_gone);
    const auto routed = resolver->routed_addresses();
    EXPECT_EQ(std::count(routed.begin(), routed.end(), old_one), 0);

    // A flood within the hour: the bound holds, the oldest go first, the newest stay.
    routes.removed.clear();
    for (std::uint32_t i = 0; i < max_mappings + 10; ++i) {
        now += 1000;
        ASSERT_TRUE(resolver->map_address(ipv4(100, 64, 0, 0) + htonl(i), "d.svc.test"));
    }
    EXPECT_EQ(resolver->mapped_addresses().size(), max_mappings);
    EXPECT_EQ(resolver->routed_addresses().size(), max_mappings);
    EXPECT_TRUE(resolver->host_for_address(fresh).empty());
    EXPECT_TRUE(resolver->host_for_address(ipv4(100, 64, 0, 9)).empty());
    EXPECT_EQ(resolver->host_for_address(ipv4(100, 64, 0, 10)), "d.svc.test");
    EXPECT_EQ(routes.removed.size(), 12u);  // fresh, the .12 one and the flood's first ten
}

// The node's own address is bypassed on a reuse while an answer naming it is being mapped:
// whichever gets there first, it ends up neither routed nor fenced.
TEST_F(dns_resolver_test, an_address_bypassed_while_it_is_mapped_is_taken_back)
{
    make([](const bytes& q, bool) { return answer_with(q, {}); });
    const std::uint32_t node = ipv4(203, 0, 113, 20);
    bool bypass_reported_routed = true;
    routes.during_add = [&](std::uint32_t address) {
        bypass_reported_routed = resolver->bypass_and_unmap(address);
    };
    EXPECT_FALSE(resolver->map_address(node, "svc.test"));
    EXPECT_FALSE(bypass_reported_routed) << "not yet recorded as routed when bypassed";
    EXPECT_EQ(routes.removed, std::vector<std::uint32_t>{node}) << "the route made is taken back";
    EXPECT_TRUE(resolver->host_for_address(node).empty());
    EXPECT_TRUE(resolver->routed_addresses().empty());
    ASSERT_EQ(filters_removed.size(), 1u);
    EXPECT_EQ(filters_removed[0].first, raw4(node));
    routes.during_add = nullptr;
    EXPECT_FALSE(resolver->map_address(node, "svc.test")) << "a later answer is refused outright";
    EXPECT_EQ(routes.added.size(), 1u);
}

TEST_F(dns_resolver_test, captured_queries_are_answered_and_stop_interrupts_a_silent_server)
{
    const std::vector<std::uint32_t> forty(40, ipv4(93, 184, 216, 34));
    make([&](const bytes& q, bool) {
        return q[1] == 0x01 ? answer_with(q, {}) : q[1] == 0x03 ? answer_with(q, forty) : bytes();
    });
    resolver->capture({ipv4(10, 0, 0, 1), 5353, query_for("example.org", 0x0101)});
    // 40 records (669 bytes) are more than an asker without EDNS takes: TC, and the TCP path
    // still carries them whole.
    resolver->capture({ipv4(10, 0, 0, 1), 5355, query_for("example.org", 0x0303)});
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    for (;;) {
        {
            std::lock_guard hold(lock);
            if (replies.size() == 2) break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(2ms);
    }
    for (const dns_datagram& r : replies) {
        EXPECT_EQ(dns_truncated(r.payload), r.client_port == 5355) << r.client_port;
        EXPECT_LE(r.payload.size(), 512u);
    }
    EXPECT_EQ(resolver->forward_query(query_for("example.org", 0x0303), dns_transport::tcp).size(),
              12u + 17u + 40u * 16u);
    // A query the server never answers holds a worker in its 2 s receive; stopping ends it early.
    resolver->capture({ipv4(10, 0, 0, 1), 5354, query_for("example.org", 0x0202)});
    std::this_thread::sleep_for(100ms);
    const auto before = std::chrono::steady_clock::now();
    resolver->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1500ms);
    EXPECT_TRUE(resolver->forward_query(query_for("example.org"), dns_transport::udp).empty());
}

}  // namespace
