// Our own primitives against OpenSSL 3's EVP on random inputs (Linux only: OpenSSL is the
// oracle here, never a backend of these primitives).
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "crypto/hmac.h"
#include "crypto/sha3.h"
#include "crypto/sha512.h"

namespace pelto {
namespace {

struct evp_deleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
    void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
    void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
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

}  // namespace
}  // namespace pelto
