// TUN mode following network changes, against the real system in namespaces of its own: a forked
// child unshares its network and mount namespaces and puts a private copy of /etc over /etc, so
// the resolver file it rewrites (by rename, as a DHCP client does) is the one the system resolver
// of that child reads, and nothing reaches the machine's own interfaces, routes or files. The
// networks it moves between end in a second namespace (the far side), where the DNS servers run.
// Skipped without root.

#include "net/socket.h"
#include "tun/resolved_bus_linux.h"
#include "tun/testing/scenario_child.h"
#include "tun/tun_control.h"
#include "tun/tun_system.h"
#include "tests/support/text_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using pelto::testing::read_file;
using pelto::testing::run;
using pelto::testing::write_file;
using std::chrono::steady_clock;

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            std::_Exit(1);                                                                \
        }                                                                                 \
    } while (0)

std::unique_ptr<pelto::tun_conn> refuse(std::string_view, std::uint16_t, std::u16string& error)
{
    error = u"refused";
    return nullptr;
}

std::mutex lines_lock;
std::vector<std::string> lines;

std::vector<std::string> change_lines()
{
    std::lock_guard hold(lines_lock);
    std::vector<std::string> out;
    for (const std::string& line : lines) {
        if (line.rfind("TUN: the network changed", 0) == 0) {
            out.push_back(line);
        }
    }
    return out;
}

pid_t far_side = 0;

// Runs a shell command in the far side's network namespace.
int far(const std::string& command)
{
    return std::system(("nsenter -t " + std::to_string(far_side) + " -n sh -c '" + command + "'").c_str());
}

// A process that holds the far side's namespace until the scenario ends.
void start_far_side()
{
    int ready[2];
    CHECK(pipe(ready) == 0);
    far_side = fork();
    CHECK(far_side >= 0);
    if (far_side == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const char done = unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
        [[maybe_unused]] const ssize_t n = write(ready[1], &done, 1);
        for (;;) {
            pause();
        }
    }
    char done = 0;
    CHECK(read(ready[0], &done, 1) == 1 && done == 'y');
    close(ready[0]);
    close(ready[1]);
    CHECK(far("ip link set lo up") == 0);
}

// A DNS server on `address` of the far side answering service.example with `answer` (UDP and TCP);
// ends with the scenario.
void start_dns_peer(const std::string& dir, const std::string& address, const std::string& answer)
{
    const std::string out = dir + "/dns-" + address + ".out";
    const pid_t peer = fork();
    CHECK(peer >= 0);
    if (peer == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const std::string script = std::string(std::getenv("PELTO_SOURCE_DIR")) + "/tests/tun/dns_peer.py";
        freopen(out.c_str(), "w", stdout);
        const std::string target = std::to_string(far_side);
        execlp("nsenter", "nsenter", "-t", target.c_str(), "-n", "/usr/bin/python3", script.c_str(), "--address",
               address.c_str(), "--record", ("service.example=" + answer).c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    for (int i = 0; i < 100 && read_file(out).find("listening") == std::string::npos; ++i) {
        usleep(50000);
    }
    CHECK(read_file(out).find("listening") != std::string::npos);
}

// What the system resolver of this namespace answers for the routed name (a fresh process, so
// nothing is cached).
std::string system_lookup()
{
    return run("python3 -c \"import socket; print(socket.gethostbyname('service.example'))\" 2>&1");
}

bool routed_through_adapter(const std::string& address)
{
    return run("ip -4 route show dev pelto0").find(address + " ") != std::string::npos;
}

// Connects the way node connections are made, to `port` on `address`; the device the socket was
// bound to (empty when none).
std::string node_socket_device(const std::string& address, std::uint16_t port)
{
    pelto::socket_handle node = pelto::invalid_socket_handle;
    std::u16string error;
    CHECK(pelto::tcp_connect(address, port, 2000, 2000, node, error));
    char device[IFNAMSIZ] = {};
    socklen_t size = sizeof device;
    getsockopt(static_cast<int>(node), SOL_SOCKET, SO_BINDTODEVICE, device, &size);
    pelto::close_socket(node);
    return device;
}

// A listener on this machine's loopback: a node reached there is never bound.
std::string loopback_node_socket_device()
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    CHECK(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && listen(listener, 1) == 0 &&
          getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length) == 0);
    const std::string device = node_socket_device("127.0.0.1", ntohs(at.sin_port));
    close(listener);
    return device;
}

// Replaces the resolver file the way a DHCP client does: a new file renamed over it.
void dhcp_rewrite(const std::string& text)
{
    write_file("/etc/resolv.conf.dhcp-new", text);
    CHECK(rename("/etc/resolv.conf.dhcp-new", "/etc/resolv.conf") == 0);
}

// Waits at most 2 s from `since` until the resolver file holds our policy again and `count`
// change lines were logged. False when that did not happen in time.
bool followed_within_2s(steady_clock::time_point since, std::size_t count)
{
    while (steady_clock::now() - since < std::chrono::seconds(2)) {
        if (read_file("/etc/resolv.conf").find("nameserver 172.19.77.53") != std::string::npos &&
            change_lines().size() >= count) {
            return true;
        }
        usleep(20000);
    }
    return false;
}

[[noreturn]] void scenario(const std::string& dir)
{
    alarm(90);
    CHECK(unshare(CLONE_NEWNET | CLONE_NEWNS) == 0);
    CHECK(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
    CHECK(std::system(("cp -a /etc " + dir + "/etc && rm -f " + dir + "/etc/resolv.conf").c_str()) == 0);
    CHECK(mount((dir + "/etc").c_str(), "/etc", nullptr, MS_BIND, nullptr) == 0);
    start_far_side();
    const std::string far_pid = std::to_string(far_side);
    CHECK(std::system(("ip link set lo up && ip link add d0 type veth peer name d1 netns " + far_pid +
                       " && ip addr add 10.66.0.2/24 dev d0 && ip link set d0 up && "
                       "ip route add default via 10.66.0.1 dev d0").c_str()) == 0);
    CHECK(far("ip addr add 10.66.0.1/24 dev d1 && ip addr add 10.66.0.3/24 dev d1 && ip link set d1 up") == 0);
    // Each server gives its own answer, so an answer tells which one was asked.
    start_dns_peer(dir, "10.66.0.1", "10.77.0.5");
    start_dns_peer(dir, "10.66.0.3", "10.77.0.6");
    const std::string original = "# as the machine had it\nnameserver 10.66.0.1\n";
    write_file("/etc/resolv.conf", original);

    pelto::set_tun_routed_names([](std::string_view name) { return name == "service.example"; });
    pelto::tun::set_dns_policy_paths_for_testing("", dir + "/state/resolv.conf.saved");
    pelto::tun::set_resolver_bus_address_for_testing("unix:path=" + dir + "/no-bus.socket");
    pelto::set_tun_log_sink([](std::u16string_view line) {
        std::lock_guard hold(lines_lock);
        lines.emplace_back(line.begin(), line.end());
    });
    std::u16string message;
    CHECK(pelto::tun_start(refuse, "", message));
    CHECK(pelto::outbound_interface() == if_nametoindex("d0"));
    CHECK(node_socket_device("10.66.0.1", 53) == "d0");
    CHECK(loopback_node_socket_device().empty());  // a node on this machine is reached as before
    CHECK(system_lookup() == "10.77.0.5\n");
    CHECK(routed_through_adapter("10.77.0.5"));

    // 1. The DHCP client renews with another server and writes its file over ours.
    const std::string renewed = "# renewed lease\nnameserver 10.66.0.3\n";
    auto since = steady_clock::now();
    dhcp_rewrite(renewed);
    CHECK(followed_within_2s(since, 1));
    CHECK(read_file(dir + "/state/resolv.conf.saved") == renewed);  // what the end restores
    CHECK(system_lookup() == "10.77.0.6\n");                          // asked through the new server
    CHECK(routed_through_adapter("10.77.0.6"));
    usleep(600000);  // our own rewrite settles: one line for the whole change
    CHECK(change_lines().size() == 1);
    CHECK(change_lines()[0].find("10.66.0.3 from 10.66.0.2") != std::string::npos);

    // 2. A move to another network: new link, address, default route and server at once.
    CHECK(std::system(("ip link add e0 type veth peer name e1 netns " + far_pid +
                       " && ip addr add 10.88.0.2/24 dev e0 && ip link set e0 up").c_str()) == 0);
    CHECK(far("ip addr add 10.88.0.1/24 dev e1 && ip link set e1 up") == 0);
    start_dns_peer(dir, "10.88.0.1", "10.77.0.7");
    const std::string moved = "# another network\nnameserver 10.88.0.1\n";
    const std::size_t before = change_lines().size();
    since = steady_clock::now();
    CHECK(std::system("ip route replace default via 10.88.0.1 dev e0 && ip link set d0 down") == 0);
    dhcp_rewrite(moved);
    CHECK(followed_within_2s(since, before + 1));
    // Further lines may still land from the tail of the burst; the last one tells where it went.
    usleep(600000);
    CHECK(change_lines().back().find("10.88.0.1 from 10.88.0.2") != std::string::npos);
    CHECK(pelto::outbound_interface() == if_nametoindex("e0"));
    CHECK(node_socket_device("10.88.0.1", 53) == "e0");
    CHECK(system_lookup() == "10.77.0.7\n");
    CHECK(routed_through_adapter("10.77.0.7"));

    // 3. The end restores the newest text, not the one from the start.
    pelto::tun_stop();
    CHECK(read_file("/etc/resolv.conf") == moved);
    CHECK(pelto::outbound_interface() == 0);
    CHECK(if_nametoindex("pelto0") == 0);
    struct stat info{};
    CHECK(stat((dir + "/state/resolv.conf.saved").c_str(), &info) != 0);
    std::_Exit(0);
}

TEST(tun_network_follow, dhcp_rewrite_and_move_to_another_network_in_namespaces)
{
    if (geteuid() != 0 || access("/dev/net/tun", R_OK | W_OK) != 0 ||
        std::system("command -v ip >/dev/null && command -v nsenter >/dev/null") != 0 || std::getenv("PELTO_SOURCE_DIR") == nullptr) {
        GTEST_SKIP() << "needs root, /dev/net/tun, ip and PELTO_SOURCE_DIR";
    }
    pelto::tun::testing::expect_child_passes_in("pelto-netfollow", scenario);
}

}  // namespace
