// Preferences on Linux: a small key file, "name=value" per line, under
// $XDG_CONFIG_HOME/pelto (or ~/.config/pelto). Subscription addresses carry personal tokens, so
// the directory is created 0700 and the file 0600; a new file is written beside the old one,
// flushed and renamed over it, so a reader sees the old or the new file, never a part.
//
// Typed reads: the address is a string value; the three numbers must be decimal digits that fit
// 32 bits unsigned, anything else counts as a value of the wrong type.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "system/preferences.h"
#include "base/obfuscated.h"
#include "base/text.h"

namespace pelto {
namespace {

constexpr std::size_t max_file_size = 65536;

std::string config_directory()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            return {};
        }
        base = std::string(home) + PELTO_TEXT("/.config").str();
    }
    return base + PELTO_TEXT("/pelto").str();
}

std::string settings_path()
{
    const std::string dir = config_directory();
    return dir.empty() ? dir : dir + PELTO_TEXT("/settings").str();
}

std::optional<std::uint32_t> parse_number(std::string_view text)
{
    std::uint32_t value = 0;
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

bool write_all(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool read_stored_values(stored_values& out)
{
    out = stored_values{};
    const std::string path = settings_path();
    if (path.empty()) {
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::string content(max_file_size + 1, '\0');
    file.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<std::size_t>(file.gcount()));
    if (content.size() > max_file_size) {
        return false;
    }
    const auto subscription_key = PELTO_TEXT("subscription");
    const auto tun_key = PELTO_TEXT("tun");
    const auto option_key = PELTO_TEXT("leak_protection");
    const auto language_key = PELTO_TEXT("language");
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        const std::string_view line(content.data() + start, end - start);
        start = end + 1;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        const std::string_view name = line.substr(0, eq);
        const std::string_view value = line.substr(eq + 1);
        if (name == subscription_key.view()) {
            out.subscription_url = utf8_to_utf16(value);
        } else if (name == tun_key.view()) {
            out.tun = parse_number(value);
        } else if (name == option_key.view()) {
            out.option = parse_number(value);
        } else if (name == language_key.view()) {
            out.language = parse_number(value);
        }
    }
    return true;
}

bool write_stored_values(const std::u16string& subscription_url, std::uint32_t tun, std::uint32_t option,
                         std::uint32_t language)
{
    const std::string dir = config_directory();
    if (dir.empty()) {
        return false;
    }
    const std::string parent = dir.substr(0, dir.rfind('/'));
    ::mkdir(parent.c_str(), 0700);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    // The value is a checked address (no line breaks) or empty; a line break would split it.
    const std::string url = utf16_to_utf8(subscription_url);
    if (url.find('\n') != std::string::npos || url.find('\r') != std::string::npos) {
        return false;
    }
    std::ostringstream text;
    text << PELTO_TEXT("subscription=").view() << url << '\n'
         << PELTO_TEXT("tun=").view() << tun << '\n'
         << PELTO_TEXT("leak_protection=").view() << option << '\n'
         << PELTO_TEXT("language=").view() << language << '\n';

    const std::string path = dir + PELTO_TEXT("/settings").str();
    std::string temp = path + PELTO_TEXT(".new-").str() + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return false;
    }
    const bool written = ::fchmod(fd, 0600) == 0 && write_all(fd, text.str()) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename is durable once the directory entry is.
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
    return true;
}

}  // namespace pelto
