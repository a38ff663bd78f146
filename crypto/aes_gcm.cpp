#include "crypto/aes_gcm.h"

namespace pelto {

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
