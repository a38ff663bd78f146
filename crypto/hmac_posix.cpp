// HMAC through OpenSSL 3's EVP_MAC interface.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <memory>

#include "base/obfuscated.h"
#include "crypto/hmac.h"

namespace pelto {
namespace {

struct mac_deleter {
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};

}  // namespace

bool hmac(hash_algorithm algorithm, byte_span key, byte_span data, std::span<std::uint8_t> out)
{
    const std::size_t size = hmac_size(algorithm);
    if (size == 0 || out.size() != size) {
        return false;
    }
    std::fill(out.begin(), out.end(), std::uint8_t{0});

    const auto mac_name = PELTO_TEXT("HMAC");
    const auto sha256_name = PELTO_TEXT("SHA256");
    const auto sha384_name = PELTO_TEXT("SHA384");
    const auto sha512_name = PELTO_TEXT("SHA512");
    const auto digest_key = PELTO_TEXT("digest");
    std::unique_ptr<EVP_MAC, mac_deleter> mac(EVP_MAC_fetch(nullptr, mac_name.c_str(), nullptr));
    if (!mac) {
        return false;
    }
    std::unique_ptr<EVP_MAC_CTX, mac_deleter> ctx(EVP_MAC_CTX_new(mac.get()));
    if (!ctx) {
        return false;
    }
    const char* digest = algorithm == hash_algorithm::sha256   ? sha256_name.c_str()
                         : algorithm == hash_algorithm::sha384 ? sha384_name.c_str()
                                                               : sha512_name.c_str();
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(digest_key.c_str(), const_cast<char*>(digest), 0),
        OSSL_PARAM_construct_end(),
    };
    // OpenSSL wants a non-null key pointer even for an empty key.
    static const std::uint8_t no_key = 0;
    if (EVP_MAC_init(ctx.get(), key.empty() ? &no_key : key.data(), key.size(), params) != 1) {
        return false;
    }
    if (!data.empty() && EVP_MAC_update(ctx.get(), data.data(), data.size()) != 1) {
        return false;
    }
    std::size_t written = 0;
    if (EVP_MAC_final(ctx.get(), out.data(), &written, out.size()) != 1 || written != size) {
        std::fill(out.begin(), out.end(), std::uint8_t{0});
        return false;
    }
    return true;
}

}  // namespace pelto
