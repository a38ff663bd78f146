#include "crypto/aes_gcm.h"

namespace pelto {

bool aes_gcm_seal(aes_gcm_key& key, std::span<const std::uint8_t, aes_gcm_nonce_size> nonce, byte_span plaintext,
                  byte_span additional_data, bytes& out)
{
    out.resize(plaintext.size() + aes_gcm_tag_size);
    if (!aes_gcm_seal_into(key, nonce, plaintext, additional_data, out)) {
        out.clear();
        return false;
    }
    return true;
}

bool aes_gcm_open(aes_gcm_key& key, std::span<const std::uint8_t, aes_gcm_nonce_size> nonce, byte_span input,
                  byte_span additional_data, bytes& out)
{
    if (input.size() < aes_gcm_tag_size) {
        out.clear();
        return false;
    }
    out.assign(input.begin(), input.end());
    if (!aes_gcm_open_in_place(key, nonce, out, additional_data)) {
        secure_zero(out);
        out.clear();
        return false;
    }
    out.resize(input.size() - aes_gcm_tag_size);
    return true;
}

void nonce_increment(std::span<std::uint8_t, aes_gcm_nonce_size> nonce)
{
    for (std::uint8_t& b : nonce) {
        ++b;
        if (b != 0) {
            return;
        }
    }
}

}  // namespace pelto
