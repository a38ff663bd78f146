// The TLS 1.3 key schedule and record protection against RFC 8448 section 3 (simple 1-RTT).

#include "proxy/tls13.h"

#include <gtest/gtest.h>

#include "crypto/hmac.h"
#include "crypto/test_hex.h"
#include "crypto/x25519.h"

namespace pelto {
namespace {

using test::from_hex;

const bytes client_hello = from_hex(
    "010000c00303cb34ecb1e78163ba1c38c6dacb196a6dffa21a8d9912ec18a2ef6283024dece7000006130113031302010000910000000b"
    "0009000006736572766572ff01000100000a00140012001d0017001800190100010101020103010400230000003300260024001d002099"
    "381de560e4bd43d23d8e435a7dbafeb3c06e51c13cae4d5413691e529aaf2c002b0003020304000d0020001e0403050306030203080408"
    "05080604010501060102010402050206020202002d00020101001c00024001");
const bytes server_hello = from_hex(
    "020000560303a6af06a4121860dc5e6e60249cd34c95930c8ac5cb1434dac155772ed3e2692800130100002e00330024001d0020c98288"
    "76112095fe66762bdbf7c672e156d6cc253b833df1dd69b1b04e751f0f002b00020304");
const bytes encrypted_extensions =
    from_hex("080000240022000a00140012001d00170018001901000101010201030104001c0002400100000000");
const bytes certificate = from_hex(
    "0b0001b9000001b50001b0308201ac30820115a003020102020102300d06092a864886f70d01010b0500300e310c300a0603550403130372"
    "7361301e170d3136303733303031323335395a170d3236303733303031323335395a300e310c300a0603550403130372736130819f300d"
    "06092a864886f70d010101050003818d0030818902818100b4bb498f8279303d980836399b36c6988c0c68de55e1bdb826d3901a2461ea"
    "fd2de49a91d015abbc9a95137ace6c1af19eaa6af98c7ced43120998e187a80ee0ccb0524b1b018c3e0b63264d449a6d38e22a5fda4308"
    "46748030530ef0461c8ca9d9efbfae8ea6d1d03e2bd193eff0ab9a8002c47428a6d35a8d88d79f7f1e3f0203010001a31a301830090603"
    "551d1304023000300b0603551d0f0404030205a0300d06092a864886f70d01010b05000381810085aad2a0e5b9276b908c65f73a726717"
    "0618a54c5f8a7b337d2df7a594365417f2eae8f8a58c8f8172f9319cf36b7fd6c55b80f21a03015156726096fd335e5e67f2dbf102702e"
    "608ccae6bec1fc63a42a99be5c3eb7107c3c54e9b9eb2bd5203b1c3b84e0a8b2f759409ba3eac9d91d402dcc0cc8f8961229ac9187b42b"
    "4de10000");
const bytes certificate_verify = from_hex(
    "0f000084080400805a747c5d88fa9bd2e55ab085a61015b7211f824cd484145ab3ff52f1fda8477b0b7abc90db78e2d33a5c141a078653"
    "fa6bef780c5ea248eeaaa785c4f394cab6d30bbe8d4859ee511f602957b15411ac027671459e46445c9ea58c181e818e95b8c3fb0bf327"
    "8409d3be152a3da5043e063dda65cdf5aea20d53dfacd42f74f3");
const bytes server_finished = from_hex("140000209b9b141d906337fbd2cbdce71df4deda4ab42c309572cb7fffee5454b78f0718");
const bytes client_finished = from_hex("14000020a8ec436d677634ae525ac1fcebe11a039ec17694fac6e98527b642f2edd5ce61");
const bytes client_finished_record = from_hex(
    "170303003575ec4dc238cce60b298044a71e219c56cc77b0517fe9b93c7a4bfc44d87f38f80338ac98fc46deb384bd1caeacab6867d726"
    "c40546");

bytes of(const tls13_secret& s) { return bytes(s.begin(), s.end()); }

TEST(tls13_key_schedule, follows_rfc8448_simple_handshake)
{
    // The client's ephemeral key and the server's share give the RFC's shared secret.
    x25519_bytes client_private{};
    x25519_bytes server_public{};
    const bytes cp = from_hex("49af42ba7f7994852d713ef2784bcbcaa7911de26adc5642cb634540e7ea5005");
    const bytes sp = from_hex("c9828876112095fe66762bdbf7c672e156d6cc253b833df1dd69b1b04e751f0f");
    std::copy(cp.begin(), cp.end(), client_private.begin());
    std::copy(sp.begin(), sp.end(), server_public.begin());
    const x25519_bytes shared = x25519(client_private, server_public);
    ASSERT_EQ(bytes(shared.begin(), shared.end()),
              from_hex("8bd4054fb55b9d63fdfbacf9f04b9f0d35e6d63f537563efd46272900f89492d"));

    tls13_key_schedule schedule;
    schedule.add_message(client_hello);
    schedule.add_message(server_hello);
    ASSERT_TRUE(schedule.derive_handshake_secrets(shared));
    EXPECT_EQ(of(schedule.handshake_secret()),
              from_hex("1dc826e93606aa6fdc0aadc12f741b01046aa6b99f691ed221a9f0ca043fbeac"));
    EXPECT_EQ(of(schedule.client_handshake_secret()),
              from_hex("b3eddb126e067f35a780b3abf45e2d8f3b1a950738f52e9600746a0e27a55a21"));
    EXPECT_EQ(of(schedule.server_handshake_secret()),
              from_hex("b67b7d690cc16c4e75e54213cb2d37b4e9c912bcded9105d42befd59d391ad38"));

    // The server's Finished over EncryptedExtensions, Certificate and CertificateVerify.
    for (const bytes* m : {&encrypted_extensions, &certificate, &certificate_verify}) {
        schedule.add_message(*m);
    }
    tls13_secret verify{};
    ASSERT_TRUE(tls13_key_schedule::finished_verify_data(schedule.server_handshake_secret(), schedule.transcript_hash(),
                                                         verify));
    EXPECT_EQ(bytes(server_finished.begin() + 4, server_finished.end()), of(verify));
    schedule.add_message(server_finished);

    ASSERT_TRUE(schedule.derive_application_secrets());
    EXPECT_EQ(of(schedule.master_secret()),
              from_hex("18df06843d13a08bf2a449844c5f8a478001bc4d4c627984d5a41da8d0402919"));
    EXPECT_EQ(of(schedule.client_application_secret()),
              from_hex("9e40646ce79a7f9dc05af8889bce6552875afa0b06df0087f792ebb7c17504a5"));
    EXPECT_EQ(of(schedule.server_application_secret()),
              from_hex("a11af9f05531f856ad47116b45a950328204b4f44bfb6b3a4b4f1f3fcb631643"));

    // The client's Finished, sealed under the client handshake key at sequence 0, is the RFC's
    // record byte for byte.
    ASSERT_TRUE(tls13_key_schedule::finished_verify_data(schedule.client_handshake_secret(), schedule.transcript_hash(),
                                                         verify));
    EXPECT_EQ(bytes(client_finished.begin() + 4, client_finished.end()), of(verify));
    tls13_record_cipher writer;
    ASSERT_TRUE(writer.install(schedule.client_handshake_secret()));
    bytes record;
    ASSERT_TRUE(writer.seal(tls_type_handshake, client_finished, record));
    EXPECT_EQ(record, client_finished_record);

    // And it opens again under the same secret (what the server does).
    tls13_record_cipher reader;
    ASSERT_TRUE(reader.install(schedule.client_handshake_secret()));
    std::uint8_t type = 0;
    std::span<std::uint8_t> content;
    ASSERT_TRUE(reader.open(std::span<const std::uint8_t, 5>(record.data(), 5),
                            std::span<std::uint8_t>(record).subspan(5), type, content));
    EXPECT_EQ(type, tls_type_handshake);
    EXPECT_EQ(bytes(content.begin(), content.end()), client_finished);
}

TEST(tls13_record_cipher, key_update_and_sequence_numbers)
{
    tls13_secret secret{};
    std::fill(secret.begin(), secret.end(), 0x42);
    tls13_record_cipher writer;
    tls13_record_cipher reader;
    ASSERT_TRUE(writer.install(secret));
    ASSERT_TRUE(reader.install(secret));
    auto roundtrip = [&](std::uint8_t fill) {
        bytes record;
        const bytes payload(100, fill);
        if (!writer.seal(tls_type_application_data, payload, record)) {
            return false;
        }
        std::uint8_t type = 0;
        std::span<std::uint8_t> content;
        return reader.open(std::span<const std::uint8_t, 5>(record.data(), 5), std::span<std::uint8_t>(record).subspan(5),
                           type, content) &&
               type == tls_type_application_data && bytes(content.begin(), content.end()) == payload;
    };
    ASSERT_TRUE(roundtrip(1));
    ASSERT_TRUE(roundtrip(2));
    EXPECT_EQ(reader.sequence(), 2u);
    // Only the reader updates: the next record fails; with both updated it opens at sequence 0.
    ASSERT_TRUE(reader.update());
    EXPECT_EQ(reader.sequence(), 0u);
    EXPECT_FALSE(roundtrip(3));
    ASSERT_TRUE(reader.install(secret));
    ASSERT_TRUE(writer.update());
    ASSERT_TRUE(reader.update());
    // The traffic secret follows RFC 8446 §7.2.
    bytes expected;
    ASSERT_TRUE(hkdf_expand_label(secret, "traffic upd", {}, 32, expected));
    EXPECT_EQ(of(reader.secret()), expected);
}

TEST(tls13_record_cipher, refuses_forged_and_typeless_records)
{
    tls13_secret secret{};
    tls13_record_cipher writer;
    ASSERT_TRUE(writer.install(secret));
    bytes all_zero;  // an inner plaintext of padding only: no content type
    ASSERT_TRUE(writer.seal(0, {}, all_zero));
    bytes flipped;
    ASSERT_TRUE(writer.seal(tls_type_application_data, bytes(40, 7), flipped));
    flipped[12] ^= 1;
    tls13_record_cipher reader;
    ASSERT_TRUE(reader.install(secret));
    std::uint8_t type = 0;
    std::span<std::uint8_t> content;
    EXPECT_FALSE(reader.open(std::span<const std::uint8_t, 5>(all_zero.data(), 5),
                             std::span<std::uint8_t>(all_zero).subspan(5), type, content));
    EXPECT_FALSE(reader.open(std::span<const std::uint8_t, 5>(flipped.data(), 5),
                             std::span<std::uint8_t>(flipped).subspan(5), type, content));
    // More than one record's worth of plaintext is refused.
    bytes big;
    EXPECT_FALSE(writer.seal(tls_type_application_data, bytes(16385, 0), big));
    EXPECT_TRUE(big.empty());
}

}  // namespace
}  // namespace pelto

namespace pelto {
namespace {

// Each suite seals and opens its own records, refuses another suite's, and renews both keys on a
// KeyUpdate; SHA-384 secrets are 48 bytes and a secret of the wrong size is refused.
TEST(tls13_record_cipher, every_suite_round_trips_and_keeps_apart)
{
    const tls13_suite suites[] = {tls13_suite::aes_128_gcm_sha256, tls13_suite::aes_256_gcm_sha384,
                                  tls13_suite::chacha20_poly1305_sha256};
    for (tls13_suite suite : suites) {
        tls13_secret secret(hmac_size(tls13_suite_hash(suite)));
        std::fill(secret.begin(), secret.end(), 0x5A);
        tls13_record_cipher writer;
        tls13_record_cipher reader;
        ASSERT_TRUE(writer.install(secret, suite));
        ASSERT_TRUE(reader.install(secret, suite));
        for (int round = 0; round < 2; ++round) {
            bytes record;
            const bytes payload(3000, static_cast<std::uint8_t>(round + 1));
            ASSERT_TRUE(writer.seal(tls_type_application_data, payload, record));
            std::uint8_t type = 0;
            std::span<std::uint8_t> content;
            ASSERT_TRUE(reader.open(std::span<const std::uint8_t, 5>(record.data(), 5),
                                    std::span<std::uint8_t>(record).subspan(5), type, content));
            EXPECT_EQ(bytes(content.begin(), content.end()), payload);
            ASSERT_TRUE(writer.update());
            ASSERT_TRUE(reader.update());
            EXPECT_EQ(reader.secret().size(), secret.size());
        }
        for (tls13_suite other : suites) {
            if (other == suite || tls13_suite_hash(other) != tls13_suite_hash(suite)) {
                continue;
            }
            tls13_record_cipher stranger;
            ASSERT_TRUE(stranger.install(secret, other));
            bytes record;
            ASSERT_TRUE(stranger.seal(tls_type_application_data, bytes(10, 1), record));
            tls13_record_cipher fresh;
            ASSERT_TRUE(fresh.install(secret, suite));
            std::uint8_t type = 0;
            std::span<std::uint8_t> content;
            EXPECT_FALSE(fresh.open(std::span<const std::uint8_t, 5>(record.data(), 5),
                                    std::span<std::uint8_t>(record).subspan(5), type, content));
        }
    }
    tls13_record_cipher cipher;
    EXPECT_FALSE(cipher.install(tls13_secret(32), tls13_suite::aes_256_gcm_sha384));
    EXPECT_FALSE(cipher.install(tls13_secret(48), tls13_suite::chacha20_poly1305_sha256));
}

// The SHA-384 schedule keeps the ClientHello from before the suite was known and yields 48-byte
// secrets whose Finished differs from the SHA-256 schedule's over the same messages.
TEST(tls13_key_schedule, sha384_after_the_server_hello_names_it)
{
    const bytes hello(300, 0x11);
    const bytes server_hello(90, 0x22);
    const bytes shared(64, 0x33);
    tls13_key_schedule sha256_schedule;
    tls13_key_schedule sha384_schedule;
    for (tls13_key_schedule* s : {&sha256_schedule, &sha384_schedule}) {
        s->add_message(hello);
    }
    sha384_schedule.select_suite(tls13_suite::aes_256_gcm_sha384);
    for (tls13_key_schedule* s : {&sha256_schedule, &sha384_schedule}) {
        s->add_message(server_hello);
        ASSERT_TRUE(s->derive_handshake_secrets(shared));
    }
    EXPECT_EQ(sha256_schedule.transcript_hash().size(), 32u);
    EXPECT_EQ(sha384_schedule.transcript_hash().size(), 48u);
    bytes both = hello;
    both.insert(both.end(), server_hello.begin(), server_hello.end());
    const sha384_digest expected = [&] {
        sha512_state state(sha512_state::variant::sha384);
        state.update(both);
        return state.final384();
    }();
    EXPECT_EQ(of(sha384_schedule.transcript_hash()), bytes(expected.begin(), expected.end()));
    EXPECT_EQ(sha384_schedule.server_handshake_secret().size(), 48u);
    tls13_secret verify;
    ASSERT_TRUE(tls13_key_schedule::finished_verify_data(sha384_schedule.server_handshake_secret(),
                                                         sha384_schedule.transcript_hash(), verify));
    EXPECT_EQ(verify.size(), 48u);
    ASSERT_TRUE(sha384_schedule.derive_application_secrets());
    EXPECT_EQ(sha384_schedule.client_application_secret().size(), 48u);
    tls13_record_cipher cipher;
    EXPECT_TRUE(cipher.install(sha384_schedule.client_application_secret(), tls13_suite::aes_256_gcm_sha384));
}

}  // namespace
}  // namespace pelto
