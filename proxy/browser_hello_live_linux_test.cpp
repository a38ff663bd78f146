// pelto's browser hello against the one a live chromium sends: chromium is pointed at a loopback
// listener through --host-resolver-rules, its first TLS record is taken off the connection, and
// the two hellos are compared by the same shape rules as the stored captures. Skipped when
// chromium is not installed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/client_hello_shape.h"

namespace pelto {
namespace {

using clock_type = std::chrono::steady_clock;

constexpr auto chromium_wait = std::chrono::seconds(20);
constexpr std::uint16_t ech_extension = 0xFE0D;

// The first `chromium` on PATH, or empty.
std::string find_chromium()
{
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/chromium";
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

class socket_fd {
public:
    explicit socket_fd(int fd) : fd_(fd) {}
    socket_fd(const socket_fd&) = delete;
    socket_fd& operator=(const socket_fd&) = delete;
    ~socket_fd()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

enum class wait_result { ready, timed_out };

wait_result wait_readable(int fd, clock_type::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0) {
            return wait_result::timed_out;
        }
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0) {
            return wait_result::ready;
        }
        if (n < 0 && errno != EINTR) {
            return wait_result::timed_out;
        }
    }
}

enum class capture_result { record, closed, timed_out };

// Reads one whole TLS record (header and body) from `fd`.
capture_result read_record(int fd, clock_type::time_point deadline, bytes& out)
{
    out.clear();
    std::size_t wanted = 5;
    while (out.size() < wanted) {
        if (wait_readable(fd, deadline) == wait_result::timed_out) {
            return capture_result::timed_out;
        }
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, wanted - out.size()), 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            return capture_result::closed;
        }
        if (n > 0) {
            out.insert(out.end(), buffer, buffer + n);
        }
        if (out.size() == 5 && wanted == 5) {
            wanted = 5 + (std::size_t{out[3]} << 8 | out[4]);
        }
    }
    return capture_result::record;
}

// The first record of the first connection to `listener` that sends one.
capture_result capture_first_record(int listener, clock_type::time_point deadline, bytes& out)
{
    for (;;) {
        if (wait_readable(listener, deadline) == wait_result::timed_out) {
            return capture_result::timed_out;
        }
        const socket_fd connection(::accept(listener, nullptr, nullptr));
        if (connection.get() < 0) {
            continue;
        }
        const capture_result r = read_record(connection.get(), deadline, out);
        if (r != capture_result::closed) {
            return r;
        }
    }
}

bytes body_of(const testing::parsed_hello& h, std::uint16_t type)
{
    const auto it = h.extensions.find(type);
    return it == h.extensions.end() ? bytes{} : it->second;
}

TEST(BrowserHelloLive, ChromiumsFirstRecordHasTheShapeOfOurs)
{
    const std::string chromium = find_chromium();
    if (chromium.empty()) {
        GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it)";
    }

    const socket_fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_GE(listener.get(), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t address_size = sizeof address;
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.get(), 8), 0);
    ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &address_size), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));

    std::string profile = (std::filesystem::temp_directory_path() / "pelto-chromium-XXXXXX").string();
    ASSERT_NE(::mkdtemp(profile.data()), nullptr);

    // chromium's own complaints (no D-Bus, no GPU) go nowhere; its process group goes on stop.
    testing::child_process browser;
    ASSERT_TRUE(browser.start({"/bin/sh", "-c", "exec \"$@\" 2>/dev/null", "sh", chromium, "--headless=new",
                               "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                               "--user-data-dir=" + profile,
                               "--host-resolver-rules=MAP some.example 127.0.0.1:" + port,
                               "https://some.example:" + port + "/"}));
    bytes record;
    const capture_result result = capture_first_record(listener.get(), clock_type::now() + chromium_wait, record);
    browser.stop();
    std::error_code ignored;
    std::filesystem::remove_all(profile, ignored);
    ASSERT_NE(result, capture_result::timed_out) << "no whole record from chromium within 20 s";
    ASSERT_EQ(result, capture_result::record);

    testing::parsed_hello live;
    ASSERT_TRUE(testing::parse_hello(record, live)) << "chromium's first record is not one ClientHello";
    EXPECT_EQ(live.server_name, "some.example");

    testing::our_keys keys;
    testing::parsed_hello ours;
    ASSERT_TRUE(testing::parse_hello(testing::our_record(keys, "some.example"), ours));
    testing::expect_browser_shape(ours, live);
    // For the same name the two records differ in length only by the ECH GREASE payload.
    EXPECT_EQ(ours.record_size - body_of(ours, ech_extension).size(),
              live.record_size - body_of(live, ech_extension).size());
}

}  // namespace
}  // namespace pelto
