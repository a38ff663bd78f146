#include "crypto/blake3_hash.h"

#include <blake3.h>

namespace pelto {

blake3_digest blake3_hash(byte_span data)
{
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    blake3_hasher_update(&hasher, data.data(), data.size());
    blake3_digest out;
    blake3_hasher_finalize(&hasher, out.data(), out.size());
    return out;
}

blake3_digest blake3_derive_key(std::string_view context, byte_span key_material)
{
    blake3_hasher hasher;
    // The library's raw form takes the context as bytes; it need not be zero-terminated here.
    blake3_hasher_init_derive_key_raw(&hasher, context.data(), context.size());
    blake3_hasher_update(&hasher, key_material.data(), key_material.size());
    blake3_digest out;
    blake3_hasher_finalize(&hasher, out.data(), out.size());
    secure_zero(&hasher, sizeof hasher);
    return out;
}

}  // namespace pelto
