// Our own primitives against OpenSSL 3's EVP on random inputs (Linux only: OpenSSL is the
// oracle here, never a backend of these primitives).
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "crypto/chacha20_poly1305.h"
#include "crypto/hmac.h"
#include "crypto/sha3.h"
#include "crypto/sha512.h"
#include "crypto/x25519.h"

namespace pelto {
namespace {

struct evp_deleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
    void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
    void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};

bytes random_message(std::mt19937& generator, std::size_t size)
{
    bytes out(size);
    for (std::uint8_t& b : out) {
        b = static_cast<std::uint8_t>(generator());
    }
    return out;
}

// OpenSSL's digest (or XOF output of `length` bytes) of `message`.
bytes openssl_digest(const EVP_MD* md, byte_span message, std::size_t length)
{
    std::unique_ptr<EVP_MD_CTX, evp_deleter> ctx(EVP_MD_CTX_new());
    bytes out(length);
    EXPECT_EQ(EVP_DigestInit_ex(ctx.get(), md, nullptr), 1);
    EXPECT_EQ(EVP_DigestUpdate(ctx.get(), message.data(), message.size()), 1);
    if (EVP_MD_get_flags(md) & EVP_MD_FLAG_XOF) {
        EXPECT_EQ(EVP_DigestFinalXOF(ctx.get(), out.data(), out.size()), 1);
    } else {
        unsigned int written = 0;
        EXPECT_EQ(EVP_DigestFinal_ex(ctx.get(), out.data(), &written), 1);
        EXPECT_EQ(written, length);
    }
    return out;
}

template <typename Digest>
bytes to_vector(const Digest& d)
{
    return bytes(d.begin(), d.end());
}

TEST(openssl_cross_check, sha3_shake_and_sha2_on_random_lengths)
{
    std::mt19937 generator(20261208);
    for (int round = 0; round < 200; ++round) {
        // Lengths around every rate (72, 136, 168) and beyond a few blocks.
        const std::size_t size = round < 20 ? static_cast<std::size_t>(round) : generator() % 700;
        const bytes message = random_message(generator, size);
        EXPECT_EQ(to_vector(sha3_256(message)), openssl_digest(EVP_sha3_256(), message, 32)) << size;
        EXPECT_EQ(to_vector(sha3_512(message)), openssl_digest(EVP_sha3_512(), message, 64)) << size;
        EXPECT_EQ(to_vector(sha512(message)), openssl_digest(EVP_sha512(), message, 64)) << size;
        EXPECT_EQ(to_vector(sha384(message)), openssl_digest(EVP_sha384(), message, 48)) << size;

        const std::size_t length = 1 + generator() % 600;
        for (const auto v : {shake_state::variant::shake128, shake_state::variant::shake256}) {
            shake_state state(v);
            state.absorb(message);
            bytes ours(length);
            state.squeeze(ours);
            const EVP_MD* md = v == shake_state::variant::shake128 ? EVP_shake128() : EVP_shake256();
            EXPECT_EQ(ours, openssl_digest(md, message, length)) << size << " " << length;
        }
    }
}

bytes openssl_hkdf_sha384(byte_span ikm, byte_span salt, byte_span info, std::size_t length)
{
    std::unique_ptr<EVP_KDF, evp_deleter> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    std::unique_ptr<EVP_KDF_CTX, evp_deleter> ctx(EVP_KDF_CTX_new(kdf.get()));
    char digest[] = "SHA384";
    static std::uint8_t nothing = 0;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(ikm.data()), ikm.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT,
                                          salt.empty() ? &nothing : const_cast<std::uint8_t*>(salt.data()),
                                          salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO,
                                          info.empty() ? &nothing : const_cast<std::uint8_t*>(info.data()),
                                          info.size()),
        OSSL_PARAM_construct_end(),
    };
    bytes out(length);
    EXPECT_EQ(EVP_KDF_derive(ctx.get(), out.data(), out.size(), params), 1);
    return out;
}

TEST(openssl_cross_check, hkdf_sha384_on_random_inputs)
{
    std::mt19937 generator(4231);
    for (int round = 0; round < 50; ++round) {
        const bytes ikm = random_message(generator, generator() % 80);
        const bytes salt = random_message(generator, round % 5 == 0 ? 0 : generator() % 150);
        const bytes info = random_message(generator, generator() % 60);
        const std::size_t length = 1 + generator() % 300;
        std::array<std::uint8_t, 48> prk{};
        bytes ours;
        ASSERT_TRUE(hkdf_extract(hash_algorithm::sha384, salt, ikm, prk));
        ASSERT_TRUE(hkdf_expand(hash_algorithm::sha384, prk, info, length, ours));
        EXPECT_EQ(ours, openssl_hkdf_sha384(ikm, salt, info, length)) << round;
    }
}

// OpenSSL's ChaCha20-Poly1305: ciphertext || tag.
bytes openssl_chacha_seal(byte_span key, byte_span nonce, byte_span plaintext, byte_span aad)
{
    std::unique_ptr<EVP_CIPHER_CTX, evp_deleter> ctx(EVP_CIPHER_CTX_new());
    bytes out(plaintext.size() + 16);
    int n = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, key.data(), nonce.data()), 1);
    if (!aad.empty()) {
        EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), nullptr, &n, aad.data(), static_cast<int>(aad.size())), 1);
    }
    int written = 0;
    if (!plaintext.empty()) {
        EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &written, plaintext.data(),
                                    static_cast<int>(plaintext.size())),
                  1);
    }
    EXPECT_EQ(EVP_EncryptFinal_ex(ctx.get(), out.data() + written, &n), 1);
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, 16, out.data() + plaintext.size()), 1);
    return out;
}

TEST(openssl_cross_check, chacha20_poly1305_on_random_sizes)
{
    std::mt19937 generator(8439);
    for (int round = 0; round < 150; ++round) {
        const bytes key_bytes = random_message(generator, 32);
        const bytes nonce_bytes = random_message(generator, 12);
        const std::size_t size = round < 40 ? static_cast<std::size_t>(round) : generator() % 6000;
        const bytes plaintext = random_message(generator, size);
        const bytes aad = random_message(generator, generator() % 40);
        std::array<std::uint8_t, 12> nonce{};
        std::copy(nonce_bytes.begin(), nonce_bytes.end(), nonce.begin());
        chacha20_poly1305_key key;
        ASSERT_TRUE(key.create(key_bytes));
        bytes sealed;
        ASSERT_TRUE(chacha20_poly1305_seal(key, nonce, plaintext, aad, sealed));
        EXPECT_EQ(sealed, openssl_chacha_seal(key_bytes, nonce_bytes, plaintext, aad)) << size;
        bytes opened;
        ASSERT_TRUE(chacha20_poly1305_open(key, nonce, sealed, aad, opened)) << size;
        EXPECT_EQ(opened, plaintext);
    }
}

bytes openssl_poly1305(byte_span key, byte_span message)
{
    std::unique_ptr<EVP_MAC, evp_deleter> mac(EVP_MAC_fetch(nullptr, "POLY1305", nullptr));
    std::unique_ptr<EVP_MAC_CTX, evp_deleter> ctx(EVP_MAC_CTX_new(mac.get()));
    EXPECT_EQ(EVP_MAC_init(ctx.get(), key.data(), key.size(), nullptr), 1);
    if (!message.empty()) {
        EXPECT_EQ(EVP_MAC_update(ctx.get(), message.data(), message.size()), 1);
    }
    bytes out(16);
    std::size_t written = 0;
    EXPECT_EQ(EVP_MAC_final(ctx.get(), out.data(), &written, out.size()), 1);
    return out;
}

// Random keys and messages, and messages of 0xff bytes under keys of 0xff bytes (the largest
// limbs, so every carry of the accumulator is taken).
TEST(openssl_cross_check, poly1305_on_random_and_extreme_inputs)
{
    std::mt19937 generator(1305);
    for (int round = 0; round < 200; ++round) {
        const bool extreme = round % 4 == 0;
        const bytes key = extreme ? bytes(32, 0xff) : random_message(generator, 32);
        const std::size_t size = generator() % 300;
        const bytes message = extreme ? bytes(size, 0xff) : random_message(generator, size);
        std::array<std::uint8_t, 32> one_time{};
        std::copy(key.begin(), key.end(), one_time.begin());
        const auto ours = poly1305(one_time, message);
        EXPECT_EQ(bytes(ours.begin(), ours.end()), openssl_poly1305(key, message)) << size;
    }
}

// OpenSSL's public key of a raw X25519 private key, and its shared secret with a raw public key.
x25519_bytes openssl_x25519_public(const x25519_bytes& private_key)
{
    std::unique_ptr<EVP_PKEY, evp_deleter> key(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, private_key.data(), private_key.size()));
    x25519_bytes out{};
    std::size_t size = out.size();
    EXPECT_TRUE(key && EVP_PKEY_get_raw_public_key(key.get(), out.data(), &size) == 1 && size == out.size());
    return out;
}

x25519_bytes openssl_x25519_shared(const x25519_bytes& private_key, const x25519_bytes& public_key)
{
    std::unique_ptr<EVP_PKEY, evp_deleter> key(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, private_key.data(), private_key.size()));
    std::unique_ptr<EVP_PKEY, evp_deleter> peer(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, public_key.data(), public_key.size()));
    std::unique_ptr<EVP_PKEY_CTX, evp_deleter> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    x25519_bytes out{};
    std::size_t size = out.size();
    EXPECT_TRUE(ctx && EVP_PKEY_derive_init(ctx.get()) == 1 && EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) == 1 &&
                EVP_PKEY_derive(ctx.get(), out.data(), &size) == 1 && size == out.size());
    return out;
}

// Random private keys: the fixed-base public key, and the ladder on another random key's public
// key and on random u (the top bit set on half of them, which both sides ignore).
TEST(openssl_cross_check, x25519_on_random_keys)
{
    std::mt19937 generator(25519);
    for (int round = 0; round < 100; ++round) {
        const bytes a_bytes = random_message(generator, 32);
        const bytes b_bytes = random_message(generator, 32);
        const bytes u_bytes = random_message(generator, 32);
        x25519_bytes a{}, b{}, u{};
        std::copy(a_bytes.begin(), a_bytes.end(), a.begin());
        std::copy(b_bytes.begin(), b_bytes.end(), b.begin());
        std::copy(u_bytes.begin(), u_bytes.end(), u.begin());
        u[31] = static_cast<std::uint8_t>(round % 2 == 0 ? u[31] | 0x80 : u[31] & 0x7f);
        const x25519_bytes a_public = x25519_base(a);
        ASSERT_EQ(a_public, openssl_x25519_public(a)) << round;
        const x25519_bytes b_public = openssl_x25519_public(b);
        EXPECT_EQ(x25519(a, b_public), openssl_x25519_shared(a, b_public)) << round;
        EXPECT_EQ(x25519(b, a_public), openssl_x25519_shared(a, b_public)) << round;
        x25519_bytes u_cleared = u;
        u_cleared[31] &= 0x7f;
        EXPECT_EQ(x25519(a, u), openssl_x25519_shared(a, u_cleared)) << round;
    }
}

}  // namespace
}  // namespace pelto
