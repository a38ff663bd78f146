// The rtnetlink lookup against real links: read-only on the machine itself, and inside a network
// namespace of its own (a worker thread unshares it; skipped without root) against routes the
// test sets up. That namespace keeps the machine's sysfs, which shows the machine's links, not
// its own.

#include "tun/tun_system.h"
#include "tests/support/text_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <net/if.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using pelto::testing::run;
using pelto::testing::read_file;

std::string snapshot() { return read_file("/proc/net/route") + run("ip -o link show | cut -d' ' -f1-3"); }

// Waits (up to 5 s) until `ip` reports the link in the operational state.
bool wait_for_state(const std::string& link, const std::string& state)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (run("ip -o link show dev " + link).find("state " + state + " ") == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A link of the machine itself that has a device behind it, or "".
std::string machine_hardware_link()
{
    DIR* dir = opendir("/sys/class/net");
    std::string found;
    while (dir != nullptr && found.empty()) {
        const dirent* entry = readdir(dir);
        if (entry == nullptr) {
            break;
        }
        struct stat info{};
        const std::string name = entry->d_name;
        if (name[0] != '.' && stat(("/sys/class/net/" + name + "/device").c_str(), &info) == 0) {
            found = name;
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return found;
}

TEST(default_interface_lookup, changes_nothing_and_agrees_with_the_kernel_table)
{
    const std::string before = snapshot();
    const pelto::tun::default_interface d = pelto::tun::find_default_interface();
    EXPECT_EQ(snapshot(), before);
    if (d.found) {
        char name[IF_NAMESIZE] = {};
        ASSERT_NE(if_indextoname(static_cast<unsigned>(d.id), name), nullptr);
        // The kernel's own table lists a default route (destination and mask 0) over it.
        EXPECT_NE(before.find(std::string(name) + "\t00000000\t"), std::string::npos) << before;
    }
}

void namespace_scenario(const std::string& hardware_name)
{
    ASSERT_EQ(unshare(CLONE_NEWNET), 0);
    using pelto::tun::find_default_interface;
    const auto index = [](const std::string& name) { return static_cast<std::uint64_t>(if_nametoindex(name.c_str())); };

    EXPECT_FALSE(find_default_interface().found);  // lo only, no default route

    // A veth link named like one of the machine's hardware links: sysfs, which shows the machine,
    // must not make it hardware here.
    const std::string uplink = hardware_name.empty() ? "c0" : hardware_name;
    ASSERT_EQ(std::system(("ip link set lo up && ip link add " + uplink + " type veth peer name c1 && "
                           "ip link set c1 up && ip link set " + uplink + " up && ip addr add 10.70.0.2/24 dev " +
                           uplink + " && ip route add default via 10.70.0.1 dev " + uplink + " metric 100")
                              .c_str()),
              0);
    ASSERT_TRUE(wait_for_state(uplink, "UP"));
    pelto::tun::default_interface d = find_default_interface();
    EXPECT_TRUE(d.found);
    EXPECT_EQ(d.id, index(uplink));
    EXPECT_FALSE(d.wired);

    // A cheaper route on a second virtual link wins.
    ASSERT_EQ(std::system("ip link add m0 type veth peer name m1 && ip link set m1 up && ip link set m0 up && "
                          "ip route add default dev m0 metric 50"),
              0);
    ASSERT_TRUE(wait_for_state("m0", "UP"));
    EXPECT_EQ(find_default_interface().id, index("m0"));

    // Cheaper still, but left out: a link whose peer is down, the loopback type, another table.
    ASSERT_EQ(std::system("ip link add s0 type veth peer name s1 && ip link set s0 up && "
                          "ip route add default dev s0 metric 10 && ip route add default dev lo metric 1 && "
                          "ip route add default dev c1 table 100"),
              0);
    ASSERT_TRUE(wait_for_state("s0", "LOWERLAYERDOWN"));
    const std::string routes = run("ip -4 route show table all");
    EXPECT_EQ(find_default_interface().id, index("m0")) << routes << run("ip -o link show");
    EXPECT_EQ(run("ip -4 route show table all"), routes);

    // A route with two next hops offers both, the first one first.
    ASSERT_EQ(std::system("ip route add default metric 20 nexthop dev m1 nexthop dev c1"), 0);
    EXPECT_EQ(find_default_interface().id, index("m1"));
}

TEST(default_interface_lookup, finds_the_namespace_links_through_rtnetlink)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a network namespace";
    }
    const std::string hardware_name = machine_hardware_link();
    // The namespace belongs to the worker thread alone and ends with it.
    std::thread worker([&] { namespace_scenario(hardware_name); });
    worker.join();
}

}  // namespace
