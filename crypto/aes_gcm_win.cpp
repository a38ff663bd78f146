// AES-GCM and single-block AES through CNG. A key object owns its provider, its key handle and
// the key object buffer the key handle lives in.
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <vector>

#include "base/obfuscated.h"
#include "crypto/aes_gcm.h"

namespace pelto {

namespace {

bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

const wchar_t* wide(const char16_t* text)
{
    return reinterpret_cast<const wchar_t*>(text);
}

enum class chaining { gcm, ecb };

// Provider, key handle and key object buffer; released key first, then the provider.
struct cng_key {
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    std::vector<UCHAR> object;

    cng_key() = default;
    cng_key(const cng_key&) = delete;
    cng_key& operator=(const cng_key&) = delete;
    ~cng_key()
    {
        if (key != nullptr) {
            BCryptDestroyKey(key);
        }
        if (provider != nullptr) {
            BCryptCloseAlgorithmProvider(provider, 0);
        }
        if (!object.empty()) {
            secure_zero(object);
        }
    }

    bool open(byte_span key_bytes, chaining mode)
    {
        if (key_bytes.size() != 16 && key_bytes.size() != 32) {
            return false;
        }
        const auto aes_name = PELTO_TEXT(u"AES");
        const auto chaining_property = PELTO_TEXT(u"ChainingMode");
        const auto gcm_mode = PELTO_TEXT(u"ChainingModeGCM");
        const auto ecb_mode = PELTO_TEXT(u"ChainingModeECB");
        const auto object_length_name = PELTO_TEXT(u"ObjectLength");
        if (!succeeded(BCryptOpenAlgorithmProvider(&provider, wide(aes_name.c_str()), nullptr, 0))) {
            provider = nullptr;
            return false;
        }
        const char16_t* mode_name = mode == chaining::gcm ? gcm_mode.c_str() : ecb_mode.c_str();
        const ULONG mode_bytes = static_cast<ULONG>(
            (mode == chaining::gcm ? gcm_mode.size() : ecb_mode.size()) * sizeof(char16_t) + sizeof(char16_t));
        if (!succeeded(BCryptSetProperty(provider, wide(chaining_property.c_str()),
                                         reinterpret_cast<PUCHAR>(const_cast<char16_t*>(mode_name)), mode_bytes, 0))) {
            return false;
        }
        DWORD object_length = 0;
        ULONG got = 0;
        if (!succeeded(BCryptGetProperty(provider, wide(object_length_name.c_str()),
                                         reinterpret_cast<PUCHAR>(&object_length), sizeof object_length, &got, 0))) {
            return false;
        }
        object.assign(object_length, 0);
        if (!succeeded(BCryptGenerateSymmetricKey(provider, &key, object.data(), object_length,
                                                  const_cast<PUCHAR>(key_bytes.data()),
                                                  static_cast<ULONG>(key_bytes.size()), 0))) {
            key = nullptr;
            return false;
        }
        return true;
    }
};

bool fits_ulong(std::size_t n)
{
    return n <= 0xFFFFFFFFu;
}

// The GCM parameters of one seal or open: nonce, additional data (absent when empty) and the
// 16-byte tag, which seal writes and open checks.
BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO auth_mode_info(std::span<const std::uint8_t, aes_gcm_nonce_size> nonce,
                                                     byte_span additional_data, const std::uint8_t* tag)
{
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = const_cast<PUCHAR>(nonce.data());
    info.cbNonce = static_cast<ULONG>(nonce.size());
    if (!additional_data.empty()) {
        info.pbAuthData = const_cast<PUCHAR>(additional_data.data());
        info.cbAuthData = static_cast<ULONG>(additional_data.size());
    }
    info.pbTag = const_cast<PUCHAR>(tag);
    info.cbTag = static_cast<ULONG>(aes_gcm_tag_size);
    return info;
}

}  // namespace

struct aes_gcm_key::backend {
    cng_key cng;
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
    if (!b->cng.open(key, chaining::gcm)) {
        return false;
    }
    backend_ = std::move(b);
    return true;
}

// CNG reads a null output pointer as a request for the output size and then returns success
// without encrypting or checking anything; an empty text therefore always gets a real (unused)
// output address.
bool aes_gcm_seal_into(aes_gcm_key& key, std::span<const std::uint8_t, aes_gcm_nonce_size> nonce,
                       byte_span plaintext, byte_span additional_data, std::span<std::uint8_t> out)
{
    if (!key.backend_ || !fits_ulong(out.size()) || !fits_ulong(additional_data.size()) ||
        out.size() != plaintext.size() + aes_gcm_tag_size) {
        return false;
    }
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = auth_mode_info(nonce, additional_data, out.data() + plaintext.size());
    UCHAR unused = 0;
    PUCHAR input = plaintext.empty() ? &unused : const_cast<PUCHAR>(plaintext.data());
    PUCHAR output = plaintext.empty() ? &unused : out.data();
    ULONG written = 0;
    const NTSTATUS status = BCryptEncrypt(key.backend_->cng.key, input, static_cast<ULONG>(plaintext.size()), &info,
                                          nullptr, 0, output, static_cast<ULONG>(plaintext.size()), &written, 0);
    return succeeded(status) && written == plaintext.size();
}

bool aes_gcm_open_in_place(aes_gcm_key& key, std::span<const std::uint8_t, aes_gcm_nonce_size> nonce,
                           std::span<std::uint8_t> sealed, byte_span additional_data)
{
    if (sealed.size() < aes_gcm_tag_size || !key.backend_ || !fits_ulong(sealed.size()) ||
        !fits_ulong(additional_data.size())) {
        return false;
    }
    const std::size_t text_size = sealed.size() - aes_gcm_tag_size;
    // The tag is read while the text is decrypted over itself; keep it apart from the output.
    std::uint8_t tag[aes_gcm_tag_size];
    std::copy_n(sealed.data() + text_size, aes_gcm_tag_size, tag);
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = auth_mode_info(nonce, additional_data, tag);
    UCHAR unused = 0;
    PUCHAR text = text_size == 0 ? &unused : sealed.data();
    ULONG written = 0;
    const NTSTATUS status = BCryptDecrypt(key.backend_->cng.key, text, static_cast<ULONG>(text_size), &info, nullptr,
                                          0, text, static_cast<ULONG>(text_size), &written, 0);
    if (!succeeded(status) || written != text_size) {
        secure_zero(sealed.data(), text_size);
        return false;
    }
    return true;
}

bool aes_encrypt_block(byte_span key, std::span<const std::uint8_t, 16> input, std::span<std::uint8_t, 16> out)
{
    cng_key cng;
    if (!cng.open(key, chaining::ecb)) {
        return false;
    }
    UCHAR block[16];
    ULONG written = 0;
    const bool ok = succeeded(BCryptEncrypt(cng.key, const_cast<PUCHAR>(input.data()), 16, nullptr, nullptr, 0, block,
                                            sizeof block, &written, 0)) &&
                    written == 16;
    if (ok) {
        std::copy_n(block, 16, out.data());
    }
    secure_zero(block, sizeof block);
    return ok;
}

}  // namespace pelto
