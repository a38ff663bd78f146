// The data plane against the Linux kernel's own TCP and UDP, through a real TUN device and real
// host routes. Each case runs in a child process inside a network namespace of its own, so the
// machine's interfaces and routes are never touched; without root or /dev/net/tun it is skipped.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "net/socket.h"
#include "proxy/dial.h"
#include "proxy/direct_stream.h"
#include "tun/dns_message.h"
#include "tun/packet.h"
#include "tun/testing/script_dns_server.h"
#include "tun/testing/tun_stack.h"

namespace {

using namespace pelto;
using namespace pelto::tun;

bool can_make_devices()
{
    return geteuid() == 0 && access("/dev/net/tun", R_OK | W_OK) == 0;
}

// Runs `body` in a child inside a fresh network namespace; the child's error text (empty on
// success) comes back through a pipe. The child is bounded by an alarm.
std::string in_namespace(const std::function<std::string()>& body)
{
    int fds[2];
    if (pipe(fds) != 0) {
        return "pipe failed";
    }
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        alarm(60);
        std::string error;
        if (unshare(CLONE_NEWNET) != 0) {
            error = "unshare failed";
        } else if (std::system("ip link set lo up") != 0) {
            error = "lo up failed";
        } else {
            error = body();
        }
        [[maybe_unused]] const ssize_t n = write(fds[1], error.data(), error.size());
        close(fds[1]);
        _exit(error.empty() ? 0 : 1);
    }
    close(fds[1]);
    std::string text;
    char buffer[512];
    ssize_t n = 0;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status)) {
        return "child died (signal " + std::to_string(WTERMSIG(status)) + ") " + text;
    }
    if (WEXITSTATUS(status) != 0 && text.empty()) {
        return "child failed";
    }
    return text;
}

// A loopback TCP echo server for one connection: once it has echoed `echo_total` bytes it waits
// a moment (the client half-closes meanwhile), sends `closing_words` and ends the connection.
constexpr std::size_t echo_total = 1 << 20;
constexpr std::string_view closing_words = "answered after the half-close";

struct echo_server {
    int listener = -1;
    std::uint16_t port = 0;
    std::thread thread;
    echo_server()
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 4);
        socklen_t length = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
        thread = std::thread([this] {
            const int c = accept(listener, nullptr, nullptr);
            std::uint8_t buffer[65536];
            ssize_t n = 0;
            std::size_t echoed = 0;
            while (echoed < echo_total && (n = recv(c, buffer, sizeof buffer, 0)) > 0) {
                if (send(c, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
                    break;
                }
                echoed += static_cast<std::size_t>(n);
            }
            if (echoed == echo_total) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                send(c, closing_words.data(), closing_words.size(), MSG_NOSIGNAL);
            }
            close(c);
        });
    }
    ~echo_server()
    {
        shutdown(listener, SHUT_RDWR);
        thread.join();
        close(listener);
    }
};

bytes a_query(std::string_view name)
{
    bytes m = {0x77, 0x01, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    write_dns_name(name, m);
    m.insert(m.end(), {0, 1, 0, 1});
    return m;
}

std::string kernel_round_trip()
{
    net_startup();
    echo_server echo;
    const std::uint32_t routed_ip = ipv4(10, 77, 0, 9);
    tun::testing::script_server upstream([&](const bytes& q, bool) {
        bytes a = q;
        a[2] = 0x81;
        a[3] = 0x80;
        a[7] = 1;
        a.insert(a.end(), {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 77, 0, 9});
        return a;
    });

    tun::testing::tun_stack_options o;
    o.name = u"ptest0";
    o.virtual_dns_address = ipv4(10, 66, 0, 53);
    o.adapter_address = ipv4(10, 66, 0, 1);
    o.upstream = {htonl(INADDR_LOOPBACK), upstream.port(), 0};
    o.is_routed_name = [](std::string_view n) { return n == "echo.test"; };
    const std::uint16_t echo_port = echo.port;
    o.dial = [echo_port](std::string_view host, std::uint16_t port, std::u16string& error) -> std::unique_ptr<tun_conn> {
        if (host != "echo.test" || port != 7) {
            error = u"unexpected destination";
            return nullptr;
        }
        socket_handle s = invalid_socket_handle;
        if (!tcp_connect("127.0.0.1", echo_port, 2000, 10000, s, error)) {
            return nullptr;
        }
        return std::make_unique<tun_dial>(std::make_unique<direct_stream>(s));
    };
    tun::testing::tun_stack stack(o);
    std::u16string error;
    if (!stack.open(error)) {
        return "open failed";
    }
    if (std::system("ip addr add 10.66.0.1/32 dev ptest0 && ip link set ptest0 up") != 0) {
        return "address failed";
    }
    if (!stack.start(error)) {
        return "start failed";
    }
    // IPv6 is off on the device.
    if (std::system("test \"$(cat /proc/sys/net/ipv6/conf/ptest0/disable_ipv6)\" = 1") != 0) {
        return "IPv6 left on";
    }

    // DNS through the virtual address, from the kernel's UDP.
    const int u = socket(AF_INET, SOCK_DGRAM, 0);
    timeval tv{5, 0};
    setsockopt(u, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in dns{};
    dns.sin_family = AF_INET;
    dns.sin_port = htons(53);
    dns.sin_addr.s_addr = ipv4(10, 66, 0, 53);
    const bytes q = a_query("echo.test");
    sendto(u, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&dns), sizeof dns);
    bytes answer(1500);
    const ssize_t an = recv(u, answer.data(), answer.size(), 0);
    close(u);
    if (an < 16) {
        return "no DNS answer";
    }
    answer.resize(static_cast<std::size_t>(an));
    if (!answer_matches(q, answer) || answer[7] != 1 ||
        std::memcmp(answer.data() + answer.size() - 4, &routed_ip, 4) != 0) {
        return "DNS answer not as expected";
    }
    if (std::system("ip route show dev ptest0 | grep -q '^10.77.0.9 '") != 0) {
        return "no host route";
    }

    // 1 MiB through the user-space TCP and back, against the kernel's TCP.
    const int t = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(t, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(7);
    to.sin_addr.s_addr = routed_ip;
    if (connect(t, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        return "connect failed";
    }
    bytes data(echo_total);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    std::thread writer([&] {
        send(t, data.data(), data.size(), MSG_NOSIGNAL);
    });
    bytes back;
    std::uint8_t buffer[65536];
    // Never past the echo: the closing words may already wait behind it when this side is slow.
    while (back.size() < data.size()) {
        const ssize_t n = recv(t, buffer, std::min(sizeof buffer, data.size() - back.size()), 0);
        if (n <= 0) {
            break;
        }
        back.insert(back.end(), buffer, buffer + n);
    }
    writer.join();
    if (back != data) {
        close(t);
        return "echo differs: " + std::to_string(back.size()) + " bytes back";
    }
    // Half-close: the remote still answers after the client's FIN, then its end comes back as
    // a FIN.
    shutdown(t, SHUT_WR);
    std::string after;
    ssize_t n = 0;
    while ((n = recv(t, buffer, sizeof buffer, 0)) > 0) {
        after.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    }
    close(t);
    if (n != 0) {
        return "no end of stream after the half-close";  // the 5 s receive time-out
    }
    if (after != closing_words) {
        return "answer after the half-close lost: \"" + after + "\"";
    }
    // A connection to an address nobody resolved is refused.
    const int r = socket(AF_INET, SOCK_STREAM, 0);
    to.sin_addr.s_addr = ipv4(10, 66, 0, 53);
    to.sin_port = htons(80);
    const int refused = connect(r, reinterpret_cast<sockaddr*>(&to), sizeof to);
    const int refused_errno = errno;
    close(r);
    if (refused == 0 || refused_errno != ECONNREFUSED) {
        return "unresolved address not refused";
    }
    stack.stop();
    if (std::system("ip link show ptest0 >/dev/null 2>&1") == 0) {
        return "device outlived its descriptor";
    }
    return {};
}

TEST(tun_linux_device, kernel_tcp_and_dns_through_the_device_and_host_routes)
{
    if (!can_make_devices()) {
        GTEST_SKIP() << "needs root and /dev/net/tun";
    }
    EXPECT_EQ(in_namespace(kernel_round_trip), "");
}

TEST(tun_linux_device, reader_ends_when_the_device_is_deleted)
{
    if (!can_make_devices()) {
        GTEST_SKIP() << "needs root and /dev/net/tun";
    }
    EXPECT_EQ(in_namespace([]() -> std::string {
        std::u16string error;
        if (!load_device_library(error)) {
            return "load failed";
        }
        const device_table& calls = device_calls();
        void* adapter = calls.create_adapter(u"ptest1", u"ptest1", nullptr);
        if (adapter == nullptr) {
            return "create failed";
        }
        void* session = calls.start_session(adapter, ring_capacity);
        std::uint32_t size = 0;
        if (calls.receive_packet(session, &size) != nullptr || calls.last_error() == device_error_end) {
            return "an idle device is not empty";
        }
        if (std::system("ip link del ptest1") != 0) {
            return "delete failed";
        }
        const bool ended = calls.receive_packet(session, &size) == nullptr && calls.last_error() == device_error_end;
        calls.end_session(session);
        calls.close_adapter(adapter);
        bytes name_too_long;
        if (calls.create_adapter(u"sixteen-chars-xx", u"", nullptr) != nullptr) {
            return "a 16-byte name was accepted";
        }
        return ended ? std::string() : std::string("no end after the device was deleted");
    }), "");
}

}  // namespace
