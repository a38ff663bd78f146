#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/obfuscated.h"
#include "crypto/random.h"

namespace pelto {

void random_bytes(std::span<std::uint8_t> out)
{
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        const auto message = PELTO_TEXT("fatal: the system random generator failed\n");
        std::fputs(message.c_str(), stderr);
        std::abort();
    }
}

}  // namespace pelto
