#include "proxy/browser_hello.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "tests/support/client_hello_shape.h"

namespace pelto {
namespace {

using testing::expect_browser_shape;
using testing::ja4;
using testing::our_keys;
using testing::our_record;
using testing::parse_hello;
using testing::parsed_hello;

std::string capture_dir()
{
    const char* source = std::getenv("PELTO_SOURCE_DIR");
    return std::string(source != nullptr ? source : ".") + "/proxy/testdata/chromium-clienthello";
}

std::vector<parsed_hello> captured_hellos()
{
    std::vector<parsed_hello> out;
    for (int i = 1; i <= 7; ++i) {
        std::ifstream file(capture_dir() + "/clienthello-" + std::to_string(i) + ".bin", std::ios::binary);
        const bytes record((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        parsed_hello h;
        EXPECT_TRUE(parse_hello(record, h)) << "capture " << i;
        out.push_back(h);
    }
    return out;
}

TEST(BrowserHello, MatchesTheCapturedBrowserByJa4SuitesExtensionsAndGrease)
{
    const std::vector<parsed_hello> captures = captured_hellos();
    ASSERT_EQ(captures.size(), 7u);
    const std::string browser_ja4 = ja4(captures[0]);
    std::size_t min_record = SIZE_MAX, max_record = 0;
    for (const parsed_hello& c : captures) {
        EXPECT_EQ(ja4(c), browser_ja4);  // the fingerprint ignores order and randomness
        min_record = std::min(min_record, c.record_size);
        max_record = std::max(max_record, c.record_size);
    }

    our_keys keys;
    parsed_hello ours;
    ASSERT_TRUE(parse_hello(our_record(keys), ours));
    expect_browser_shape(ours, captures[0]);
    EXPECT_GE(ours.record_size, min_record);
    EXPECT_LE(ours.record_size, max_record);
}

TEST(BrowserHello, KeySharesHybridBeforeX25519WithTheCallersDistinctKeys)
{
    our_keys keys;
    parsed_hello ours;
    ASSERT_TRUE(parse_hello(our_record(keys), ours));
    ASSERT_EQ(ours.key_shares.size(), 3u);
    EXPECT_EQ(ours.key_shares[1].first, tls_group_x25519_mlkem768);
    EXPECT_EQ(ours.key_shares[2].first, tls_group_x25519);
    const bytes& hybrid = ours.key_shares[1].second;
    ASSERT_EQ(hybrid.size(), x25519_mlkem768_client_share_size);
    const auto ek = keys.kem.encapsulation_key();
    EXPECT_TRUE(std::equal(ek.begin(), ek.end(), hybrid.begin()));
    EXPECT_TRUE(std::equal(keys.hybrid.public_key.begin(), keys.hybrid.public_key.end(), hybrid.end() - 32));
    EXPECT_EQ(ours.key_shares[2].second, bytes(keys.plain.public_key.begin(), keys.plain.public_key.end()));
    EXPECT_FALSE(std::equal(hybrid.end() - 32, hybrid.end(), ours.key_shares[2].second.begin()));
    EXPECT_EQ(ours.server_name, "www.example.com");

    // The session id sits where callers patch it.
    const bytes record = our_record(keys);
    EXPECT_TRUE(std::equal(keys.session_id.begin(), keys.session_id.end(),
                           record.begin() + 5 + client_hello_session_id_offset));
}

TEST(BrowserHello, OrderGreaseAndEchLengthChangeBetweenConnections)
{
    const std::vector<parsed_hello> captures = captured_hellos();
    std::set<std::size_t> browser_ech_sizes;
    for (const parsed_hello& c : captures) {
        browser_ech_sizes.insert(c.extensions.at(0xFE0D).size());
    }
    our_keys keys;
    std::set<std::vector<std::uint16_t>> orders;
    std::set<std::uint16_t> first_grease;
    std::set<std::size_t> ech_sizes;
    for (int i = 0; i < 20; ++i) {
        parsed_hello h;
        ASSERT_TRUE(parse_hello(our_record(keys), h));
        orders.insert(std::vector<std::uint16_t>(h.extension_types.begin() + 1, h.extension_types.end() - 1));
        first_grease.insert(h.suites.front());
        ech_sizes.insert(h.extensions.at(0xFE0D).size());
        // ECH GREASE: an outer hello for HKDF-SHA256 / AES-128-GCM with a 32-byte encapsulated key.
        const bytes& ech = h.extensions.at(0xFE0D);
        ASSERT_GE(ech.size(), 42u);
        EXPECT_EQ(bytes(ech.begin(), ech.begin() + 5), (bytes{0x00, 0x00, 0x01, 0x00, 0x01}));
        EXPECT_EQ((ech[6] << 8 | ech[7]), 32);
    }
    EXPECT_GT(orders.size(), 15u);
    EXPECT_GT(first_grease.size(), 1u);
    EXPECT_GT(ech_sizes.size(), 1u);
    for (std::size_t size : browser_ech_sizes) {
        EXPECT_EQ((size - 42 - 16) % 32, 0u);
        EXPECT_GE(size - 42 - 16, 128u);
        EXPECT_LE(size - 42 - 16, 224u);
    }
    for (std::size_t size : ech_sizes) {
        EXPECT_EQ((size - 42 - 16) % 32, 0u);
        EXPECT_GE(size - 42 - 16, 128u);
        EXPECT_LE(size - 42 - 16, 224u);
    }
}

TEST(BrowserHello, NameTooLongOrEmpty)
{
    our_keys keys;
    bytes message{1, 2, 3};
    const std::string long_name(254, 'a');
    const browser_hello_input too_long{long_name, keys.random, keys.session_id, keys.kem.encapsulation_key(),
                                       keys.hybrid.public_key, keys.plain.public_key};
    EXPECT_FALSE(build_browser_client_hello(too_long, message));
    EXPECT_EQ(message, (bytes{1, 2, 3}));

    parsed_hello h;
    ASSERT_TRUE(parse_hello(our_record(keys, ""), h));
    EXPECT_EQ(h.extensions.count(0x0000), 0u);
}

}  // namespace
}  // namespace pelto
