// HMAC through CNG: a provider opened with the HMAC flag per call, a hash object in a buffer of
// the size the provider asks for, both released before returning.
#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "base/obfuscated.h"
#include "crypto/hmac.h"

namespace pelto {
namespace {

bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

class algorithm_handle {
public:
    ~algorithm_handle()
    {
        if (handle_ != nullptr) {
            BCryptCloseAlgorithmProvider(handle_, 0);
        }
    }
    BCRYPT_ALG_HANDLE* put() { return &handle_; }
    BCRYPT_ALG_HANDLE get() const { return handle_; }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class hash_handle {
public:
    ~hash_handle()
    {
        if (handle_ != nullptr) {
            BCryptDestroyHash(handle_);
        }
    }
    BCRYPT_HASH_HANDLE* put() { return &handle_; }
    BCRYPT_HASH_HANDLE get() const { return handle_; }

private:
    BCRYPT_HASH_HANDLE handle_ = nullptr;
};

const wchar_t* wide(const char16_t* text)
{
    return reinterpret_cast<const wchar_t*>(text);
}

}  // namespace

bool hmac(hash_algorithm algorithm, byte_span key, byte_span data, std::span<std::uint8_t> out)
{
    const std::size_t size = hmac_size(algorithm);
    if (size == 0 || out.size() != size) {
        return false;
    }
    std::fill(out.begin(), out.end(), std::uint8_t{0});

    const auto sha256_name = PELTO_TEXT(u"SHA256");
    const auto sha384_name = PELTO_TEXT(u"SHA384");
    const auto sha512_name = PELTO_TEXT(u"SHA512");
    const auto object_length_name = PELTO_TEXT(u"ObjectLength");
    const char16_t* name = algorithm == hash_algorithm::sha256   ? sha256_name.c_str()
                           : algorithm == hash_algorithm::sha384 ? sha384_name.c_str()
                                                                 : sha512_name.c_str();

    algorithm_handle provider;
    if (!succeeded(BCryptOpenAlgorithmProvider(provider.put(), wide(name), nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
        return false;
    }
    DWORD object_length = 0;
    ULONG got = 0;
    if (!succeeded(BCryptGetProperty(provider.get(), wide(object_length_name.c_str()),
                                     reinterpret_cast<PUCHAR>(&object_length), sizeof object_length, &got, 0))) {
        return false;
    }
    std::vector<UCHAR> object(object_length, 0);
    bool ok = false;
    {
        hash_handle hash;
        // CNG takes non-const pointers but only reads the key and the data.
        ok = succeeded(BCryptCreateHash(provider.get(), hash.put(), object.data(), object_length,
                                        const_cast<PUCHAR>(key.data()), static_cast<ULONG>(key.size()), 0)) &&
             (data.empty() || succeeded(BCryptHashData(hash.get(), const_cast<PUCHAR>(data.data()),
                                                       static_cast<ULONG>(data.size()), 0))) &&
             succeeded(BCryptFinishHash(hash.get(), out.data(), static_cast<ULONG>(out.size()), 0));
    }
    secure_zero(object);
    if (!ok) {
        std::fill(out.begin(), out.end(), std::uint8_t{0});
    }
    return ok;
}

}  // namespace pelto
