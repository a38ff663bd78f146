// The program's directory and the embedded endpoint document on Linux. The document is built
// from the deployment's primary URL (a checked URL holds no character JSON would need escaped).

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "base/obfuscated.h"
#include "base/text.h"
#include "engine/node_loader.h"
#include "net/subscription_url.h"

namespace pelto {

bool program_directory(std::u16string& out_directory)
{
    std::string path(4096, '\0');
    const ssize_t n = ::readlink(PELTO_TEXT("/proc/self/exe").c_str(), path.data(), path.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) {
        return false;
    }
    path.resize(static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return false;
    }
    out_directory = utf8_to_utf16(path.substr(0, slash + 1));
    return true;
}

std::string embedded_endpoint_document()
{
    std::string document = PELTO_TEXT("{\"primary\":\"").str();
    document += utf16_to_utf8(builtin_endpoint_url());
    document += PELTO_TEXT("\",\"backups\":[]}").view();
    return document;
}

int read_small_file(const std::u16string& path, std::size_t limit, std::string& out_bytes)
{
    const std::string native = utf16_to_utf8(path);
    struct stat st {};
    if (::stat(native.c_str(), &st) != 0) {
        return errno == ENOENT ? 1 : 2;
    }
    std::ifstream in(native, std::ios::binary);
    if (!in) {
        return 2;
    }
    out_bytes.assign(limit + 1, '\0');
    in.read(out_bytes.data(), static_cast<std::streamsize>(out_bytes.size()));
    out_bytes.resize(static_cast<std::size_t>(in.gcount()));
    if (in.bad() || out_bytes.empty() || out_bytes.size() > limit) {
        out_bytes.clear();
        return 2;
    }
    return 0;
}

}  // namespace pelto
