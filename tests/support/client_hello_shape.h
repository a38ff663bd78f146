#pragma once
// What a TLS ClientHello looks like to a passive observer, for comparing pelto's browser hello
// with a browser's (the stored captures and a live run): one parser over a whole first record,
// the JA4 fingerprint, and one comparison of two hellos' shapes. Test code only.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <array>
#include <string_view>

#include "base/bytes.h"
#include "crypto/ml_kem.h"
#include "crypto/x25519.h"

namespace pelto::testing {

bool is_grease(std::uint16_t v);
std::vector<std::uint16_t> without_grease(const std::vector<std::uint16_t>& values);
std::string hex4(std::uint16_t v);

// One record holding one ClientHello, parsed.
struct parsed_hello {
    std::size_t record_size = 0;  // with its 5-byte header
    std::uint16_t record_version = 0;
    std::vector<std::uint16_t> suites;
    std::vector<std::uint16_t> extension_types;  // in order, GREASE included
    std::map<std::uint16_t, bytes> extensions;
    std::vector<std::uint16_t> groups;
    std::vector<std::uint16_t> signature_algorithms;
    std::vector<std::uint16_t> versions;
    std::vector<std::pair<std::uint16_t, bytes>> key_shares;
    std::vector<std::string> alpn;
    std::string server_name;
    std::size_t session_id_size = 0;
};

// False when `record` is not exactly one handshake record with one well-formed ClientHello.
bool parse_hello(byte_span record, parsed_hello& out);

// JA4 over TCP from its public definition (GREASE left out everywhere).
std::string ja4(const parsed_hello& h);

// Adds a test failure for every way `ours` differs in shape from the browser's `browser`: JA4,
// record version, suites, groups, signature algorithms, versions, ALPN, the extension set, the
// bodies that carry no randomness, GREASE in every place the browser puts it, three key shares
// (GREASE first), a 32-byte session id and no padding. Record sizes are left to the caller.
void expect_browser_shape(const parsed_hello& ours, const parsed_hello& browser);

// Fresh keys for one of pelto's browser hellos: an ML-KEM-768 key pair, two X25519 key pairs,
// a random and a session id.
struct our_keys {
    ml_kem_768_key_pair kem;
    x25519_key_pair hybrid = x25519_keypair();
    x25519_key_pair plain = x25519_keypair();
    std::array<std::uint8_t, 32> random{};
    std::array<std::uint8_t, 32> session_id{};
    our_keys();
};

// pelto's browser hello for `name` as its first record (header included).
bytes our_record(const our_keys& keys, std::string_view name = "www.example.com");

}  // namespace pelto::testing
