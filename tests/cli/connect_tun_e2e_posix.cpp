// `pelto connect --tun` end to end, inside network and mount namespaces of its own: before
// anything else runs, this program moves into a fresh network namespace (so the adapter, its
// routes and the filters exist only there) and a private mount namespace in which a throw-away
// file stands in for /etc/resolv.conf and a throw-away directory for /var/lib (the DNS policy's
// journal). The namespace gets a veth "uplink" with a default route and a DNS peer behind it; the
// nodes, the subscription and the origins run on its own loopback. Skipped without root.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include "tests/engine/engine_world.h"
#include "tests/support/child_process.h"
#include "tests/support/gsettings_sandbox.h"
#include "tests/support/text_files.h"

namespace {

using pelto::testing::read_file;

using namespace std::chrono_literals;
using pelto::testing::engine_world;

const std::filesystem::path sandbox_dir = "/tmp/pelto-tun-e2e-" + std::to_string(::getpid());
const std::string resolver_text = "# the namespace's own\nnameserver 10.66.0.1\n";

// Set up before gtest starts any thread (unshare needs a single-threaded process).
struct namespace_setup {
    bool ok = false;
    std::string why = "needs root";
    namespace_setup()
    {
        if (::geteuid() != 0 || ::access("/dev/net/tun", R_OK | W_OK) != 0) {
            return;
        }
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
            why = "cannot unshare the network and mount namespaces";
            return;
        }
        std::filesystem::create_directories(sandbox_dir / "varlib");
        std::ofstream(sandbox_dir / "resolv.conf") << resolver_text;
        const std::string resolver = (sandbox_dir / "resolv.conf").string();
        const std::string varlib = (sandbox_dir / "varlib").string();
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(resolver.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(varlib.c_str(), "/var/lib", nullptr, MS_BIND, nullptr) != 0) {
            why = "cannot set up the private mounts";
            return;
        }
        ok = std::system("ip link set lo up && ip link add d0 type veth peer name d1 && "
                         "ip addr add 10.66.0.2/24 dev d0 && ip addr add 10.66.0.1/24 dev d1 && "
                         "ip link set d0 up && ip link set d1 up && ip route add default via 10.66.0.1 dev d0 && "
                         "ip -6 addr add fd00::2/64 dev d0 nodad && ip -6 route add default via fd00::1 dev d0") == 0;
        why = ok ? "" : "cannot configure the namespace";
    }
    ~namespace_setup()
    {
        ::umount("/var/lib");
        ::umount("/etc/resolv.conf");
        std::error_code ignored;
        std::filesystem::remove_all(sandbox_dir, ignored);
    }
};
const namespace_setup setup;
const pelto::testing::gsettings_sandbox sandbox;

struct result {
    int status = -1;
    std::string out;
};

result shell(const std::string& line, std::chrono::milliseconds limit = 60s)
{
    ::setenv("PELTO", PELTO_PROGRAM, 1);
    result r;
    r.status = pelto::testing::run_command({"/bin/sh", "-c", line}, r.out, limit);
    return r;
}

// Everything TUN mode may touch in the namespace, for before/after comparisons.
std::string system_state()
{
    return shell("ip -4 -o addr; ip -4 route show table all; ip -o link | sed 's/ state [A-Z]*//'; "
                 "nft list ruleset; cat /etc/resolv.conf; ls /var/lib/pelto 2>/dev/null")
        .out;
}

class ConnectTun : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!setup.ok) {
            return;
        }
        world_ = new engine_world;
        node_ = world_->add_node(0);
        dns_ = std::make_unique<pelto::testing::peer_process>();
        // Names of the service resolve to an address only the tunnel reaches (nothing listens
        // there); the probe name likewise.
        dns_->process->start({"/usr/bin/python3", pelto::testing::source_dir() + "/tests/tun/dns_peer.py",
                              "--address", "10.66.0.1", "--record", "service.example=10.77.0.5",
                              "--record", "probe.example=10.77.0.6", "--aaaa", "service.example=2001:db8::5"});
        dns_->process->wait_for_line("listening", 10s);
    }
    static void TearDownTestSuite()
    {
        dns_.reset();
        delete world_;
        world_ = nullptr;
    }
    void SetUp() override
    {
        if (!setup.ok) {
            GTEST_SKIP() << setup.why;
        }
        ASSERT_TRUE(world_->ok());
        ASSERT_NE(node_, 0);
        ::setenv("XDG_RUNTIME_DIR", world_->dir().c_str(), 1);
    }
    static std::string list()
    {
        return world_->publish("tun.txt", engine_world::link(node_, "tunnel node") + "\n");
    }

    // Starts `pelto connect ARGS` in the background of a shell script and waits for WAIT_FOR.
    static std::string start_connect(const std::string& args, const std::string& out, const std::string& wait_for)
    {
        return "\"$PELTO\" connect " + args + " --subscription '" + list() + "' > " + out +
               " 2>&1 & pid=$!\n"
               "for i in $(seq 1 300); do grep -q '" + wait_for + "' " + out + " && break; sleep 0.1; done\n";
    }

    static engine_world* world_;
    static int node_;
    static std::unique_ptr<pelto::testing::peer_process> dns_;
};

engine_world* ConnectTun::world_ = nullptr;
int ConnectTun::node_ = 0;
std::unique_ptr<pelto::testing::peer_process> ConnectTun::dns_;

TEST_F(ConnectTun, CurlByNameThroughTheNodeThenStopLeavesTheNamespaceAsItWas)
{
    const std::string before = system_state();
    const std::string out = (world_->dir() / "tun-out").string();
    const result r = shell(start_connect("--tun", out, "Connected:") +
                           "echo \"resolver=$(grep -c 172.19.77.53 /etc/resolv.conf)\"\n"
                           "echo \"fetched=$(curl -s --max-time 15 http://service.example/hello.txt)\"\n"
                           "echo \"route=$(ip -4 route show dev pelto0 | grep -c '^10.77.0.5 ')\"\n"
                           "echo \"v6=$(getent ahostsv6 service.example | head -1)\"\n"
                           "kill -TERM $pid; wait $pid; echo \"exit=$?\"; cat " + out);
    EXPECT_NE(r.out.find("resolver=1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("fetched=hello through the node"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("route=1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("TUN mode: the service's traffic goes through the tunnel"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("the system proxy points at it"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("exit=0"), std::string::npos) << r.out;
    EXPECT_EQ(system_state(), before);
}

TEST_F(ConnectTun, WithLeakProtectionRoutedAddressesCannotLeaveByTheUplink)
{
    const std::string before = system_state();
    const std::string out = (world_->dir() / "tun-leak-out").string();
    const result r = shell(start_connect("--tun --leak-protection", out, "Connected:") +
                           "echo \"fetched=$(curl -s --max-time 15 http://service.example/hello.txt)\"\n"
                           "echo \"table=$(nft list tables | grep -c pelto_tun)\"\n"
                           // A datagram forced out of the uplink to a routed address is refused
                           // (EPERM); through the adapter, or to another address, it goes.
                           "send() { python3 -c \"import socket,sys; s=socket.socket(2,2); $1 "
                           "s.sendto(b'x',('$2',9))\" 2>/dev/null; echo $?; }\n"
                           "echo \"uplink=$(send \"s.setsockopt(1,25,b'd0');\" 10.77.0.5)\"\n"
                           "echo \"other=$(send \"s.setsockopt(1,25,b'd0');\" 10.77.0.99)\"\n"
                           "echo \"adapter=$(send '' 10.77.0.5)\"\n"
                           "echo \"v6=$(python3 -c \"import socket; socket.socket(10,2).sendto(b'x',('2001:db8::5',9))\" "
                           "2>&1 | grep -c 'not permitted')\"\n"
                           "kill -TERM $pid; wait $pid; echo \"exit=$?\"; cat " + out);
    EXPECT_NE(r.out.find("fetched=hello through the node"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("table=1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("uplink=1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("other=0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("adapter=0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("v6=1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("exit=0"), std::string::npos) << r.out;
    EXPECT_EQ(system_state(), before);
}

TEST_F(ConnectTun, AfterKillNineTheNextConnectInProxyModeRepairsNameResolution)
{
    const std::string out = (world_->dir() / "tun-killed-out").string();
    const std::string proxy_out = (world_->dir() / "proxy-out").string();
    const result r = shell(start_connect("--tun", out, "Connected:") +
                           "kill -KILL $pid; wait $pid\n"
                           "echo \"after-kill=$(grep -c 172.19.77.53 /etc/resolv.conf)\"\n" +
                           start_connect("--no-system-proxy", proxy_out, "Local HTTP proxy") +
                           "echo \"resolver=$(cat /etc/resolv.conf | tr '\\n' '|')\"\n"
                           "echo \"lookup=$(getent ahostsv4 service.example | head -1 | cut -d' ' -f1)\"\n"
                           "kill -TERM $pid; wait $pid; echo \"exit=$?\"; cat " + proxy_out);
    EXPECT_NE(r.out.find("after-kill=1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("resolver=# the namespace's own|nameserver 10.66.0.1|"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("lookup=10.77.0.5"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("exit=0"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(sandbox_dir / "varlib/pelto/resolv.conf.saved"));
}

TEST_F(ConnectTun, WithoutNetAdminItFailsWithTheRightsMessageAndChangesNothing)
{
    if (std::system("command -v capsh >/dev/null") != 0) {
        GTEST_SKIP() << "capsh missing";
    }
    const std::string before = system_state();
    const result r = shell("capsh --drop=cap_net_admin --uid=65534 -- -c '\"$PELTO\" connect --tun --subscription " +
                           list() + " 2>&1; echo \"exit=$?\"'");
    EXPECT_NE(r.out.find("administrator"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("exit=1"), std::string::npos) << r.out;
    EXPECT_EQ(system_state(), before);
}

}  // namespace
