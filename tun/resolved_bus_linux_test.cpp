// The DNS policy through the local resolver service, against a stand-in service on a private
// message bus (tests/peers/resolver_bus_peer.py starts its own bus daemon in a temporary
// directory). The resolver file and the journal are files in that directory too: nothing here
// touches the machine's own bus, resolver file or network, and no root is needed.

#include "tun/resolved_bus_linux.h"
#include "tun/tun_system.h"
#include "tests/support/text_files.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using pelto::testing::read_file;
using pelto::testing::write_file;

using namespace std::chrono_literals;
using pelto::tun::resolver_bus_step_limit;

std::uint32_t ip(const char* dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

const std::uint32_t virtual_dns = ip("172.19.77.53");
const std::uint32_t fallback_dns = ip("9.9.9.9");
constexpr std::int32_t adapter = 42;

bool exists(const std::string& path)
{
    struct stat info{};
    return stat(path.c_str(), &info) == 0;
}

std::string narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// The stand-in service, in a process group of its own (its bus daemon, and a service the bus
// started, end with it).
class resolver_peer {
public:
    resolver_peer() = default;
    resolver_peer(const resolver_peer&) = delete;
    resolver_peer& operator=(const resolver_peer&) = delete;
    ~resolver_peer() { stop(); }

    // Starts it serving in `dir` and points the bus seam at it; false with a reason.
    bool start(const std::string& dir, const std::vector<std::string>& options, std::string& out_error)
    {
        dir_ = dir;
        const char* source = std::getenv("PELTO_SOURCE_DIR");
        if (source == nullptr) {
            out_error = "PELTO_SOURCE_DIR is not set";
            return false;
        }
        const std::string script = std::string(source) + "/tests/peers/resolver_bus_peer.py";
        int out[2];
        if (pipe(out) != 0) {
            out_error = "pipe";
            return false;
        }
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<std::string> args = {"/usr/bin/python3", script, "--dir", dir};
            args.insert(args.end(), options.begin(), options.end());
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            std::_Exit(127);
        }
        close(out[1]);
        if (pid_ < 0) {
            close(out[0]);
            out_error = "fork";
            return false;
        }
        setpgid(pid_, pid_);
        // "ready <address>" within a generous bound; an early end of the pipe means it failed.
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (line.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{out[0], POLLIN, 0};
            if (left <= 0ms || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                out_error = "the stand-in service did not get ready in time";
                break;
            }
            char buffer[256];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                out_error = "the stand-in service ended before it was ready";
                break;
            }
            line.append(buffer, static_cast<std::size_t>(n));
        }
        close(out[0]);
        if (line.rfind("ready ", 0) != 0 || line.find('\n') == std::string::npos) {
            return false;
        }
        address_ = line.substr(6, line.find('\n') - 6);
        pelto::tun::set_resolver_bus_address_for_testing(address_);
        return true;
    }

    void stop()
    {
        if (pid_ <= 0) {
            return;
        }
        kill(-pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = 0;
                break;
            }
            usleep(50000);
        }
        if (pid_ > 0) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = 0;
        }
    }

    std::string calls() const { return read_file(dir_ + "/calls.log"); }
    std::string links() const { return read_file(dir_ + "/links.state"); }

private:
    pid_t pid_ = 0;
    std::string dir_;
    std::string address_;
};

class dns_policy_via_resolver_service : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access("/usr/bin/dbus-daemon", X_OK) != 0 ||
            std::system("/usr/bin/python3 -c 'import dbus, dbus.mainloop.glib; from gi.repository import GLib' "
                        "2>/dev/null") != 0) {
            GTEST_SKIP() << "needs dbus-daemon, python3-dbus and python3-gi";
        }
        char pattern[] = "/tmp/pelto-resolvebus-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // The resolver file links into the service's directory, as on a machine where it runs.
        ASSERT_EQ(std::system(("mkdir -p " + dir_ + "/run/systemd/resolve " + dir_ + "/state").c_str()), 0);
        stub_ = dir_ + "/run/systemd/resolve/stub-resolv.conf";
        write_file(stub_, "nameserver 127.0.0.53\noptions edns0 trust-ad\n");
        resolver_ = dir_ + "/resolv.conf";
        ASSERT_EQ(symlink(stub_.c_str(), resolver_.c_str()), 0);
        journal_ = dir_ + "/state/resolv.conf.saved";
        marker_ = dir_ + "/state/resolver-link.marker";
        pelto::tun::set_dns_policy_paths_for_testing(resolver_, journal_);
        // Nothing answers here until a test starts a service.
        pelto::tun::set_resolver_bus_address_for_testing("unix:path=" + dir_ + "/no-bus.socket");
    }

    void TearDown() override
    {
        if (dir_.empty()) {
            return;
        }
        pelto::tun::delete_dns_policy();  // forgets a link this process still holds
        peer_.stop();
        pelto::tun::set_dns_policy_paths_for_testing("", "");
        pelto::tun::set_resolver_bus_address_for_testing("");
        std::system(("rm -rf " + dir_).c_str());
    }

    void start_peer(const std::vector<std::string>& options)
    {
        std::string error;
        ASSERT_TRUE(peer_.start(dir_ + "/peer", options, error)) << error;
    }

    // A resolver file with plain text in place of the link.
    void use_plain_file(const std::string& text)
    {
        unlink(resolver_.c_str());
        write_file(resolver_, text);
    }

    std::uint32_t upstream_for(std::uint64_t interface_index)
    {
        pelto::tun::default_interface iface;
        iface.id = interface_index;
        iface.found = true;
        pelto::tun::interface_addresses found;
        pelto::tun::read_interface_addresses(iface, virtual_dns, fallback_dns, found);
        return found.upstream_dns;
    }

    std::string dir_, stub_, resolver_, journal_, marker_;
    resolver_peer peer_;
};

const char* const policy_calls =
    "SetLinkDNS 42 2:172.19.77.53\n"
    "SetLinkDomains 42 .:true\n"
    "SetLinkDefaultRoute 42 true\n"
    "FlushCaches\n";

TEST_F(dns_policy_via_resolver_service, lands_on_the_adapter_link_as_the_only_route_and_is_reverted_by_delete)
{
    ASSERT_EQ(mkdir((dir_ + "/peer").c_str(), 0700), 0);
    start_peer({"--links", "7,42"});
    std::u16string message;
    ASSERT_TRUE(pelto::tun::write_dns_policy(adapter, virtual_dns, message)) << narrow(message);
    EXPECT_EQ(peer_.calls(), policy_calls);
    EXPECT_NE(peer_.links().find("link 42 dns=172.19.77.53 domains=~. default_route=yes\n"), std::string::npos);
    EXPECT_NE(peer_.links().find("link 7 dns= domains= default_route=unset\n"), std::string::npos);
    // The resolver file is the service's business: untouched, no journal; the marker is there.
    EXPECT_EQ(read_file(stub_), "nameserver 127.0.0.53\noptions edns0 trust-ad\n");
    EXPECT_FALSE(exists(journal_));
    EXPECT_TRUE(exists(marker_));

    pelto::tun::delete_dns_policy();
    EXPECT_EQ(peer_.calls(), std::string(policy_calls) + "RevertLink 42\nFlushCaches\n");
    EXPECT_NE(peer_.links().find("link 42 dns= domains= default_route=unset\n"), std::string::npos);
    EXPECT_FALSE(pelto::tun::dns_policy_journal_exists());

    // A second delete has nothing left to undo.
    pelto::tun::delete_dns_policy();
    EXPECT_EQ(peer_.calls(), std::string(policy_calls) + "RevertLink 42\nFlushCaches\n");
}

TEST_F(dns_policy_via_resolver_service, a_link_that_lost_its_settings_after_a_network_change_gets_them_back)
{
    ASSERT_EQ(mkdir((dir_ + "/peer").c_str(), 0700), 0);
    start_peer({"--links", "42"});
    std::u16string message;
    ASSERT_TRUE(pelto::tun::write_dns_policy(adapter, virtual_dns, message)) << narrow(message);
    EXPECT_EQ(pelto::tun::reassert_dns_policy(adapter, virtual_dns, message), pelto::tun::dns_policy_check::kept);
    const auto settings_made = [&] {
        const std::string calls = peer_.calls();
        int count = 0;
        for (auto at = calls.find("SetLinkDNS 42 2:172.19.77.53"); at != std::string::npos;
             at = calls.find("SetLinkDNS 42 2:172.19.77.53", at + 1)) {
            ++count;
        }
        return count;
    };
    EXPECT_EQ(settings_made(), 1);  // checking changes nothing

    // Someone else (a network manager reconfiguring links) drops what we set on the link.
    std::u16string error;
    auto other = pelto::tun::resolver_bus::connect(error);
    ASSERT_NE(other, nullptr) << narrow(error);
    ASSERT_TRUE(other->revert_link(42, error)) << narrow(error);
    EXPECT_NE(peer_.links().find("link 42 dns= domains= default_route=unset\n"), std::string::npos);

    EXPECT_EQ(pelto::tun::reassert_dns_policy(adapter, virtual_dns, message), pelto::tun::dns_policy_check::restored)
        << narrow(message);
    EXPECT_NE(peer_.links().find("link 42 dns=172.19.77.53 domains=~. default_route=yes\n"), std::string::npos);
    EXPECT_EQ(settings_made(), 2);
    EXPECT_EQ(peer_.calls().substr(peer_.calls().size() - std::string(policy_calls).size()), policy_calls);
}

TEST_F(dns_policy_via_resolver_service, a_file_listing_only_the_stub_addresses_goes_through_the_service_too)
{
    use_plain_file("# managed elsewhere\nnameserver 127.0.0.53\nnameserver 127.0.0.54\n");
    ASSERT_EQ(mkdir((dir_ + "/peer").c_str(), 0700), 0);
    start_peer({"--links", "42"});
    std::u16string message;
    ASSERT_TRUE(pelto::tun::write_dns_policy(adapter, virtual_dns, message)) << narrow(message);
    EXPECT_EQ(peer_.calls(), policy_calls);
    EXPECT_EQ(read_file(resolver_), "# managed elsewhere\nnameserver 127.0.0.53\nnameserver 127.0.0.54\n");

    // A plain file is rewritten with its journal even while the service runs.
    pelto::tun::delete_dns_policy();
    const std::string calls = peer_.calls();
    use_plain_file("nameserver 10.1.1.1\n");
    ASSERT_TRUE(pelto::tun::write_dns_policy(adapter, virtual_dns, message)) << narrow(message);
    EXPECT_NE(read_file(resolver_).find("nameserver 172.19.77.53"), std::string::npos);
    EXPECT_EQ(read_file(journal_), "nameserver 10.1.1.1\n");
    pelto::tun::delete_dns_policy();
    EXPECT_EQ(read_file(resolver_), "nameserver 10.1.1.1\n");
    EXPECT_EQ(peer_.calls(), calls);
}

TEST_F(dns_policy_via_resolver_service, recovery_after_a_crash_only_flushes_the_cache)
{
    ASSERT_EQ(mkdir((dir_ + "/peer").c_str(), 0700), 0);
    start_peer({"--links", "42"});
    // A process that sets the policy and ends without undoing anything.
    const pid_t crashed = fork();
    ASSERT_GE(crashed, 0);
    if (crashed == 0) {
        std::u16string m;
        std::_Exit(pelto::tun::write_dns_policy(adapter, virtual_dns, m) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(crashed, &status, 0), crashed);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(peer_.calls(), policy_calls);
    ASSERT_TRUE(pelto::tun::dns_policy_journal_exists());

    // The next start's recovery: the index may belong to another device by now, so the link is
    // left alone; the cache that may hold answers through the old adapter is flushed.
    pelto::tun::delete_dns_policy();
    EXPECT_EQ(peer_.calls(), std::string(policy_calls) + "FlushCaches\n");
    EXPECT_FALSE(pelto::tun::dns_policy_journal_exists());
    pelto::tun::delete_dns_policy();
    EXPECT_EQ(peer_.calls(), std::string(policy_calls) + "FlushCaches\n");
}

TEST_F(dns_policy_via_resolver_service, upstream_is_the_interface_server_then_a_global_one_then_the_file_then_the_fallback)
{
    // Interface 1 (loopback exists everywhere) lists a loopback and the virtual address first.
    ASSERT_EQ(mkdir((dir_ + "/peer").c_str(), 0700), 0);
    start_peer({"--links", "1,5", "--link-dns", "1=127.0.0.1", "--link-dns", "1=172.19.77.53", "--link-dns",
                "1=10.1.1.1", "--link-dns", "5=10.5.5.5", "--global-dns", "10.2.2.2"});
    EXPECT_EQ(upstream_for(1), ip("10.1.1.1"));
    peer_.stop();

    // Nothing usable on the interface: the first usable global server; another link's never.
    ASSERT_EQ(std::system(("rm -rf " + dir_ + "/peer && mkdir " + dir_ + "/peer").c_str()), 0);
    start_peer({"--links", "1,5", "--link-dns", "1=172.19.77.53", "--link-dns", "5=10.5.5.5", "--global-dns",
                "127.0.0.53", "--global-dns", "10.2.2.2"});
    EXPECT_EQ(upstream_for(1), ip("10.2.2.2"));
    peer_.stop();

    // Nothing usable from the service: the file the link points to, then the fallback.
    ASSERT_EQ(std::system(("rm -rf " + dir_ + "/peer && mkdir " + dir_ + "/peer").c_str()), 0);
    start_peer({"--links", "1,5", "--link-dns", "5=10.5.5.5", "--global-dns", "172.19.77.53"});
    write_file(stub_, "nameserver 127.0.0.53\nnameserver 10.3.3.3\n");
    EXPECT_EQ(upstream_for(1), ip("10.3.3.3"));
    write_file(stub_, "nameserver 127.0.0.53\n");
    EXPECT_EQ(upstream_for(1), fallback_dns);
    peer_.stop();

    // No service at all: the file.
    write_file(stub_, "nameserver 10.3.3.3\n");
    EXPECT_EQ(upstream_for(1), ip("10.3.3.3"));
}

TEST_F(dns_policy_via_resolver_service, a_service_that_hangs_fails_within_the_bound_and_its_late_setting_is_reverted)
{
    ASSERT_EQ(mkdir((dir_ + "/peer").c_str(), 0700), 0);
    // The whole service stalls on the call, then applies it: the revert queued behind it lands last.
    const auto hang = resolver_bus_step_limit() + 1000ms;
    start_peer({"--links", "42", "--hang", "SetLinkDomains=" + std::to_string(hang.count() / 1000.0)});
    std::u16string message;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(pelto::tun::write_dns_policy(adapter, virtual_dns, message));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_NE(message.find(u"did not answer SetLinkDomains"), std::u16string::npos) << narrow(message);
    // The call gave up at the limit; the revert waited for the service to wake.
    EXPECT_LT(took, hang + resolver_bus_step_limit());
    EXPECT_EQ(peer_.calls(), "SetLinkDNS 42 2:172.19.77.53\nSetLinkDomains 42 .:true\nRevertLink 42\nFlushCaches\n");
    EXPECT_NE(peer_.links().find("link 42 dns= domains= default_route=unset\n"), std::string::npos);
    EXPECT_FALSE(pelto::tun::dns_policy_journal_exists());
    EXPECT_FALSE(exists(journal_));
}

TEST_F(dns_policy_via_resolver_service, a_refused_call_reverts_the_link_and_names_the_call)
{
    ASSERT_EQ(mkdir((dir_ + "/peer").c_str(), 0700), 0);
    start_peer({"--links", "42", "--fail", "SetLinkDefaultRoute"});
    std::u16string message;
    EXPECT_FALSE(pelto::tun::write_dns_policy(adapter, virtual_dns, message));
    EXPECT_NE(message.find(u"refused SetLinkDefaultRoute"), std::u16string::npos) << narrow(message);
    EXPECT_NE(message.find(u"AccessDenied"), std::u16string::npos) << narrow(message);
    EXPECT_EQ(peer_.calls(),
              "SetLinkDNS 42 2:172.19.77.53\nSetLinkDomains 42 .:true\nSetLinkDefaultRoute refused\n"
              "RevertLink 42\nFlushCaches\n");
    EXPECT_NE(peer_.links().find("link 42 dns= domains= default_route=unset\n"), std::string::npos);
    EXPECT_FALSE(pelto::tun::dns_policy_journal_exists());

    // A link the service does not know is refused at the first call.
    message.clear();
    EXPECT_FALSE(pelto::tun::write_dns_policy(43, virtual_dns, message));
    EXPECT_NE(message.find(u"NoSuchLink"), std::u16string::npos) << narrow(message);
}

TEST_F(dns_policy_via_resolver_service, a_bus_that_accepts_but_never_answers_counts_as_no_service_within_the_bound)
{
    // A listening socket nobody serves: the connection is accepted by the kernel, then silence.
    const std::string path = dir_ + "/silent.socket";
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    pelto::tun::set_resolver_bus_address_for_testing("unix:path=" + path);

    std::u16string message;
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(pelto::tun::write_dns_policy(adapter, virtual_dns, message));
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_NE(message.find(u"resolver service"), std::u16string::npos) << narrow(message);
    EXPECT_NE(message.find(u"did not accept the connection within"), std::u16string::npos) << narrow(message);
    EXPECT_GE(took, resolver_bus_step_limit() - 100ms);
    EXPECT_LT(took, resolver_bus_step_limit() + 1500ms);
    EXPECT_FALSE(pelto::tun::dns_policy_journal_exists());

    // Looking for the upstream server gives up just as soon and falls back to the file.
    write_file(stub_, "nameserver 127.0.0.53\nnameserver 10.3.3.3\n");
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(upstream_for(1), ip("10.3.3.3"));
    took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, resolver_bus_step_limit() + 1500ms);
    close(listener);
}

TEST_F(dns_policy_via_resolver_service, without_a_service_a_linked_file_is_refused_untouched)
{
    // No bus at all (the seam points at a socket that does not exist).
    std::u16string message;
    EXPECT_FALSE(pelto::tun::write_dns_policy(adapter, virtual_dns, message));
    EXPECT_NE(message.find(u"resolver service"), std::u16string::npos) << narrow(message);
    EXPECT_EQ(read_file(stub_), "nameserver 127.0.0.53\noptions edns0 trust-ad\n");
    EXPECT_FALSE(pelto::tun::dns_policy_journal_exists());

    // A bus without the service: refused as well, with the reason.
    ASSERT_EQ(mkdir((dir_ + "/peer").c_str(), 0700), 0);
    start_peer({"--activation", "none"});
    message.clear();
    EXPECT_FALSE(pelto::tun::write_dns_policy(adapter, virtual_dns, message));
    EXPECT_NE(message.find(u"no local resolver service is on the system bus"), std::u16string::npos)
        << narrow(message);
    EXPECT_EQ(read_file(stub_), "nameserver 127.0.0.53\noptions edns0 trust-ad\n");
    EXPECT_FALSE(pelto::tun::dns_policy_journal_exists());
}

TEST_F(dns_policy_via_resolver_service, a_stub_only_file_without_a_service_is_rewritten_with_its_journal)
{
    const std::string text = "nameserver 127.0.0.53\n";
    use_plain_file(text);
    std::u16string message;
    ASSERT_TRUE(pelto::tun::write_dns_policy(adapter, virtual_dns, message)) << narrow(message);
    EXPECT_NE(read_file(resolver_).find("nameserver 172.19.77.53"), std::string::npos);
    EXPECT_EQ(read_file(journal_), text);
    EXPECT_FALSE(exists(marker_));
    pelto::tun::delete_dns_policy();
    EXPECT_EQ(read_file(resolver_), text);
    EXPECT_FALSE(pelto::tun::dns_policy_journal_exists());
}

TEST_F(dns_policy_via_resolver_service, the_bus_starts_the_service_when_asked_and_a_failed_start_is_reported)
{
    ASSERT_EQ(mkdir((dir_ + "/peer").c_str(), 0700), 0);
    start_peer({"--activation", "ok", "--links", "42"});
    std::u16string message;
    ASSERT_TRUE(pelto::tun::write_dns_policy(adapter, virtual_dns, message)) << narrow(message);
    EXPECT_EQ(peer_.calls(), policy_calls);
    pelto::tun::delete_dns_policy();
    EXPECT_NE(peer_.links().find("link 42 dns= domains= default_route=unset\n"), std::string::npos);
    peer_.stop();

    ASSERT_EQ(std::system(("rm -rf " + dir_ + "/peer && mkdir " + dir_ + "/peer").c_str()), 0);
    start_peer({"--activation", "fail", "--links", "42"});
    message.clear();
    EXPECT_FALSE(pelto::tun::write_dns_policy(adapter, virtual_dns, message));
    EXPECT_NE(message.find(u"could not start the local resolver service for SetLinkDNS"), std::u16string::npos)
        << narrow(message);
    EXPECT_EQ(read_file(stub_), "nameserver 127.0.0.53\noptions edns0 trust-ad\n");
    // The revert could not reach a service either: the marker stays for the next start.
    EXPECT_TRUE(exists(marker_));
}

}  // namespace
