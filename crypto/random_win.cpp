#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/obfuscated.h"
#include "crypto/random.h"

namespace pelto {

void random_bytes(std::span<std::uint8_t> out)
{
    std::size_t done = 0;
    while (done < out.size()) {
        const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(out.size() - done, 0x10000000));
        if (BCryptGenRandom(nullptr, out.data() + done, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
            const auto message = PELTO_TEXT("fatal: the system random generator failed\n");
            std::fputs(message.c_str(), stderr);
            std::abort();
        }
        done += chunk;
    }
}

}  // namespace pelto
