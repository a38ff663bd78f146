// AES-GCM and AES-ECB through OpenSSL 3 EVP. Each key object keeps one cipher context with its
// key schedule; a seal or open only sets the nonce and the direction.
#include <openssl/evp.h>

#include <algorithm>
#include <climits>

#include "base/obfuscated.h"
#include "crypto/aes_gcm.h"

namespace pelto {

namespace {

struct evp_deleter {
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

using cipher_ptr = std::unique_ptr<EVP_CIPHER, evp_deleter>;
using context_ptr = std::unique_ptr<EVP_CIPHER_CTX, evp_deleter>;

cipher_ptr fetch_cipher(std::size_t key_size, bool gcm)
{
    const auto gcm128 = PELTO_TEXT("AES-128-GCM");
    const auto gcm256 = PELTO_TEXT("AES-256-GCM");
    const auto ecb128 = PELTO_TEXT("AES-128-ECB");
    const auto ecb256 = PELTO_TEXT("AES-256-ECB");
    const char* name = nullptr;
    if (key_size == 16) {
        name = gcm ? gcm128.c_str() : ecb128.c_str();
    } else if (key_size == 32) {
        name = gcm ? gcm256.c_str() : ecb256.c_str();
    } else {
        return nullptr;
    }
    return cipher_ptr(EVP_CIPHER_fetch(nullptr, name, nullptr));
}

bool fits_int(std::size_t n)
{
    return n <= static_cast<std::size_t>(INT_MAX);
}

}  // namespace

struct aes_gcm_key::backend {
    cipher_ptr cipher;
    context_ptr ctx;
};

aes_gcm_key::aes_gcm_key() = default;
aes_gcm_key::~aes_gcm_key() = default;

bool aes_gcm_key::valid() const
{
    return backend_ != nullptr;
}

bool aes_gcm_key::create(byte_span key)
{
    backend_.reset();
    auto b = std::make_unique<backend>();
    b->cipher = fetch_cipher(key.size(), true);
    if (!b->cipher) {
        return false;
    }
    b->ctx.reset(EVP_CIPHER_CTX_new());
    if (!b->ctx || EVP_CipherInit_ex2(b->ctx.get(), b->cipher.get(), key.data(), nullptr, 1, nullptr) != 1) {
        return false;
    }
    backend_ = std::move(b);
    return true;
}

bool aes_gcm_seal_into(aes_gcm_key& key, std::span<const std::uint8_t, aes_gcm_nonce_size> nonce,
                       byte_span plaintext, byte_span additional_data, std::span<std::uint8_t> out)
{
    if (!key.backend_ || !fits_int(out.size()) || !fits_int(additional_data.size()) ||
        out.size() != plaintext.size() + aes_gcm_tag_size) {
        return false;
    }
    EVP_CIPHER_CTX* ctx = key.backend_->ctx.get();
    int n = 0;
    int total = 0;
    bool ok = EVP_CipherInit_ex2(ctx, nullptr, nullptr, nonce.data(), 1, nullptr) == 1 &&
              (additional_data.empty() ||
               EVP_CipherUpdate(ctx, nullptr, &n, additional_data.data(), static_cast<int>(additional_data.size())) ==
                   1);
    if (ok && !plaintext.empty()) {
        ok = EVP_CipherUpdate(ctx, out.data(), &n, plaintext.data(), static_cast<int>(plaintext.size())) == 1;
        total = n;
    }
    if (ok) {
        ok = EVP_CipherFinal_ex(ctx, out.data() + total, &n) == 1;
        total += n;
    }
    return ok && static_cast<std::size_t>(total) == plaintext.size() &&
           EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(aes_gcm_tag_size),
                               out.data() + plaintext.size()) == 1;
}

bool aes_gcm_open_in_place(aes_gcm_key& key, std::span<const std::uint8_t, aes_gcm_nonce_size> nonce,
                           std::span<std::uint8_t> sealed, byte_span additional_data)
{
    if (sealed.size() < aes_gcm_tag_size || !key.backend_ || !fits_int(sealed.size()) ||
        !fits_int(additional_data.size())) {
        return false;
    }
    EVP_CIPHER_CTX* ctx = key.backend_->ctx.get();
    const std::size_t text_size = sealed.size() - aes_gcm_tag_size;
    std::uint8_t* text = sealed.data();
    int n = 0;
    int total = 0;
    bool ok = EVP_CipherInit_ex2(ctx, nullptr, nullptr, nonce.data(), 0, nullptr) == 1 &&
              (additional_data.empty() ||
               EVP_CipherUpdate(ctx, nullptr, &n, additional_data.data(), static_cast<int>(additional_data.size())) ==
                   1);
    if (ok && text_size > 0) {
        ok = EVP_CipherUpdate(ctx, text, &n, text, static_cast<int>(text_size)) == 1;
        total = n;
    }
    ok = ok && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(aes_gcm_tag_size), text + text_size) == 1;
    if (ok) {
        std::uint8_t tail[aes_gcm_tag_size];
        ok = EVP_CipherFinal_ex(ctx, tail, &n) == 1 && n == 0;
        total += n;
    }
    if (!ok || static_cast<std::size_t>(total) != text_size) {
        secure_zero(text, text_size);
        return false;
    }
    return true;
}

bool aes_encrypt_block(byte_span key, std::span<const std::uint8_t, 16> input, std::span<std::uint8_t, 16> out)
{
    const cipher_ptr cipher = fetch_cipher(key.size(), false);
    if (!cipher) {
        return false;
    }
    const context_ptr ctx(EVP_CIPHER_CTX_new());
    std::uint8_t block[32];
    int n = 0;
    int tail = 0;
    const bool ok = ctx && EVP_CipherInit_ex2(ctx.get(), cipher.get(), key.data(), nullptr, 1, nullptr) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
                    EVP_CipherUpdate(ctx.get(), block, &n, input.data(), 16) == 1 &&
                    EVP_CipherFinal_ex(ctx.get(), block + n, &tail) == 1 && n + tail == 16;
    if (ok) {
        std::copy_n(block, 16, out.data());
    }
    secure_zero(block, sizeof block);
    return ok;
}

}  // namespace pelto
