// REALITY's record layer and handshake arithmetic: one 16 KiB record sealed and opened by
// tls13_record_cipher next to OpenSSL's TLS 1.3 (the same suite) over memory BIOs, and the client's
// CPU work for one handshake (three X25519, the key schedule, the certificate check, both
// Finished MACs) without the network.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "crypto/aes_gcm.h"
#include "crypto/hmac.h"
#include "crypto/ml_kem.h"
#include "crypto/random.h"
#include "crypto/x25519.h"
#include "proxy/browser_hello.h"
#include "proxy/reality_cert.h"
#include "proxy/tls13.h"

#if __has_include(<openssl/ssl.h>) && !defined(_WIN32)
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#define PELTO_BENCH_OPENSSL_TLS 1
#endif

namespace {

constexpr std::size_t record_size = 16384;

void reality_record_seal_open_16k(benchmark::State& state)
{
    pelto::tls13_secret secret{};
    std::fill(secret.begin(), secret.end(), 0x5A);
    pelto::tls13_record_cipher writer;
    pelto::tls13_record_cipher reader;
    if (!writer.install(secret) || !reader.install(secret)) {
        state.SkipWithError("install");
        return;
    }
    const std::vector<std::uint8_t> payload(record_size, 0x33);
    pelto::bytes wire;
    wire.reserve(record_size + 64);
    for (auto _ : state) {
        wire.clear();
        std::uint8_t type = 0;
        std::span<std::uint8_t> content;
        if (!writer.seal(pelto::tls_type_application_data, payload, wire) ||
            !reader.open(std::span<const std::uint8_t, 5>(wire.data(), 5), std::span<std::uint8_t>(wire).subspan(5),
                         type, content)) {
            state.SkipWithError("record");
            break;
        }
        benchmark::DoNotOptimize(content.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * record_size));
}
BENCHMARK(reality_record_seal_open_16k);

#ifdef PELTO_BENCH_OPENSSL_TLS
// A client and a server SSL joined by memory BIOs, handshaken with TLS_AES_128_GCM_SHA256.
struct openssl_pair {
    openssl_pair()
    {
        EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
        X509* cert = X509_new();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_set_pubkey(cert, key);
        X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("bench"), -1, -1, 0);
        X509_set_issuer_name(cert, X509_get_subject_name(cert));
        X509_sign(cert, key, nullptr);
        server_ctx = SSL_CTX_new(TLS_server_method());
        client_ctx = SSL_CTX_new(TLS_client_method());
        for (SSL_CTX* ctx : {server_ctx, client_ctx}) {
            SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
            SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256");
        }
        SSL_CTX_use_certificate(server_ctx, cert);
        SSL_CTX_use_PrivateKey(server_ctx, key);
        X509_free(cert);
        EVP_PKEY_free(key);
        client = SSL_new(client_ctx);
        server = SSL_new(server_ctx);
        to_server = BIO_new(BIO_s_mem());
        to_client = BIO_new(BIO_s_mem());
        BIO_up_ref(to_server);
        BIO_up_ref(to_client);
        SSL_set_bio(client, to_client, to_server);
        SSL_set_bio(server, to_server, to_client);
        SSL_set_connect_state(client);
        SSL_set_accept_state(server);
        for (int i = 0; i < 10 && !(SSL_is_init_finished(client) && SSL_is_init_finished(server)); ++i) {
            SSL_do_handshake(client);
            SSL_do_handshake(server);
        }
        // Let the client take the session tickets now, not during the measurement.
        unsigned char sink[16];
        SSL_read(client, sink, sizeof sink);
        ok = SSL_is_init_finished(client) && SSL_is_init_finished(server);
    }
    ~openssl_pair()
    {
        SSL_free(client);
        SSL_free(server);
        SSL_CTX_free(client_ctx);
        SSL_CTX_free(server_ctx);
    }
    SSL_CTX* server_ctx = nullptr;
    SSL_CTX* client_ctx = nullptr;
    SSL* client = nullptr;
    SSL* server = nullptr;
    BIO* to_server = nullptr;
    BIO* to_client = nullptr;
    bool ok = false;
};

void openssl_tls13_record_seal_open_16k(benchmark::State& state)
{
    openssl_pair pair;
    if (!pair.ok) {
        state.SkipWithError("OpenSSL handshake");
        return;
    }
    const std::vector<std::uint8_t> payload(record_size, 0x33);
    std::vector<std::uint8_t> back(record_size);
    for (auto _ : state) {
        if (SSL_write(pair.client, payload.data(), static_cast<int>(payload.size())) != static_cast<int>(record_size) ||
            SSL_read(pair.server, back.data(), static_cast<int>(back.size())) != static_cast<int>(record_size)) {
            state.SkipWithError("record");
            break;
        }
        benchmark::DoNotOptimize(back.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * record_size));
}
BENCHMARK(openssl_tls13_record_seal_open_16k);
#endif

// The client's arithmetic of one REALITY handshake, in the order the handshake does it. Argument
// 0: the earlier X25519-only handshake (one key pair, a small hello); 1: today's, the browser hello
// with both shares (one more X25519 key pair, an ML-KEM-768 key pair) and the server picking
// X25519MLKEM768 (a decapsulation).
void reality_handshake_client_cpu(benchmark::State& state)
{
    const bool hybrid = state.range(0) == 1;
    const pelto::x25519_key_pair node = pelto::x25519_keypair();
    const pelto::x25519_key_pair server = pelto::x25519_keypair();
    pelto::ml_kem_768_key_pair other;
    other.generate();
    std::array<std::uint8_t, pelto::ml_kem_768_ciphertext_size> ciphertext{};
    std::array<std::uint8_t, 32> server_kem_secret{};
    pelto::ml_kem_768_encapsulate(other.encapsulation_key(), ciphertext, server_kem_secret);
    pelto::bytes certificate(200, 0x22);  // any bytes: the walk runs to its first failure
    for (auto _ : state) {
        const pelto::x25519_key_pair ours = pelto::x25519_keypair();
        pelto::x25519_key_pair ours_hybrid{};
        pelto::ml_kem_768_key_pair kem;
        std::array<std::uint8_t, 32> random{};
        pelto::random_bytes(random);
        pelto::bytes hello(512, 0x11);
        if (hybrid) {
            ours_hybrid = pelto::x25519_keypair();
            kem.generate();
            const std::array<std::uint8_t, 32> zero_id{};
            hello.clear();
            pelto::build_browser_client_hello({"reality.test", random, zero_id, kem.encapsulation_key(),
                                               ours_hybrid.public_key, ours.public_key},
                                              hello);
        }
        const pelto::x25519_bytes shared = pelto::x25519(ours.private_key, node.public_key);
        pelto::bytes auth;
        pelto::hkdf_sha256(shared, std::span<const std::uint8_t>(random.data(), 20), pelto::as_bytes("REALITY"), 32,
                           auth);
        pelto::aes_gcm_key sealer;
        sealer.create(auth);
        std::array<std::uint8_t, 12> nonce{};
        std::array<std::uint8_t, 16> token{};
        std::array<std::uint8_t, 32> session_id{};
        pelto::aes_gcm_seal_into(sealer, nonce, token, hello, session_id);
        pelto::tls13_key_schedule schedule;
        schedule.add_message(hello);
        schedule.select_suite(pelto::tls13_suite::aes_128_gcm_sha256);
        schedule.add_message(pelto::byte_span(hello).first(90));
        pelto::bytes secret;
        if (hybrid) {
            std::array<std::uint8_t, 32> kem_secret{};
            kem.decapsulate(ciphertext, kem_secret);
            secret.assign(kem_secret.begin(), kem_secret.end());
        }
        const pelto::x25519_bytes ecdhe =
            pelto::x25519(hybrid ? ours_hybrid.private_key : ours.private_key, server.public_key);
        secret.insert(secret.end(), ecdhe.begin(), ecdhe.end());
        pelto::tls13_record_cipher read;
        pelto::tls13_record_cipher write;
        schedule.derive_handshake_secrets(secret);
        read.install(schedule.server_handshake_secret());
        write.install(schedule.client_handshake_secret());
        schedule.add_message(certificate);
        benchmark::DoNotOptimize(pelto::reality_certificate_signed_by(certificate, auth));
        std::array<std::uint8_t, 64> mac{};
        pelto::hmac(pelto::hash_algorithm::sha512, auth, pelto::byte_span(certificate).first(32), mac);
        pelto::tls13_secret verify{};
        pelto::tls13_key_schedule::finished_verify_data(schedule.server_handshake_secret(), schedule.transcript_hash(),
                                                        verify);
        pelto::tls13_key_schedule::finished_verify_data(schedule.client_handshake_secret(), schedule.transcript_hash(),
                                                        verify);
        schedule.derive_application_secrets();
        read.install(schedule.server_application_secret());
        write.install(schedule.client_application_secret());
        benchmark::DoNotOptimize(verify.data());
    }
}
BENCHMARK(reality_handshake_client_cpu)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
