#include "tests/support/client_hello_shape.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>

#include "crypto/random.h"
#include "crypto/sha256.h"
#include "proxy/browser_hello.h"

namespace pelto::testing {
namespace {

std::vector<std::uint16_t> read_u16_list(byte_reader list)
{
    std::vector<std::uint16_t> out;
    std::uint16_t v = 0;
    while (list.read_u16(v)) {
        out.push_back(v);
    }
    return out;
}

std::string hash12(const std::string& text)
{
    if (text.empty()) {
        return "000000000000";
    }
    const sha256_digest d = sha256(as_bytes(text));
    std::string out;
    for (std::size_t i = 0; i < 6; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", d[i]);
        out += two;
    }
    return out;
}

std::string joined(const std::vector<std::uint16_t>& values)
{
    std::string out;
    for (std::uint16_t v : values) {
        out += (out.empty() ? "" : ",") + hex4(v);
    }
    return out;
}

}  // namespace

bool is_grease(std::uint16_t v)
{
    return (v & 0x0F0F) == 0x0A0A && (v >> 8) == (v & 0xFF);
}

std::string hex4(std::uint16_t v)
{
    char text[5];
    std::snprintf(text, sizeof text, "%04x", v);
    return text;
}

std::vector<std::uint16_t> without_grease(const std::vector<std::uint16_t>& values)
{
    std::vector<std::uint16_t> out;
    std::copy_if(values.begin(), values.end(), std::back_inserter(out), [](std::uint16_t v) { return !is_grease(v); });
    return out;
}

bool parse_hello(byte_span record, parsed_hello& out)
{
    byte_reader r(record);
    std::uint8_t type = 0;
    byte_reader body;
    if (!r.read_u8(type) || type != 22 || !r.read_u16(out.record_version) || !r.read_prefixed_u16(body) || !r.empty()) {
        return false;
    }
    out.record_size = record.size();
    std::uint8_t message_type = 0;
    byte_reader hello;
    std::uint16_t version = 0;
    byte_span random;
    byte_reader session_id, suites, compression, extensions;
    if (!body.read_u8(message_type) || message_type != 1 || !body.read_prefixed_u24(hello) || !body.empty() ||
        !hello.read_u16(version) || !hello.read_bytes(32, random) || !hello.read_prefixed_u8(session_id) ||
        !hello.read_prefixed_u16(suites) || !hello.read_prefixed_u8(compression) ||
        !hello.read_prefixed_u16(extensions) || !hello.empty()) {
        return false;
    }
    out.session_id_size = session_id.remaining();
    out.suites = read_u16_list(suites);
    while (!extensions.empty()) {
        std::uint16_t ext_type = 0;
        byte_reader ext;
        if (!extensions.read_u16(ext_type) || !extensions.read_prefixed_u16(ext)) {
            return false;
        }
        out.extension_types.push_back(ext_type);
        out.extensions[ext_type] = bytes(ext.rest().begin(), ext.rest().end());
        byte_reader list;
        switch (ext_type) {
        case 0x0000: {
            std::uint8_t name_type = 0;
            byte_reader name;
            if (!ext.read_prefixed_u16(list) || !list.read_u8(name_type) || !list.read_prefixed_u16(name)) {
                return false;
            }
            out.server_name.assign(name.rest().begin(), name.rest().end());
            break;
        }
        case 0x000A:
            if (!ext.read_prefixed_u16(list)) return false;
            out.groups = read_u16_list(list);
            break;
        case 0x000D:
            if (!ext.read_prefixed_u16(list)) return false;
            out.signature_algorithms = read_u16_list(list);
            break;
        case 0x002B:
            if (!ext.read_prefixed_u8(list)) return false;
            out.versions = read_u16_list(list);
            break;
        case 0x0010: {
            if (!ext.read_prefixed_u16(list)) return false;
            byte_reader name;
            while (list.read_prefixed_u8(name)) {
                out.alpn.emplace_back(name.rest().begin(), name.rest().end());
            }
            break;
        }
        case 0x0033: {
            if (!ext.read_prefixed_u16(list)) return false;
            std::uint16_t group = 0;
            byte_reader key;
            while (list.read_u16(group) && list.read_prefixed_u16(key)) {
                out.key_shares.emplace_back(group, bytes(key.rest().begin(), key.rest().end()));
            }
            break;
        }
        default:
            break;
        }
    }
    return true;
}

// JA4 over TCP from its public definition: t, TLS version, SNI flag, suite and extension counts,
// ALPN's first and last characters; the sorted suites' hash; the sorted extensions' (without SNI
// and ALPN) hash with the signature algorithms in order. GREASE is left out everywhere.
std::string ja4(const parsed_hello& h)
{
    const std::vector<std::uint16_t> versions = without_grease(h.versions);
    const std::uint16_t top = versions.empty() ? 0 : *std::max_element(versions.begin(), versions.end());
    std::vector<std::uint16_t> suites = without_grease(h.suites);
    std::vector<std::uint16_t> extensions = without_grease(h.extension_types);
    char a[16];
    const std::string alpn = h.alpn.empty() ? "00" : std::string{h.alpn[0].front(), h.alpn[0].back()};
    std::snprintf(a, sizeof a, "t%s%c%02zu%02zu%s", top == 0x0304 ? "13" : "12", h.server_name.empty() ? 'i' : 'd',
                  std::min<std::size_t>(suites.size(), 99), std::min<std::size_t>(extensions.size(), 99), alpn.c_str());
    std::sort(suites.begin(), suites.end());
    std::vector<std::uint16_t> hashed;
    std::copy_if(extensions.begin(), extensions.end(), std::back_inserter(hashed),
                 [](std::uint16_t v) { return v != 0x0000 && v != 0x0010; });
    std::sort(hashed.begin(), hashed.end());
    const std::string signatures = joined(without_grease(h.signature_algorithms));
    return std::string(a) + "_" + hash12(joined(suites)) + "_" +
           hash12(joined(hashed) + (signatures.empty() ? "" : "_" + signatures));
}

namespace {

// An extension's body, empty when the hello has none of that type.
bytes body_of(const parsed_hello& h, std::uint16_t type)
{
    const auto it = h.extensions.find(type);
    return it == h.extensions.end() ? bytes{} : it->second;
}

}  // namespace

void expect_browser_shape(const parsed_hello& ours, const parsed_hello& browser)
{
    EXPECT_EQ(ja4(ours), ja4(browser));
    EXPECT_EQ(ours.record_version, browser.record_version);
    EXPECT_EQ(without_grease(ours.suites), without_grease(browser.suites));
    EXPECT_EQ(without_grease(ours.groups), without_grease(browser.groups));
    EXPECT_EQ(without_grease(ours.signature_algorithms), without_grease(browser.signature_algorithms));
    EXPECT_EQ(without_grease(ours.versions), without_grease(browser.versions));
    EXPECT_EQ(ours.alpn, browser.alpn);
    std::set<std::uint16_t> our_set(ours.extension_types.begin(), ours.extension_types.end());
    std::set<std::uint16_t> browser_set(browser.extension_types.begin(), browser.extension_types.end());
    std::erase_if(our_set, is_grease);
    std::erase_if(browser_set, is_grease);
    EXPECT_EQ(our_set, browser_set);
    EXPECT_EQ(ours.session_id_size, 32u);
    EXPECT_EQ(ours.extensions.count(0x0015), 0u);  // no padding

    // The extensions whose bodies carry no randomness are the browser's bytes.
    for (std::uint16_t fixed : {0x0005, 0x000B, 0x0010, 0x001B, 0x002D, 0x44CD, 0xCA34, 0xFF01, 0x0017, 0x0012, 0x0023}) {
        EXPECT_EQ(browser.extensions.count(fixed), 1u) << hex4(fixed);
        EXPECT_EQ(body_of(ours, fixed), body_of(browser, fixed)) << hex4(fixed);
    }

    // GREASE wherever the browser has it.
    for (const parsed_hello* h : {static_cast<const parsed_hello*>(&ours), &browser}) {
        ASSERT_FALSE(h->suites.empty() || h->groups.empty() || h->signature_algorithms.empty() || h->versions.empty() ||
                     h->extension_types.empty());
        EXPECT_TRUE(is_grease(h->suites.front()));
        EXPECT_TRUE(is_grease(h->groups.front()));
        EXPECT_TRUE(is_grease(h->signature_algorithms.front()));
        EXPECT_TRUE(is_grease(h->versions.front()));
        EXPECT_TRUE(is_grease(h->extension_types.front()));
        EXPECT_TRUE(is_grease(h->extension_types.back()));
        EXPECT_NE(h->extension_types.front(), h->extension_types.back());
        EXPECT_TRUE(body_of(*h, h->extension_types.front()).empty());
        EXPECT_EQ(body_of(*h, h->extension_types.back()), bytes{0});
        ASSERT_EQ(h->key_shares.size(), 3u);
        EXPECT_TRUE(is_grease(h->key_shares[0].first));
        EXPECT_EQ(h->key_shares[0].second, bytes{0});
        EXPECT_EQ(h->key_shares[0].first, h->groups.front());
    }
}

our_keys::our_keys()
{
    EXPECT_TRUE(kem.generate());
    random_bytes(random);
    random_bytes(session_id);
}

bytes our_record(const our_keys& keys, std::string_view name)
{
    bytes message;
    const browser_hello_input input{name, keys.random, keys.session_id, keys.kem.encapsulation_key(),
                                    keys.hybrid.public_key, keys.plain.public_key};
    EXPECT_TRUE(build_browser_client_hello(input, message));
    const auto header = client_hello_record_header(message.size());
    bytes record(header.begin(), header.end());
    record.insert(record.end(), message.begin(), message.end());
    return record;
}

}  // namespace pelto::testing
