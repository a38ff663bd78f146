#include "tun/default_route.h"

#include <net/if.h>

#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace pelto {
namespace {

std::string sysfs(const std::string& name, const char* leaf)
{
    std::ifstream in("/sys/class/net/" + name + "/" + leaf);
    std::string value;
    std::getline(in, value);
    return value;
}

bool exists(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

// Reads the kernel's IPv4 route table as /proc/net/route shows it (read-only).
default_route_interface find_default_route_interface()
{
    default_route_interface out;
    std::ifstream routes("/proc/net/route");
    std::string line;
    if (!std::getline(routes, line)) {
        return out;  // no table: not found
    }
    route_candidate best;
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refcnt, use, mask;
        unsigned long long metric = 0;
        if (!(fields >> name >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask)) {
            continue;
        }
        if (destination != "00000000" || mask != "00000000") {
            continue;
        }
        const std::string state = sysfs(name, "operstate");
        if (state != "up" && state != "unknown") {
            continue;
        }
        // ARPHRD_ETHER (1) covers wired and wireless adapters; PPP is 512; the rest is left out.
        const std::string type = sysfs(name, "type");
        if (type != "1" && type != "512") {
            continue;
        }
        route_candidate c;
        c.hardware = exists("/sys/class/net/" + name + "/device");
        c.ethernet = type == "1" && !exists("/sys/class/net/" + name + "/wireless") &&
                     !exists("/sys/class/net/" + name + "/phy80211");
        c.cost = metric;
        c.id = ::if_nametoindex(name.c_str());
        if (!out.found || replaces(best, c)) {
            best = c;
            out.found = true;
        }
    }
    out.wired = out.found && best.hardware && best.ethernet;
    out.luid = best.id;
    return out;
}

}  // namespace pelto
