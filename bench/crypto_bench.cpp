// Crypto primitives: our SHA-256, AES-GCM through aes_gcm_key next to raw OpenSSL EVP, X25519 on
// both field paths next to OpenSSL's X25519, ML-KEM-768, and our ChaCha20-Poly1305 next to
// OpenSSL's.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "crypto/aes_gcm.h"
#include "crypto/chacha20_poly1305.h"
#include "crypto/ml_kem.h"
#include "crypto/sha256.h"
#include "crypto/sha3.h"
#include "crypto/x25519.h"

#if __has_include(<openssl/evp.h>)
#include <openssl/evp.h>
#define PELTO_BENCH_OPENSSL 1
#endif

namespace {

constexpr std::size_t message_size = 16 * 1024;

std::vector<std::uint8_t> pattern(std::size_t n)
{
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    return out;
}

const std::array<std::uint8_t, 16> aes_key = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const std::array<std::uint8_t, 13> aad = {0x17, 0x03, 0x03, 0x40, 0x11, 0, 0, 0, 0, 0, 0, 0, 0};

void sha256_16k(benchmark::State& state)
{
    const auto data = pattern(message_size);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pelto::sha256(data));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message_size));
}
BENCHMARK(sha256_16k);

void aes128gcm_seal_16k(benchmark::State& state)
{
    const auto data = pattern(message_size);
    pelto::aes_gcm_key key;
    if (!key.create(aes_key)) {
        state.SkipWithError("key");
        return;
    }
    std::array<std::uint8_t, 12> nonce{};
    pelto::bytes out;
    for (auto _ : state) {
        pelto::nonce_increment(nonce);
        if (!pelto::aes_gcm_seal(key, nonce, data, aad, out)) {
            state.SkipWithError("seal");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message_size));
}
BENCHMARK(aes128gcm_seal_16k);

void aes128gcm_open_16k(benchmark::State& state)
{
    const auto data = pattern(message_size);
    pelto::aes_gcm_key key;
    const std::array<std::uint8_t, 12> nonce{};
    pelto::bytes sealed;
    if (!key.create(aes_key) || !pelto::aes_gcm_seal(key, nonce, data, aad, sealed)) {
        state.SkipWithError("seal");
        return;
    }
    pelto::bytes out;
    for (auto _ : state) {
        if (!pelto::aes_gcm_open(key, nonce, sealed, aad, out)) {
            state.SkipWithError("open");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message_size));
}
BENCHMARK(aes128gcm_open_16k);

// One variable-base X25519 (the Montgomery ladder), each result the next u.
void x25519_ladder(benchmark::State& state)
{
    pelto::x25519_bytes scalar{};
    pelto::x25519_bytes u{};
    for (std::size_t i = 0; i < 32; ++i) {
        scalar[i] = static_cast<std::uint8_t>(i * 17 + 3);
        u[i] = static_cast<std::uint8_t>(i * 29 + 11);
    }
    for (auto _ : state) {
        u = pelto::x25519(scalar, u);
        benchmark::DoNotOptimize(u);
    }
}
BENCHMARK(x25519_ladder);

// One fixed-base X25519 (a public key), each result the next scalar.
void x25519_fixed_base(benchmark::State& state)
{
    pelto::x25519_bytes scalar{};
    for (std::size_t i = 0; i < 32; ++i) {
        scalar[i] = static_cast<std::uint8_t>(i * 17 + 3);
    }
    for (auto _ : state) {
        scalar = pelto::x25519_base(scalar);
        benchmark::DoNotOptimize(scalar);
    }
}
BENCHMARK(x25519_fixed_base);

const std::array<std::uint8_t, 32> aes256_key = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                                  17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

// One TLS record's worth: seal, then open the sealed bytes in place.
void aes256gcm_seal_open_16k(benchmark::State& state)
{
    const auto data = pattern(message_size);
    pelto::aes_gcm_key key;
    if (!key.create(aes256_key)) {
        state.SkipWithError("key");
        return;
    }
    std::array<std::uint8_t, 12> nonce{};
    std::vector<std::uint8_t> record(message_size + 16);
    for (auto _ : state) {
        pelto::nonce_increment(nonce);
        if (!pelto::aes_gcm_seal_into(key, nonce, data, aad, record) ||
            !pelto::aes_gcm_open_in_place(key, nonce, record, aad)) {
            state.SkipWithError("seal or open");
            break;
        }
        benchmark::DoNotOptimize(record.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message_size));
}
BENCHMARK(aes256gcm_seal_open_16k);

void chacha20_poly1305_seal_open(benchmark::State& state, pelto::chacha20_path path)
{
    if (!pelto::chacha20_path_available(path)) {
        state.SkipWithError("path not available on this processor");
        return;
    }
    const auto data = pattern(message_size);
    pelto::chacha20_poly1305_key key;
    if (!key.create(aes256_key)) {
        state.SkipWithError("key");
        return;
    }
    std::array<std::uint8_t, 12> nonce{};
    std::vector<std::uint8_t> record(message_size + 16);
    for (auto _ : state) {
        pelto::nonce_increment(nonce);
        if (!pelto::chacha20_poly1305_seal_on_path(path, key, nonce, data, aad, record) ||
            !pelto::chacha20_poly1305_open_on_path(path, key, nonce, record, aad)) {
            state.SkipWithError("seal or open");
            break;
        }
        benchmark::DoNotOptimize(record.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message_size));
}
BENCHMARK_CAPTURE(chacha20_poly1305_seal_open, 16k_default, pelto::chacha20_default_path());
BENCHMARK_CAPTURE(chacha20_poly1305_seal_open, 16k_avx2, pelto::chacha20_path::avx2);
BENCHMARK_CAPTURE(chacha20_poly1305_seal_open, 16k_scalar, pelto::chacha20_path::scalar);

void shake128_matrix_row(benchmark::State& state)
{
    std::array<std::uint8_t, 34> seed{};
    std::array<std::uint8_t, 3 * 168> out{};
    for (auto _ : state) {
        pelto::shake_state xof(pelto::shake_state::variant::shake128);
        xof.absorb(seed);
        xof.squeeze(out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(shake128_matrix_row);

void ml_kem_768_keygen(benchmark::State& state)
{
    pelto::ml_kem_768_key_pair pair;
    for (auto _ : state) {
        if (!pair.generate()) {
            state.SkipWithError("generate");
            break;
        }
        benchmark::DoNotOptimize(pair.encapsulation_key().data());
    }
}
BENCHMARK(ml_kem_768_keygen);

// A ciphertext for `pair` made by our encapsulation.
std::array<std::uint8_t, pelto::ml_kem_768_ciphertext_size> ciphertext_for(const pelto::ml_kem_768_key_pair& pair)
{
    std::array<std::uint8_t, pelto::ml_kem_768_ciphertext_size> ciphertext{};
    std::array<std::uint8_t, 32> secret{};
    pelto::ml_kem_768_encapsulate(pair.encapsulation_key(), ciphertext, secret);
    return ciphertext;
}

void ml_kem_768_decaps(benchmark::State& state)
{
    pelto::ml_kem_768_key_pair pair;
    pair.generate();
    const auto ciphertext = ciphertext_for(pair);
    std::array<std::uint8_t, 32> secret{};
    for (auto _ : state) {
        pair.decapsulate(ciphertext, secret);
        benchmark::DoNotOptimize(secret.data());
    }
}
BENCHMARK(ml_kem_768_decaps);

// Decapsulation from the key's bytes alone (the matrix is expanded again on every call).
void ml_kem_768_decaps_from_bytes(benchmark::State& state)
{
    pelto::ml_kem_768_key_pair pair;
    pair.generate();
    const auto ciphertext = ciphertext_for(pair);
    std::array<std::uint8_t, 32> secret{};
    for (auto _ : state) {
        pelto::ml_kem_768_decapsulate(pair.decapsulation_key(), ciphertext, secret);
        benchmark::DoNotOptimize(secret.data());
    }
}
BENCHMARK(ml_kem_768_decaps_from_bytes);

void ml_kem_768_encaps(benchmark::State& state)
{
    pelto::ml_kem_768_key_pair pair;
    pair.generate();
    std::array<std::uint8_t, pelto::ml_kem_768_ciphertext_size> ciphertext{};
    std::array<std::uint8_t, 32> secret{};
    for (auto _ : state) {
        pelto::ml_kem_768_encapsulate(pair.encapsulation_key(), ciphertext, secret);
        benchmark::DoNotOptimize(secret.data());
    }
}
BENCHMARK(ml_kem_768_encaps);

// The client's share of a hybrid handshake: a fresh key pair, then a ciphertext opened. The
// ciphertext was made for the first key; for the later ones it is rejected implicitly, which by
// design costs the same as accepting it.
void ml_kem_768_keygen_and_decaps(benchmark::State& state)
{
    pelto::ml_kem_768_key_pair pair;
    pair.generate();
    const auto ciphertext = ciphertext_for(pair);
    std::array<std::uint8_t, 32> secret{};
    for (auto _ : state) {
        pair.generate();
        pair.decapsulate(ciphertext, secret);
        benchmark::DoNotOptimize(secret.data());
    }
}
BENCHMARK(ml_kem_768_keygen_and_decaps);

// The X25519 half of the same handshake for comparison: a key pair and one shared secret.
void x25519_keygen_and_shared_secret(benchmark::State& state)
{
    pelto::x25519_bytes peer{};
    peer[0] = 9;
    for (auto _ : state) {
        pelto::x25519_key_pair pair = pelto::x25519_keypair();
        benchmark::DoNotOptimize(pelto::x25519(pair.private_key, peer));
    }
}
BENCHMARK(x25519_keygen_and_shared_secret);

#ifdef PELTO_BENCH_OPENSSL

// The same work done directly on one EVP_CIPHER_CTX, as a lower bound for the wrapper.
void openssl_evp_aes128gcm_seal_16k(benchmark::State& state)
{
    const auto data = pattern(message_size);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, aes_key.data(), nullptr);
    std::array<std::uint8_t, 12> nonce{};
    std::vector<std::uint8_t> out(message_size + 16);
    for (auto _ : state) {
        pelto::nonce_increment(nonce);
        int n = 0;
        int tail = 0;
        EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data());
        EVP_EncryptUpdate(ctx, nullptr, &n, aad.data(), static_cast<int>(aad.size()));
        EVP_EncryptUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size()));
        EVP_EncryptFinal_ex(ctx, out.data() + n, &tail);
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + message_size);
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message_size));
}
BENCHMARK(openssl_evp_aes128gcm_seal_16k);

void openssl_evp_aes128gcm_open_16k(benchmark::State& state)
{
    const auto data = pattern(message_size);
    pelto::aes_gcm_key key;
    const std::array<std::uint8_t, 12> nonce{};
    pelto::bytes sealed;
    if (!key.create(aes_key) || !pelto::aes_gcm_seal(key, nonce, data, aad, sealed)) {
        state.SkipWithError("seal");
        return;
    }
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, aes_key.data(), nullptr);
    std::vector<std::uint8_t> out(message_size);
    std::array<std::uint8_t, 16> tag;
    std::copy(sealed.end() - 16, sealed.end(), tag.begin());
    for (auto _ : state) {
        int n = 0;
        int tail = 0;
        EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data());
        EVP_DecryptUpdate(ctx, nullptr, &n, aad.data(), static_cast<int>(aad.size()));
        EVP_DecryptUpdate(ctx, out.data(), &n, sealed.data(), static_cast<int>(message_size));
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag.data());
        if (EVP_DecryptFinal_ex(ctx, out.data() + n, &tail) != 1) {
            state.SkipWithError("open");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message_size));
}
BENCHMARK(openssl_evp_aes128gcm_open_16k);

void openssl_evp_chacha20_poly1305_seal_open_16k(benchmark::State& state)
{
    const auto data = pattern(message_size);
    EVP_CIPHER_CTX* seal = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX* open = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(seal, EVP_chacha20_poly1305(), nullptr, aes256_key.data(), nullptr);
    EVP_DecryptInit_ex(open, EVP_chacha20_poly1305(), nullptr, aes256_key.data(), nullptr);
    std::array<std::uint8_t, 12> nonce{};
    std::vector<std::uint8_t> record(message_size + 16);
    for (auto _ : state) {
        pelto::nonce_increment(nonce);
        int n = 0;
        int tail = 0;
        EVP_EncryptInit_ex(seal, nullptr, nullptr, nullptr, nonce.data());
        EVP_EncryptUpdate(seal, nullptr, &n, aad.data(), static_cast<int>(aad.size()));
        EVP_EncryptUpdate(seal, record.data(), &n, data.data(), static_cast<int>(data.size()));
        EVP_EncryptFinal_ex(seal, record.data() + n, &tail);
        EVP_CIPHER_CTX_ctrl(seal, EVP_CTRL_AEAD_GET_TAG, 16, record.data() + message_size);
        EVP_DecryptInit_ex(open, nullptr, nullptr, nullptr, nonce.data());
        EVP_DecryptUpdate(open, nullptr, &n, aad.data(), static_cast<int>(aad.size()));
        EVP_DecryptUpdate(open, record.data(), &n, record.data(), static_cast<int>(message_size));
        EVP_CIPHER_CTX_ctrl(open, EVP_CTRL_AEAD_SET_TAG, 16, record.data() + message_size);
        if (EVP_DecryptFinal_ex(open, record.data() + n, &tail) != 1) {
            state.SkipWithError("open");
            break;
        }
        benchmark::DoNotOptimize(record.data());
    }
    EVP_CIPHER_CTX_free(open);
    EVP_CIPHER_CTX_free(seal);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message_size));
}
BENCHMARK(openssl_evp_chacha20_poly1305_seal_open_16k);

void openssl_x25519(benchmark::State& state)
{
    std::array<std::uint8_t, 32> scalar{};
    std::array<std::uint8_t, 32> peer{};
    for (std::size_t i = 0; i < 32; ++i) {
        scalar[i] = static_cast<std::uint8_t>(i * 17 + 3);
        peer[i] = static_cast<std::uint8_t>(i * 29 + 11);
    }
    peer[31] &= 0x7f;
    EVP_PKEY* own = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, scalar.data(), scalar.size());
    EVP_PKEY* other = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer.data(), peer.size());
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(own, nullptr);
    if (own == nullptr || other == nullptr || ctx == nullptr || EVP_PKEY_derive_init(ctx) != 1 ||
        EVP_PKEY_derive_set_peer(ctx, other) != 1) {
        state.SkipWithError("setup");
    } else {
        std::array<std::uint8_t, 32> secret{};
        for (auto _ : state) {
            std::size_t len = secret.size();
            EVP_PKEY_derive(ctx, secret.data(), &len);
            benchmark::DoNotOptimize(secret);
        }
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(other);
    EVP_PKEY_free(own);
}
BENCHMARK(openssl_x25519);

#endif

}  // namespace
