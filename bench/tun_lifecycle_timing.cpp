// TUN mode's start to ready and stop to clean, timed 10 times each in a network namespace of its
// own with a throw-away resolver file. Needs root; prints the medians in milliseconds.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sched.h>
#include <unistd.h>

#include "tun/tun_control.h"
#include "tun/tun_system.h"

namespace {

std::unique_ptr<pelto::tun_conn> refuse(std::string_view, std::int32_t, std::u16string& error)
{
    error = u"refused";
    return nullptr;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main()
{
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "needs root (a network namespace of its own)\n");
        return 77;
    }
    if (std::system("ip link set lo up && ip link add d0 type veth peer name d1 && ip link set d1 up && "
                    "ip addr add 10.66.0.2/24 dev d0 && ip link set d0 up && "
                    "ip route add default via 10.66.0.1 dev d0") != 0) {
        return 1;
    }
    char dir[] = "/tmp/pelto-tunbench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    const std::string resolver = std::string(dir) + "/resolv.conf";
    std::ofstream(resolver) << "nameserver 10.66.0.1\n";
    pelto::tun::set_dns_policy_paths_for_testing(resolver, std::string(dir) + "/state/saved");

    std::vector<double> starts, stops;
    for (int i = 0; i < 10; ++i) {
        std::u16string message;
        const auto t0 = std::chrono::steady_clock::now();
        if (!pelto::tun_start(refuse, "", message)) {
            std::fprintf(stderr, "start failed\n");
            return 1;
        }
        const auto t1 = std::chrono::steady_clock::now();
        pelto::tun_stop();
        const auto t2 = std::chrono::steady_clock::now();
        starts.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        stops.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    }
    std::printf("tun_start to ready: median %.1f ms (max %.1f)\n", median(starts),
                *std::max_element(starts.begin(), starts.end()));
    std::printf("tun_stop to clean:  median %.1f ms (max %.1f)\n", median(stops),
                *std::max_element(stops.begin(), stops.end()));
    std::system((std::string("rm -rf ") + dir).c_str());
    return 0;
}
