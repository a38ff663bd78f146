#include "tun/dns_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "tun/packet.h"

namespace {

using namespace pelto;
using namespace pelto::tun;

void put16(bytes& m, std::uint16_t v)
{
    m.push_back(static_cast<std::uint8_t>(v >> 8));
    m.push_back(static_cast<std::uint8_t>(v));
}

void put_name(bytes& m, std::string_view name)
{
    ASSERT_TRUE(write_dns_name(name, m)) << name;
}

bytes header(std::uint16_t id, std::uint8_t flags2, std::uint8_t flags3, std::uint16_t qd,
             std::uint16_t an, std::uint16_t ns = 0, std::uint16_t ar = 0)
{
    bytes m;
    put16(m, id);
    m.push_back(flags2);
    m.push_back(flags3);
    put16(m, qd);
    put16(m, an);
    put16(m, ns);
    put16(m, ar);
    return m;
}

bytes query(std::string_view name, std::uint16_t type = dns_type_a, std::uint16_t id = 0x1234)
{
    bytes m = header(id, 0x01, 0x00, 1, 0);  // RD
    put_name(m, name);
    put16(m, type);
    put16(m, 1);
    return m;
}

void add_record(bytes& m, std::uint16_t type, byte_span data, std::uint32_t ttl = 300)
{
    m.push_back(0xC0);  // owner: pointer to the question name
    m.push_back(12);
    put16(m, type);
    put16(m, 1);
    put16(m, static_cast<std::uint16_t>(ttl >> 16));
    put16(m, static_cast<std::uint16_t>(ttl));
    put16(m, static_cast<std::uint16_t>(data.size()));
    m.insert(m.end(), data.begin(), data.end());
}

// An answer: header with QR|RD and RA|AD, the question of `q`, then records added by the caller.
bytes answer_for(const bytes& q, std::uint16_t answers)
{
    bytes m(q.begin(), q.end());
    m[2] = 0x81;
    m[3] = 0xA0;  // RA, AD
    m[6] = static_cast<std::uint8_t>(answers >> 8);
    m[7] = static_cast<std::uint8_t>(answers);
    return m;
}

bytes a_data(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) { return {a, b, c, d}; }

struct fake_tun {
    std::map<std::string, std::string> aliases;
    std::map<std::uint32_t, std::string> mapped;
    std::set<std::uint32_t> refused;
    int blocked_v6 = 0;
    bool v6_fails = false;

    dns_rewrite_hooks hooks()
    {
        return {
            [this](std::string_view name) -> std::string {
                const std::string n(name);
                if (n == "svc.test" || (n.size() > 9 && n.ends_with(".svc.test"))) {
                    return n;
                }
                auto it = aliases.find(n);
                return it == aliases.end() ? std::string() : it->second;
            },
            [this](std::string_view target, std::string_view routed) { aliases[std::string(target)] = routed; },
            [this](std::uint32_t address, std::string_view routed) {
                if (refused.count(address)) {
                    return false;
                }
                mapped[address] = routed;
                return true;
            },
            [this](byte_span) {
                ++blocked_v6;
                return !v6_fails;
            },
        };
    }
};

TEST(tun_dns_names, bounded_reader)
{
    bytes m = query("www.Example.COM");
    auto name = read_dns_name(m, 12);
    ASSERT_TRUE(name);
    EXPECT_EQ(name->text, "www.example.com");
    EXPECT_EQ(name->end, m.size() - 4);
    EXPECT_TRUE(name->plain);

    // A pointer to itself, and two pointers to each other, end at the hop limit.
    bytes loop = header(1, 0, 0, 1, 0);
    loop.push_back(0xC0);
    loop.push_back(12);
    EXPECT_FALSE(read_dns_name(loop, 12));
    bytes pair = header(1, 0, 0, 1, 0);
    pair.insert(pair.end(), {0x01, 'a', 0xC0, 16, 0x01, 'b', 0xC0, 12});
    EXPECT_FALSE(read_dns_name(pair, 12));
    // A pointer past the message, a cut pointer, the reserved label types.
    bytes outside = header(1, 0, 0, 1, 0);
    outside.insert(outside.end(), {0xC1, 0x00});
    EXPECT_FALSE(read_dns_name(outside, 12));
    outside.pop_back();
    EXPECT_FALSE(read_dns_name(outside, 12));
    bytes reserved = header(1, 0, 0, 1, 0);
    reserved.insert(reserved.end(), {0x40, 0x00});
    EXPECT_FALSE(read_dns_name(reserved, 12));

    // 63-byte labels pass, 64 do not; 253 characters pass, 254 do not.
    const std::string label63(63, 'a');
    bytes ok63 = header(1, 0, 0, 1, 0);
    ok63.push_back(63);
    ok63.insert(ok63.end(), label63.begin(), label63.end());
    ok63.push_back(0);
    EXPECT_TRUE(read_dns_name(ok63, 12));
    bytes bad64 = header(1, 0, 0, 1, 0);
    bad64.push_back(64);
    bad64.insert(bad64.end(), 64, 'a');
    bad64.push_back(0);
    EXPECT_FALSE(read_dns_name(bad64, 12));
    const std::string n253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    ASSERT_EQ(n253.size(), 253u);
    bytes long_ok = header(1, 0, 0, 1, 0);
    put_name(long_ok, n253);
    EXPECT_TRUE(read_dns_name(long_ok, 12));
    bytes too_long = header(1, 0, 0, 1, 0);
    too_long.push_back(63);
    too_long.insert(too_long.end(), 63, 'a');
    for (int i = 0; i < 2; ++i) {
        too_long.push_back(63);
        too_long.insert(too_long.end(), 63, 'a');
    }
    too_long.push_back(62);
    too_long.insert(too_long.end(), 62, 'b');
    too_long.push_back(0);
    EXPECT_FALSE(read_dns_name(too_long, 12));
    EXPECT_FALSE(write_dns_name(n253 + "c", long_ok));

    // Labels with a dot or NUL read, but are not plain names.
    bytes dotted = header(1, 0, 0, 1, 0);
    dotted.insert(dotted.end(), {0x05, 'a', '.', 's', 'v', 'c', 0x04, 't', 'e', 's', 't', 0x00});
    auto odd = read_dns_name(dotted, 12);
    ASSERT_TRUE(odd);
    EXPECT_FALSE(odd->plain);

    // Every truncated prefix of a valid name fails cleanly.
    for (std::size_t n = 12; n < m.size() - 4; ++n) {
        EXPECT_FALSE(read_dns_name(byte_span(m).first(n), 12)) << n;
    }
}

TEST(tun_dns_query, sanitiser_clamps_edns_and_refuses_overruns)
{
    bytes q = query("svc.test");
    q[11] = 1;  // one additional record: OPT advertising 4096
    q.push_back(0);  // root owner
    put16(q, dns_type_opt);
    put16(q, 4096);
    put16(q, 0);
    put16(q, 0);
    put16(q, 0);
    bytes copy = q;
    ASSERT_TRUE(sanitise_query(copy));
    EXPECT_EQ(copy.size(), q.size());
    EXPECT_EQ(copy[q.size() - 8] << 8 | copy[q.size() - 7], 1200);
    EXPECT_TRUE(is_forwardable_query(copy));

    bytes overrun = q;
    overrun[overrun.size() - 1] = 5;  // RDLENGTH past the end
    EXPECT_FALSE(sanitise_query(overrun));
    for (std::size_t n = 0; n < q.size(); ++n) {
        bytes cut(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(sanitise_query(cut)) << n;
    }

    bytes two = query("svc.test");
    two[5] = 2;
    EXPECT_FALSE(is_forwardable_query(two));
    bytes response = query("svc.test");
    response[2] |= 0x80;
    EXPECT_FALSE(is_forwardable_query(response));
    EXPECT_FALSE(is_forwardable_query(bytes(4097, 0)));
}

TEST(tun_dns_answer, matches_only_its_query)
{
    const bytes q = query("svc.test");
    bytes a = answer_for(q, 0);
    EXPECT_TRUE(answer_matches(q, a));
    bytes upper = answer_for(query("SVC.Test"), 0);
    EXPECT_TRUE(answer_matches(q, upper));
    bytes other_id = a;
    other_id[1] ^= 1;
    EXPECT_FALSE(answer_matches(q, other_id));
    bytes not_response = a;
    not_response[2] &= 0x7F;
    EXPECT_FALSE(answer_matches(q, not_response));
    bytes other_name = answer_for(query("svd.test"), 0);
    EXPECT_FALSE(answer_matches(q, other_name));
    bytes other_type = answer_for(query("svc.test", dns_type_aaaa), 0);
    EXPECT_FALSE(answer_matches(q, other_type));
    bytes other_opcode = a;
    other_opcode[2] |= 0x08;
    EXPECT_FALSE(answer_matches(q, other_opcode));
}

TEST(tun_dns_answer, names_that_are_not_routed_pass_byte_identical)
{
    fake_tun tun;
    bytes a = answer_for(query("other.example"), 1);
    add_record(a, dns_type_a, a_data(93, 184, 216, 34));
    bytes out;
    EXPECT_EQ(rewrite_answer(a, tun.hooks(), out), rewrite_outcome::unchanged);
    EXPECT_TRUE(tun.mapped.empty());
    // A name that only looks routed because a label holds a dot is not routed.
    bytes dotted = header(1, 0x81, 0x80, 1, 0);
    dotted.insert(dotted.end(), {0x05, 'x', '.', 's', 'v', 'c', 0x04, 't', 'e', 's', 't', 0x00, 0, 1, 0, 1});
    EXPECT_EQ(rewrite_answer(dotted, tun.hooks(), out), rewrite_outcome::unchanged);
}

TEST(tun_dns_answer, routed_answer_keeps_mapped_a_and_cname_only)
{
    fake_tun tun;
    tun.refused.insert(ipv4(127, 0, 0, 1));
    bytes a = answer_for(query("www.svc.test"), 5);
    // CNAME www.svc.test → edge.cdn.example
    bytes target;
    write_dns_name("edge.CDN.example", target);
    add_record(a, dns_type_cname, target, 60);
    add_record(a, dns_type_a, a_data(203, 0, 113, 5), 30);
    add_record(a, dns_type_a, a_data(127, 0, 0, 1), 30);
    add_record(a, dns_type_aaaa, bytes(16, 0x20), 30);
    add_record(a, 16, bytes{3, 'a', 'b', 'c'}, 30);  // TXT: dropped
    a[9] = 1;                                         // an authority record: dropped
    add_record(a, 2, bytes{0xC0, 12}, 30);

    bytes out;
    ASSERT_EQ(rewrite_answer(a, tun.hooks(), out), rewrite_outcome::rewritten);
    EXPECT_EQ(tun.aliases["edge.cdn.example"], "www.svc.test");
    EXPECT_EQ(tun.mapped.size(), 1u);
    EXPECT_EQ(tun.mapped[ipv4(203, 0, 113, 5)], "www.svc.test");
    EXPECT_EQ(tun.blocked_v6, 1);

    EXPECT_EQ(out[2] & 0x02, 0);  // TC clear
    EXPECT_EQ(out[3] & 0x20, 0);  // AD clear
    EXPECT_EQ(out[6] << 8 | out[7], 2);
    EXPECT_EQ(out[8] << 8 | out[9], 0);
    EXPECT_EQ(out[10] << 8 | out[11], 0);
    std::size_t at = 12 + 14 + 4;  // header, "www.svc.test", type and class
    auto owner = read_dns_name(out, at);
    ASSERT_TRUE(owner);
    EXPECT_EQ(owner->text, "www.svc.test");
    EXPECT_EQ(out[owner->end + 1], dns_type_cname);
    auto cname = read_dns_name(out, owner->end + 10);
    ASSERT_TRUE(cname);
    EXPECT_EQ(cname->text, "edge.cdn.example");
    auto owner2 = read_dns_name(out, cname->end);
    ASSERT_TRUE(owner2);
    EXPECT_EQ(out[owner2->end + 1], dns_type_a);
    EXPECT_EQ(bytes(out.begin() + static_cast<std::ptrdiff_t>(owner2->end + 10), out.end()),
              a_data(203, 0, 113, 5));

    // A later query for the alias alone is rewritten too.
    bytes b = answer_for(query("edge.cdn.example"), 1);
    add_record(b, dns_type_a, a_data(203, 0, 113, 9));
    ASSERT_EQ(rewrite_answer(b, tun.hooks(), out), rewrite_outcome::rewritten);
    EXPECT_EQ(tun.mapped[ipv4(203, 0, 113, 9)], "www.svc.test");
}

// An answer with no records: NOERROR, the one question of `q` kept, nothing else.
void expect_no_records(const bytes& out, const bytes& q, const char* what)
{
    SCOPED_TRACE(what);
    ASSERT_GE(out.size(), 12u);
    EXPECT_EQ(out[3] & 0x0F, 0);  // NOERROR
    EXPECT_EQ(out[4] << 8 | out[5], 1);
    EXPECT_EQ(out[6] << 8 | out[7], 0);
    EXPECT_EQ(out[8] << 8 | out[9], 0);
    EXPECT_EQ(out[10] << 8 | out[11], 0);
    EXPECT_TRUE(answer_matches(q, out));
    EXPECT_EQ(out.size(), q.size());
}

TEST(tun_dns_answer, routed_aaaa_answers_carry_no_addresses_on_every_path)
{
    fake_tun tun;
    const bytes q = query("svc.test", dns_type_aaaa);
    bytes a = answer_for(q, 1);
    add_record(a, dns_type_aaaa, bytes(16, 0x20));
    bytes out;
    ASSERT_EQ(rewrite_answer(a, tun.hooks(), out), rewrite_outcome::rewritten);
    expect_no_records(out, q, "plain");
    EXPECT_EQ(tun.blocked_v6, 1) << "the address still goes to the leak filters";
    tun.v6_fails = true;
    ASSERT_EQ(rewrite_answer(a, tun.hooks(), out), rewrite_outcome::rewritten);
    expect_no_records(out, q, "filter refused");
    // Answers the record walk refuses: an overrunning record, an unknown label type, an error
    // code, a question pointing into the records.
    bytes overrun = a;
    overrun[overrun.size() - 17] = 40;  // RDLENGTH past the end
    ASSERT_EQ(rewrite_answer(overrun, tun.hooks(), out), rewrite_outcome::rewritten);
    expect_no_records(out, q, "overrun");
    bytes bad_label = answer_for(q, 2);
    add_record(bad_label, dns_type_aaaa, bytes(16, 0x20));
    bad_label.insert(bad_label.end(), {0x80, 0x01});  // reserved label type as an owner
    ASSERT_EQ(rewrite_answer(bad_label, tun.hooks(), out), rewrite_outcome::rewritten);
    expect_no_records(out, q, "bad label");
    bytes failed = a;
    failed[3] |= 0x02;  // SERVFAIL
    ASSERT_EQ(rewrite_answer(failed, tun.hooks(), out), rewrite_outcome::rewritten);
    expect_no_records(out, q, "error code");
    bytes forward = header(0x1234, 0x81, 0x80, 1, 1);
    forward.insert(forward.end(), {0xC0, 30, 0, 28, 0, 1});  // question: pointer to offset 30
    forward.insert(forward.end(), {0xC0, 12, 0, 28, 0, 1, 0, 0, 0, 60, 0, 10});
    write_dns_name("svc.test", forward);  // the name, where the AAAA address would be
    ASSERT_EQ(rewrite_answer(forward, tun.hooks(), out), rewrite_outcome::rewritten);
    expect_no_records(out, q, "forward question");
    // An A answer the walk refuses is emptied the same way, AAAA records and all.
    const bytes qa = query("svc.test");
    bytes mixed = answer_for(qa, 2);
    add_record(mixed, dns_type_aaaa, bytes(16, 0x20));
    add_record(mixed, dns_type_a, a_data(203, 0, 113, 5));
    mixed[mixed.size() - 5] = 9;
    tun.v6_fails = false;
    ASSERT_EQ(rewrite_answer(mixed, tun.hooks(), out), rewrite_outcome::rewritten);
    expect_no_records(out, qa, "A with AAAA");
}

TEST(tun_dns_answer, unreadable_answers_are_handled_without_overruns)
{
    fake_tun tun;
    bytes a = answer_for(query("svc.test"), 2);
    add_record(a, dns_type_a, a_data(203, 0, 113, 5));
    add_record(a, dns_type_a, a_data(203, 0, 113, 6));
    bytes out;
    // A CNAME whose target loops is not kept and does not hang.
    bytes looped = answer_for(query("svc.test"), 1);
    const std::size_t data_at = looped.size() + 12;
    add_record(looped, dns_type_cname, bytes{0xC0, static_cast<std::uint8_t>(data_at)});
    ASSERT_EQ(rewrite_answer(looped, tun.hooks(), out), rewrite_outcome::rewritten);
    EXPECT_EQ(out[7], 0);
    // Every truncated prefix is handled without reading past it.
    for (std::size_t n = 0; n < a.size(); ++n) {
        const bytes cut(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_NE(rewrite_answer(cut, tun.hooks(), out), rewrite_outcome::suppressed) << n;
    }
    bytes no_questions = a;
    no_questions[5] = 0;
    EXPECT_EQ(rewrite_answer(no_questions, tun.hooks(), out), rewrite_outcome::unchanged);
    // A question pointing into a record cannot be cut out as it stands.
    bytes forward = header(7, 0x81, 0x80, 1, 1);
    forward.insert(forward.end(), {0xC0, 30, 0, 1, 0, 1});
    forward.insert(forward.end(), {0xC0, 12, 0, 16, 0, 1, 0, 0, 0, 60, 0, 10});
    write_dns_name("svc.test", forward);
    EXPECT_TRUE(truncated_reply(forward).empty());
}

bytes with_edns(bytes q, std::uint16_t payload_size)
{
    q[11] = 1;  // one additional record: OPT
    q.push_back(0);  // owner: the root
    put16(q, dns_type_opt);
    put16(q, payload_size);  // class: the UDP payload size the asker takes
    put16(q, 0);
    put16(q, 0);  // TTL: extended code, version, flags
    put16(q, 0);  // no options
    return q;
}

TEST(tun_dns_answer, rewritten_answers_stay_compressed_and_fit_the_asker)
{
    const bytes plain = query("svc.test");
    EXPECT_EQ(udp_answer_limit(plain), 512u);
    EXPECT_EQ(udp_answer_limit(with_edns(plain, 1232)), 1232u);
    EXPECT_EQ(udp_answer_limit(with_edns(plain, 100)), 512u);
    EXPECT_EQ(udp_answer_limit(with_edns(plain, 4096)), 1400u);
    EXPECT_EQ(udp_answer_limit(bytes(5, 0)), 512u);

    for (const std::uint16_t count : {std::uint16_t{30}, std::uint16_t{100}}) {
        fake_tun tun;
        bytes a = answer_for(plain, count);
        for (std::uint16_t i = 0; i < count; ++i) {
            add_record(a, dns_type_a, a_data(203, 0, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)));
        }
        bytes out;
        ASSERT_EQ(rewrite_answer(a, tun.hooks(), out), rewrite_outcome::rewritten);
        // Header, question (10 + 4), and per record a 2-byte owner pointer, 10 fixed bytes and 4 of address.
        EXPECT_EQ(out.size(), 12u + 14u + count * 16u) << count;
        std::size_t at = 26;
        for (std::uint16_t i = 0; i < count; ++i) {
            auto owner = read_dns_name(out, at);
            ASSERT_TRUE(owner) << i;
            EXPECT_EQ(owner->text, "svc.test");
            at = owner->end + 14;
        }
        EXPECT_EQ(at, out.size());

        for (const bool edns : {false, true}) {
            const bytes q = edns ? with_edns(plain, 1232) : plain;
            const bytes sent = fit_udp_answer(out, udp_answer_limit(q));
            EXPECT_TRUE(answer_matches(q, sent)) << count << edns;
            if (count == 30) {
                EXPECT_EQ(sent, out) << "30 records fit in 512 bytes";
            } else {
                EXPECT_TRUE(dns_truncated(sent));
                EXPECT_EQ(sent.size(), 26u);
                EXPECT_EQ(sent[6] << 8 | sent[7], 0);
            }
        }
    }

    // A CNAME's owner and target point back at names written before.
    fake_tun tun;
    bytes c = answer_for(query("www.svc.test"), 2);
    bytes target;
    write_dns_name("edge.cdn.example", target);
    const std::size_t target_at = c.size() + 12;  // behind the owner pointer and 10 fixed bytes
    add_record(c, dns_type_cname, target);
    bytes edge = {0xC0, static_cast<std::uint8_t>(target_at)};  // owner: the CNAME's data
    c.insert(c.end(), edge.begin(), edge.end());
    put16(c, dns_type_a);
    put16(c, 1);
    put16(c, 0);
    put16(c, 60);
    put16(c, 4);
    c.insert(c.end(), {203, 0, 113, 7});
    bytes out;
    ASSERT_EQ(rewrite_answer(c, tun.hooks(), out), rewrite_outcome::rewritten);
    // Question 14 + 4; CNAME: pointer, 10 fixed, 18 bytes of target; A: pointer, 10 fixed, 4.
    EXPECT_EQ(out.size(), 12u + 18u + 30u + 16u);
    auto a_owner = read_dns_name(out, 12 + 18 + 30);
    ASSERT_TRUE(a_owner);
    EXPECT_EQ(a_owner->text, "edge.cdn.example");
}

TEST(tun_dns_answer, truncated_reply_keeps_the_question_only)
{
    bytes a = answer_for(query("big.example"), 1);
    add_record(a, dns_type_a, a_data(1, 2, 3, 4));
    const bytes tc = truncated_reply(a);
    ASSERT_EQ(tc.size(), 12u + 13u + 4u);
    EXPECT_TRUE(dns_truncated(tc));
    EXPECT_EQ(tc[6] << 8 | tc[7], 0);
    EXPECT_TRUE(answer_matches(query("big.example"), tc));
    EXPECT_TRUE(truncated_reply(bytes(11, 0)).empty());
}

}  // namespace
