// TUN mode's lifecycle against the real system, in a network namespace of its own (a forked child
// unshares it, so nothing here reaches the machine's own interfaces, routes or resolver file; the
// resolver file and the journal are files in a temporary directory). Skipped without root.

#include "tun/resolved_bus_linux.h"
#include "tun/testing/scenario_child.h"
#include "tun/tun_control.h"
#include "tun/tun_system.h"
#include "tests/support/text_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <csignal>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using pelto::testing::run;
using pelto::testing::read_file;
using pelto::testing::write_file;

std::unique_ptr<pelto::tun_conn> refuse(std::string_view, std::uint16_t, std::u16string& error)
{
    error = u"refused";
    return nullptr;
}

#define CHECK(condition)                                                        \
    do {                                                                        \
        if (!(condition)) {                                                     \
            std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            std::_Exit(1);                                                      \
        }                                                                       \
    } while (0)

// One A query for service.example sent to the virtual DNS address; prints the answer's address.
const std::string lookup_command =
    "python3 -c \"import socket,struct; q=struct.pack('>HHHHHH',0x1234,0x0100,1,0,0,0)"
    "+b'\\x07service\\x07example\\x00'+struct.pack('>HH',1,1); s=socket.socket(2,2); s.settimeout(3); "
    "s.sendto(q,('172.19.77.53',53)); print(socket.inet_ntoa(s.recv(2048)[-4:]))\"";

// What a failed start or a stop must leave: no adapter, none of our routes, the file as it was.
void expect_clean(const std::string& resolver, const std::string& journal, const std::string& original)
{
    CHECK(if_nametoindex("pelto0") == 0);
    CHECK(run("ip -4 route show table all proto 94").empty());
    CHECK(run("ip -4 route show table all").find("172.19.77") == std::string::npos);
    CHECK(read_file(resolver) == original);
    struct stat info{};
    CHECK(stat(journal.c_str(), &info) != 0);
}

// The whole scenario; runs in the child, exits non-zero at the first broken expectation.
[[noreturn]] void scenario(const std::string& dir)
{
    alarm(120);
    CHECK(unshare(CLONE_NEWNET) == 0);
    CHECK(std::system("ip link set lo up && ip link add d0 type veth peer name d1 && ip link set d1 up && "
                      "ip addr add 10.66.0.2/24 dev d0 && ip addr add 10.66.0.1/24 dev d1 && ip link set d0 up && "
                      "ip route add default via 10.66.0.1 dev d0") == 0);
    // The upstream DNS server (the original resolver file names it) answers the service name.
    const char* source = std::getenv("PELTO_SOURCE_DIR");
    const bool with_dns = source != nullptr;
    if (with_dns) {
        // Ends with the scenario, however it ends.
        const pid_t peer = fork();
        CHECK(peer >= 0);
        if (peer == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const std::string script = std::string(source) + "/tests/tun/dns_peer.py";
            const std::string out = dir + "/dns.out";
            freopen(out.c_str(), "w", stdout);
            execl("/usr/bin/python3", "python3", script.c_str(), "--address", "10.66.0.1", "--record",
                  "service.example=10.77.0.5", static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        for (int i = 0; i < 100 && read_file(dir + "/dns.out").find("listening") == std::string::npos; ++i) {
            usleep(50000);
        }
    }
    pelto::set_tun_routed_names([](std::string_view name) { return name == "service.example"; });
    const std::string resolver = dir + "/resolv.conf";
    const std::string journal = dir + "/state/resolv.conf.saved";
    const std::string original = "# the machine's own\nnameserver 10.66.0.1\n";
    write_file(resolver, original);
    pelto::tun::set_dns_policy_paths_for_testing(resolver, journal);
    // Never the machine's own bus: a resolver service is reached only where a case starts one.
    const std::string no_bus = "unix:path=" + dir + "/no-bus.socket";
    pelto::tun::set_resolver_bus_address_for_testing(no_bus);
    std::u16string message;

    // Each step made to fail in turn leaves nothing behind.
    using step_name = pelto::tun_start_step;
    for (step_name step :
         {step_name::default_interface, step_name::interface_addresses, step_name::device_library,
          step_name::adapter, step_name::session, step_name::adapter_id, step_name::leak_filters,
          step_name::adapter_address, step_name::interface_parameters, step_name::threads,
          step_name::dns_route, step_name::dns_policy}) {
        pelto::set_tun_start_fault_for_testing(step);
        message.clear();
        CHECK(!pelto::tun_start(refuse, "", message));
        CHECK(!message.empty());
        CHECK(!pelto::tun_active());
        expect_clean(resolver, journal, original);
    }
    pelto::set_tun_start_fault_for_testing(pelto::tun_start_step::none);

    // With leak protection the filter table comes and goes with TUN mode; a pause keeps it all,
    // and switching protection off while paused removes the TUN entirely.
    CHECK(pelto::tun_set_leak_protection(true, message));
    CHECK(pelto::tun_start(refuse, "", message));
    CHECK(run("nft list tables").find("inet pelto_tun") != std::string::npos);
    if (with_dns) {
        // A lookup through the virtual DNS address routes the answer and fences it...
        const std::string answer = run(lookup_command + " 2>&1");
        if (answer != "10.77.0.5\n") {
            std::fprintf(stderr, "lookup: %s\ndns peer: %s\n", answer.c_str(), read_file(dir + "/dns.out").c_str());
        }
        CHECK(answer == "10.77.0.5\n");
        CHECK(run("ip -4 route show dev pelto0").find("10.77.0.5 ") != std::string::npos);
        CHECK(run("nft list set inet pelto_tun routed4").find("10.77.0.5") != std::string::npos);
        // ...until a reuse with a node at that very address: its route and filter go, so the
        // node is never dialled into the tunnel.
        CHECK(pelto::tun_start(refuse, "10.77.0.5", message));
        CHECK(run("ip -4 route show dev pelto0").find("10.77.0.5 ") == std::string::npos);
        CHECK(run("nft list set inet pelto_tun routed4").find("10.77.0.5") == std::string::npos);
        // The node's address is not routed again by the next answer.
        run(lookup_command);
        CHECK(run("ip -4 route show dev pelto0").find("10.77.0.5 ") == std::string::npos);
    }
    pelto::tun_pause();
    CHECK(pelto::tun_active());
    CHECK(if_nametoindex("pelto0") != 0);
    CHECK(run("nft list tables").find("inet pelto_tun") != std::string::npos);
    CHECK(pelto::tun_start(refuse, "", message));  // reuse after the pause
    pelto::tun_pause();
    CHECK(pelto::tun_set_leak_protection(false, message));
    CHECK(!pelto::tun_active());
    CHECK(run("nft list tables").find("pelto_tun") == std::string::npos);
    expect_clean(resolver, journal, original);

    // A real start: address, MTU, link up, the virtual DNS route and the policy with its journal.
    CHECK(pelto::tun_start(refuse, "10.66.0.9", message));
    CHECK(pelto::tun_active());
    const std::string addresses = run("ip -o -4 addr show dev pelto0");
    CHECK(addresses.find("172.19.77.1/32") != std::string::npos);
    const std::string link = run("ip -o link show dev pelto0");
    CHECK(link.find("mtu 1500") != std::string::npos);
    CHECK(link.find(",UP") != std::string::npos);
    CHECK(run("ip -4 route show dev pelto0").find("172.19.77.53 proto 94") != std::string::npos);
    CHECK(read_file(resolver).find("nameserver 172.19.77.53") != std::string::npos);
    CHECK(read_file(journal) == original);
    // The default route itself never changes.
    CHECK(run("ip -4 route show default").find("via 10.66.0.1 dev d0") != std::string::npos);

    // Reuse changes nothing on the system.
    CHECK(pelto::tun_start(refuse, "10.66.0.10", message));
    CHECK(if_nametoindex("pelto0") != 0);

    // A pause without leak protection tears down; stop afterwards does nothing more.
    pelto::tun_pause();
    CHECK(!pelto::tun_active());
    expect_clean(resolver, journal, original);
    pelto::tun_stop();

    CHECK(pelto::tun_start(refuse, "", message));
    pelto::tun_stop();
    expect_clean(resolver, journal, original);

    // The adapter deleted from outside (a driver reset, another program): the reader ends, name
    // resolution is put back at once and the owner is told with an error text; the owner's
    // pause then takes the rest down, leak protection or not.
    static std::atomic<bool> lost{false};
    static std::u16string lost_text;
    pelto::set_tun_lost_sink([](std::u16string_view text) {
        lost_text = text;
        lost = true;
    });
    CHECK(pelto::tun_set_leak_protection(true, message));
    CHECK(pelto::tun_start(refuse, "", message));
    CHECK(read_file(resolver).find("nameserver 172.19.77.53") != std::string::npos);
    CHECK(!lost);
    CHECK(std::system("ip link del pelto0") == 0);
    for (int i = 0; i < 300 && !lost; ++i) {
        usleep(10000);
    }
    CHECK(lost);  // within three seconds
    CHECK(lost_text.find(u"adapter") != std::u16string::npos);
    CHECK(read_file(resolver) == original);
    CHECK(pelto::tun_active());
    pelto::tun_pause();
    CHECK(!pelto::tun_active());
    CHECK(run("nft list tables").find("pelto_tun") == std::string::npos);
    CHECK(pelto::tun_set_leak_protection(false, message));
    expect_clean(resolver, journal, original);
    // A stop is no loss: the owner is not told.
    lost = false;
    CHECK(pelto::tun_start(refuse, "", message));
    pelto::tun_stop();
    usleep(300000);
    CHECK(!lost);
    expect_clean(resolver, journal, original);
    pelto::set_tun_lost_sink(nullptr);

    // A process that ends without any teardown (as after kill -9): the adapter goes with it, the
    // resolver file stays redirected until the next start recovers it.
    pid_t crashed = fork();
    CHECK(crashed >= 0);
    if (crashed == 0) {
        std::u16string m;
        std::_Exit(pelto::tun_start(refuse, "", m) ? 0 : 1);
    }
    int status = 0;
    CHECK(waitpid(crashed, &status, 0) == crashed && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CHECK(read_file(resolver).find("nameserver 172.19.77.53") != std::string::npos);
    pelto::tun_recover();
    expect_clean(resolver, journal, original);

    // Once someone else has replaced our text, recovery leaves their file alone.
    crashed = fork();
    CHECK(crashed >= 0);
    if (crashed == 0) {
        std::u16string m;
        std::_Exit(pelto::tun_start(refuse, "", m) ? 0 : 1);
    }
    CHECK(waitpid(crashed, &status, 0) == crashed && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string theirs = "nameserver 10.66.0.77\n";
    write_file(resolver, theirs);
    pelto::tun_recover();
    CHECK(read_file(resolver) == theirs);

    // A loopback stub is never taken as the upstream server (it would send queries back to us).
    write_file(resolver, "nameserver 127.0.0.53\nnameserver 10.66.0.1\n");
    pelto::tun::interface_addresses found;
    const pelto::tun::default_interface iface = pelto::tun::find_default_interface();
    CHECK(iface.found && iface.id == if_nametoindex("d0"));
    CHECK(pelto::tun::read_interface_addresses(iface, 0, 0x09090909, found));
    CHECK(found.local_bind == htonl(0x0A420002));    // 10.66.0.2
    CHECK(found.upstream_dns == htonl(0x0A420001));  // 10.66.0.1

    // Behind a local resolver service (a stand-in on a private bus in this namespace), the policy
    // lands on the adapter's link and a stop takes it back.
    const std::string stub_link = dir + "/resolv-link.conf";
    CHECK(symlink("/run/systemd/resolve/stub-resolv.conf", stub_link.c_str()) == 0);
    pelto::tun::set_dns_policy_paths_for_testing(stub_link, journal);
    if (with_dns && access("/usr/bin/dbus-daemon", X_OK) == 0 &&
        std::system("/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null") == 0) {
        const std::string peer_dir = dir + "/resolver";
        CHECK(mkdir(peer_dir.c_str(), 0700) == 0);
        const pid_t service = fork();
        CHECK(service >= 0);
        if (service == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            const std::string script = std::string(source) + "/tests/peers/resolver_bus_peer.py";
            const std::string out = peer_dir + "/out";
            freopen(out.c_str(), "w", stdout);
            execl("/usr/bin/python3", "python3", script.c_str(), "--dir", peer_dir.c_str(), "--links", "any",
                  static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        std::string ready;
        for (int i = 0; i < 200 && (ready = read_file(peer_dir + "/out")).find('\n') == std::string::npos; ++i) {
            usleep(50000);
        }
        CHECK(ready.rfind("ready ", 0) == 0);
        pelto::tun::set_resolver_bus_address_for_testing(ready.substr(6, ready.find('\n') - 6));
        CHECK(pelto::tun_start(refuse, "", message));
        const std::string link = "link " + std::to_string(if_nametoindex("pelto0"));
        CHECK(read_file(peer_dir + "/links.state").find(link + " dns=172.19.77.53 domains=~. default_route=yes\n") !=
              std::string::npos);
        CHECK(read_file(dir + "/state/resolver-link.marker").find(link) == 0);
        pelto::tun_stop();
        CHECK(read_file(peer_dir + "/links.state").find(link + " dns= domains= default_route=unset\n") !=
              std::string::npos);
        const std::string calls = read_file(peer_dir + "/calls.log");
        CHECK(calls.size() > 30 && calls.substr(calls.size() - 30).find("RevertLink ") != std::string::npos);
        CHECK(access((dir + "/state/resolver-link.marker").c_str(), F_OK) != 0);
        CHECK(if_nametoindex("pelto0") == 0);
        kill(service, SIGTERM);
        CHECK(waitpid(service, nullptr, 0) == service);
        pelto::tun::set_resolver_bus_address_for_testing(no_bus);
    }

    // Without the service, such a resolver file is refused, untouched.
    message.clear();
    CHECK(!pelto::tun_start(refuse, "", message));
    CHECK(message.find(u"resolver service") != std::u16string::npos);
    CHECK(if_nametoindex("pelto0") == 0);
    struct stat info{};
    CHECK(stat(journal.c_str(), &info) != 0);
    std::_Exit(0);
}

// Port 9 of the numeric `address` in `out`; the address's length.
socklen_t port_9_of(const char* address, bool ipv6, sockaddr_storage& out)
{
    if (ipv6) {
        auto* in = reinterpret_cast<sockaddr_in6*>(&out);
        in->sin6_family = AF_INET6;
        in->sin6_port = htons(9);
        inet_pton(AF_INET6, address, &in->sin6_addr);
        return sizeof *in;
    }
    auto* in = reinterpret_cast<sockaddr_in*>(&out);
    in->sin_family = AF_INET;
    in->sin_port = htons(9);
    inet_pton(AF_INET, address, &in->sin_addr);
    return sizeof *in;
}

// Sends one UDP datagram to `address`: "blocked" when the output path refuses it (a dropped
// packet fails the send with EPERM), "sent" otherwise.
std::string attempt(const char* address, bool ipv6)
{
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    sockaddr_storage target{};
    const socklen_t length = port_9_of(address, ipv6, target);
    const ssize_t n = sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&target), length);
    const int error = errno;
    close(fd);
    return n < 0 && error == EPERM ? "blocked" : "sent";
}

// Opens a TCP connection to port 9 of `address`, waiting at most one second: "refused" when a
// reset refuses it in that time, "timed out" when nothing has happened by then, "connected", or
// "error N" for any other failure.
std::string connect_attempt(const char* address, bool ipv6)
{
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_storage target{};
    const socklen_t length = port_9_of(address, ipv6, target);
    std::string outcome;
    if (connect(fd, reinterpret_cast<sockaddr*>(&target), length) == 0) {
        outcome = "connected";
    } else if (errno != EINPROGRESS) {
        outcome = errno == ECONNREFUSED ? "refused" : "error " + std::to_string(errno);
    } else {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 1000) == 0) {
            outcome = "timed out";
        } else {
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            outcome = error == 0 ? "connected"
                      : error == ECONNREFUSED ? "refused"
                                              : "error " + std::to_string(error);
        }
    }
    close(fd);
    return outcome;
}

[[noreturn]] void filter_scenario()
{
    alarm(60);
    CHECK(unshare(CLONE_NEWNET) == 0);
    CHECK(std::system("ip link set lo up && ip link add d0 type veth peer name d1 && ip link set d1 up && "
                      "ip addr add 10.66.0.2/24 dev d0 && ip -6 addr add fd00::2/64 dev d0 nodad && "
                      "ip link set d0 up") == 0);
    CHECK(attempt("10.66.0.50", false) == "sent");
    // Nobody answers there: unfiltered, a connection attempt is still pending after a second.
    CHECK(connect_attempt("10.66.0.50", false) == "timed out");
    CHECK(connect_attempt("fd00::50", true) == "timed out");
    std::u16string message;
    const std::uint8_t v4[4] = {10, 66, 0, 50};
    std::uint8_t v6[16] = {0xfd};
    v6[15] = 0x50;
    {
        // The adapter here is d0: traffic to the address through it passes.
        auto through_d0 = pelto::tun::open_leak_filters(if_nametoindex("d0"), message);
        CHECK(through_d0 != nullptr);
        CHECK(through_d0->add(pelto::byte_span(v4, 4), false));
        CHECK(attempt("10.66.0.50", false) == "sent");
        // A second filtering session while one exists is refused, not merged.
        CHECK(pelto::tun::open_leak_filters(1, message) == nullptr);
        CHECK(!message.empty());
    }
    CHECK(run("nft list tables").find("pelto_tun") == std::string::npos);
    {
        // The adapter is elsewhere: the same traffic leaving by d0 is blocked; IPv6 always.
        auto elsewhere = pelto::tun::open_leak_filters(1, message);
        CHECK(elsewhere != nullptr);
        CHECK(attempt("fd00::50", true) == "sent");
        CHECK(elsewhere->add(pelto::byte_span(v4, 4), false));
        CHECK(elsewhere->add(pelto::byte_span(v4, 4), false));  // twice is fine
        CHECK(elsewhere->add(pelto::byte_span(v6, 16), true));
        CHECK(attempt("10.66.0.50", false) == "blocked");
        CHECK(attempt("10.66.0.51", false) == "sent");
        CHECK(attempt("fd00::50", true) == "blocked");
        // A connection forced around the adapter fails at once, for both families.
        CHECK(connect_attempt("10.66.0.50", false) == "refused");
        CHECK(connect_attempt("fd00::50", true) == "refused");
        CHECK(connect_attempt("10.66.0.51", false) == "timed out");
        elsewhere->remove(pelto::byte_span(v4, 4), false);
        elsewhere->remove(pelto::byte_span(v6, 16), true);
        CHECK(attempt("fd00::50", true) == "sent");
        CHECK(attempt("10.66.0.50", false) == "sent");
    }
    // A process that ends without closing anything takes its table with it.
    const pid_t crashed = fork();
    CHECK(crashed >= 0);
    if (crashed == 0) {
        auto kept = pelto::tun::open_leak_filters(1, message);
        std::_Exit(kept != nullptr && run("nft list tables").find("pelto_tun") != std::string::npos ? 0 : 1);
    }
    int status = 0;
    CHECK(waitpid(crashed, &status, 0) == crashed && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CHECK(run("nft list tables").find("pelto_tun") == std::string::npos);
    std::_Exit(0);
}

TEST(tun_lifecycle, leak_filters_block_routed_addresses_off_the_adapter_and_vanish_with_their_owner)
{
    if (geteuid() != 0 || std::system("command -v ip >/dev/null && command -v nft >/dev/null") != 0) {
        GTEST_SKIP() << "needs root, ip and nft";
    }
    pelto::tun::testing::expect_child_passes(filter_scenario);
}

TEST(tun_lifecycle, start_failure_reuse_pause_stop_and_recovery_in_a_namespace)
{
    if (geteuid() != 0 || access("/dev/net/tun", R_OK | W_OK) != 0 || std::system("command -v ip >/dev/null") != 0) {
        GTEST_SKIP() << "needs root, /dev/net/tun and ip";
    }
    pelto::tun::testing::expect_child_passes_in("pelto-tunlife", scenario);
}

}  // namespace
