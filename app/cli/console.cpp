#include "app/cli/console.h"

#include <cstdio>

namespace pelto::cli {

// Each write is flushed at once: progress lines and errors must show while the engine runs.
void write_out(std::string_view utf8)
{
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fflush(stdout);
}

void write_err(std::string_view utf8)
{
    std::fwrite(utf8.data(), 1, utf8.size(), stderr);
    std::fflush(stderr);
}

}  // namespace pelto::cli
