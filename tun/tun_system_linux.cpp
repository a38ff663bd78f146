#include "tun/tun_system.h"

#include "base/obfuscated.h"
#include "tun/resolved_bus_linux.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <linux/if.h>  // after <net/if.h>, which it defers to
#include <net/if_arp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace pelto::tun {

namespace {

// --- rtnetlink --------------------------------------------------------------------------------

class netlink_socket {
public:
    netlink_socket() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE))
    {
        if (fd_ >= 0) {
            timeval tv{2, 0};
            setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        }
    }
    ~netlink_socket()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    netlink_socket(const netlink_socket&) = delete;
    netlink_socket& operator=(const netlink_socket&) = delete;

    bool send(nlmsghdr& message, std::uint32_t& out_error)
    {
        message.nlmsg_seq = ++sequence_;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (fd_ < 0 || sendto(fd_, &message, message.nlmsg_len, 0,
                              reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) !=
                           static_cast<ssize_t>(message.nlmsg_len)) {
            out_error = static_cast<std::uint32_t>(fd_ < 0 ? EBADF : errno);
            return false;
        }
        return true;
    }

    // Reads replies to the last request until its acknowledgement or the end of its dump, handing
    // every data message to `each`. 0 or the error code.
    std::uint32_t receive(const std::function<void(const nlmsghdr&)>& each)
    {
        std::vector<char> buffer(32768);
        for (;;) {
            const ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return static_cast<std::uint32_t>(errno);
            }
            int left = static_cast<int>(n);
            for (auto* h = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(h, left);
                 h = NLMSG_NEXT(h, left)) {
                if (h->nlmsg_seq != sequence_) {
                    continue;
                }
                if (h->nlmsg_type == NLMSG_DONE) {
                    return 0;
                }
                if (h->nlmsg_type == NLMSG_ERROR) {
                    const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
                    return static_cast<std::uint32_t>(-error->error);
                }
                each(*h);
            }
        }
    }

    std::uint32_t request(nlmsghdr& message)
    {
        std::uint32_t error = 0;
        if (!send(message, error)) {
            return error;
        }
        return receive([](const nlmsghdr&) {});
    }

private:
    int fd_;
    std::uint32_t sequence_ = 0;
};

template <typename Body>
struct netlink_message {
    nlmsghdr header;
    Body body;
    char attributes[128];
};

template <typename Body>
void start_message(netlink_message<Body>& m, std::uint16_t type, std::uint16_t flags)
{
    std::memset(&m, 0, sizeof m);
    m.header.nlmsg_len = NLMSG_LENGTH(sizeof(Body));
    m.header.nlmsg_type = type;
    m.header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
}

void add_attribute(nlmsghdr& header, std::uint16_t type, const void* data, std::size_t length)
{
    auto* attribute =
        reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&header) + NLMSG_ALIGN(header.nlmsg_len));
    attribute->rta_type = type;
    attribute->rta_len = static_cast<std::uint16_t>(RTA_LENGTH(length));
    std::memcpy(RTA_DATA(attribute), data, length);
    header.nlmsg_len = NLMSG_ALIGN(header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);
}

bool is_link_local(std::uint32_t address) { return (ntohl(address) >> 16) == 0xA9FE; }

// --- DNS policy paths -------------------------------------------------------------------------

std::mutex paths_lock;
std::string resolver_file_override;
std::string journal_override;

std::string resolver_file()
{
    std::lock_guard hold(paths_lock);
    return resolver_file_override.empty() ? PELTO_TEXT("/etc/resolv.conf").str() : resolver_file_override;
}

std::string journal_file()
{
    std::lock_guard hold(paths_lock);
    return journal_override.empty() ? PELTO_TEXT("/var/lib/pelto/resolv.conf.saved").str()
                                    : journal_override;
}

std::string policy_text(std::uint32_t virtual_dns)
{
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &virtual_dns, dotted, sizeof dotted);
    return PELTO_TEXT("# Written by pelto while TUN mode is on; the previous file comes back when it ends.\n")
               .str() +
           PELTO_TEXT("nameserver ").str() + dotted + "\n";
}

bool read_whole(const std::string& path, std::string& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return !in.bad();
}

// Rewrites the file in place (a bind mount or a link keeps pointing at it) and syncs it.
bool write_in_place(const std::string& path, const std::string& text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = fsync(fd) == 0 && ok;
    return close(fd) == 0 && ok;
}

// Writes the journal durably: a new file, synced, renamed over the old one, directory synced.
bool write_journal(const std::string& path, const std::string& text)
{
    const auto slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    mkdir(directory.c_str(), 0700);
    const std::string temporary = path + PELTO_TEXT(".new").str();
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    const int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

// Our text starts with this line; anything else in the file is someone else's.
bool is_our_text(const std::string& text)
{
    const std::string mark = PELTO_TEXT("# Written by pelto while TUN mode is on;").str();
    return text.compare(0, mark.size(), mark) == 0;
}

std::u16string with_code(std::u16string label, std::uint32_t code)
{
    for (char c : std::to_string(code)) {
        label.push_back(static_cast<char16_t>(c));
    }
    return label;
}

// The IPv4 servers a resolver file lists, in order.
std::vector<std::uint32_t> listed_servers(const std::string& text)
{
    std::vector<std::uint32_t> out;
    std::istringstream lines(text);
    std::string word, line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address;
        in_addr parsed{};
        if (fields >> word >> address && word == PELTO_TEXT("nameserver").view() &&
            inet_pton(AF_INET, address.c_str(), &parsed) == 1) {
            out.push_back(parsed.s_addr);
        }
    }
    return out;
}

// --- the local resolver service ---------------------------------------------------------------

enum class resolver_file_kind {
    plain,
    service_link,  // a link into the service's own directory
    service_stub,  // a file that lists only the service's stub addresses
};

resolver_file_kind classify_resolver_file(const std::string& path)
{
    char target[512] = {};
    const ssize_t link = readlink(path.c_str(), target, sizeof target - 1);
    if (link > 0 && std::strstr(target, PELTO_TEXT("systemd/resolve").c_str()) != nullptr) {
        return resolver_file_kind::service_link;
    }
    std::string text;
    if (!read_whole(path, text) || is_our_text(text)) {
        return resolver_file_kind::plain;
    }
    const std::vector<std::uint32_t> servers = listed_servers(text);
    const std::uint32_t stub = htonl(0x7F000035);        // 127.0.0.53
    const std::uint32_t stub_proxy = htonl(0x7F000036);  // 127.0.0.54
    for (std::uint32_t server : servers) {
        if (server != stub && server != stub_proxy) {
            return resolver_file_kind::plain;
        }
    }
    return servers.empty() ? resolver_file_kind::plain : resolver_file_kind::service_stub;
}

// The link that carries our policy in this process, 0 when none (TUN lock held, like every call).
std::int32_t policy_link = 0;

// Written before a link is changed: after a crash the link's settings vanish with the adapter, but
// the service may still cache answers that came through it.
std::string marker_file()
{
    const std::string journal = journal_file();
    const auto slash = journal.rfind('/');
    return (slash == std::string::npos ? std::string() : journal.substr(0, slash + 1)) +
           PELTO_TEXT("resolver-link.marker").str();
}

bool exists(const std::string& path)
{
    struct stat info{};
    return stat(path.c_str(), &info) == 0;
}

// A connection to the service when it runs or the bus can start it; null with the reason otherwise.
std::unique_ptr<resolver_bus> reach_service(std::u16string& out_reason)
{
    std::unique_ptr<resolver_bus> bus = resolver_bus::connect(out_reason);
    resolver_bus::presence presence = resolver_bus::presence::absent;
    if (bus == nullptr || !bus->find_service(presence, out_reason)) {
        return nullptr;
    }
    if (presence == resolver_bus::presence::absent) {
        out_reason = PELTO_TEXT(u"no local resolver service is on the system bus").str();
        return nullptr;
    }
    return bus;
}

bool write_link_policy(resolver_bus& bus, std::int32_t link, std::uint32_t virtual_dns, std::u16string& out_message)
{
    const std::string marker = marker_file();
    if (!write_journal(marker, PELTO_TEXT("link ").str() + std::to_string(link) + "\n")) {
        out_message = with_code(PELTO_TEXT(u"cannot save the resolver service marker, error ").str(),
                                static_cast<std::uint32_t>(errno));
        return false;
    }
    std::u16string error;
    if (bus.set_link_dns(link, virtual_dns, error) && bus.set_link_routing_all(link, error) &&
        bus.set_link_default_route(link, true, error) && bus.flush_caches(error)) {
        policy_link = link;
        return true;
    }
    // A call that ran out of time may still land later: take the link back whatever failed. The
    // marker stays until the cache is known clean.
    std::u16string ignored;
    if (bus.revert_link(link, ignored) && bus.flush_caches(ignored)) {
        unlink(marker.c_str());
    }
    out_message = PELTO_TEXT(u"cannot send name resolution to the adapter through the local resolver service: ").str() +
                  error;
    return false;
}

// Takes our link policy back (this run) or flushes the cache of a run that ended abnormally: an
// index from then may belong to another device now, so its link is never touched.
void release_link_policy()
{
    const std::string marker = marker_file();
    const std::int32_t link = std::exchange(policy_link, 0);
    if (link == 0 && !exists(marker)) {
        return;
    }
    std::u16string error;
    std::unique_ptr<resolver_bus> bus = resolver_bus::connect(error);
    if (bus == nullptr) {
        return;  // keep the marker: the next start tries again
    }
    bool clean = false;
    if (link != 0) {
        clean = bus->revert_link(link, error);
        clean = bus->flush_caches(error) && clean;
    } else {
        // A service that is not running has no cache; flushing would only start it.
        resolver_bus::presence presence = resolver_bus::presence::absent;
        clean = bus->find_service(presence, error) &&
                (presence != resolver_bus::presence::running || bus->flush_caches(error));
    }
    if (clean) {
        unlink(marker.c_str());
    }
}

}  // namespace

bool may_configure_network()
{
    if (geteuid() == 0) {
        return true;
    }
    std::ifstream status(PELTO_TEXT("/proc/self/status").str());
    std::string line;
    const std::string key = PELTO_TEXT("CapEff:").str();
    while (std::getline(status, line)) {
        if (line.compare(0, key.size(), key) == 0) {
            const unsigned long long caps = std::strtoull(line.c_str() + key.size(), nullptr, 16);
            return (caps >> 12) & 1;  // CAP_NET_ADMIN
        }
    }
    return false;
}

namespace {

// --- the default interface --------------------------------------------------------------------

struct default_route {
    std::uint32_t index = 0;
    std::uint32_t metric = 0;
};

// The main table's IPv4 unicast default routes in dump order, one per next hop. False when the
// dump fails.
bool read_default_routes(netlink_socket& nl, std::vector<default_route>& out)
{
    netlink_message<rtmsg> m;
    start_message(m, RTM_GETROUTE, NLM_F_DUMP);
    m.body.rtm_family = AF_INET;
    std::uint32_t error = 0;
    if (!nl.send(m.header, error)) {
        return false;
    }
    return nl.receive([&](const nlmsghdr& h) {
        const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(&h));
        if (h.nlmsg_type != RTM_NEWROUTE || route->rtm_family != AF_INET || route->rtm_dst_len != 0 ||
            route->rtm_type != RTN_UNICAST || route->rtm_table != RT_TABLE_MAIN) {
            return;
        }
        std::uint32_t oif = 0, metric = 0;
        std::vector<std::uint32_t> hops;
        int length = static_cast<int>(RTM_PAYLOAD(&h));
        for (auto* a = RTM_RTA(route); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
            if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= 4) {
                std::memcpy(&oif, RTA_DATA(a), 4);
            } else if (a->rta_type == RTA_PRIORITY && RTA_PAYLOAD(a) >= 4) {
                std::memcpy(&metric, RTA_DATA(a), 4);
            } else if (a->rta_type == RTA_MULTIPATH) {
                int left = static_cast<int>(RTA_PAYLOAD(a));
                for (auto* hop = static_cast<const rtnexthop*>(RTA_DATA(a)); RTNH_OK(hop, left);
                     left -= static_cast<int>(RTNH_ALIGN(hop->rtnh_len)), hop = RTNH_NEXT(hop)) {
                    hops.push_back(static_cast<std::uint32_t>(hop->rtnh_ifindex));
                }
            }
        }
        if (oif != 0) {
            hops.insert(hops.begin(), oif);
        }
        for (std::uint32_t index : hops) {
            out.push_back({index, metric});
        }
    }) == 0;
}

// A link of this process's network namespace as rtnetlink reports it.
struct link_record {
    std::uint32_t index = 0;
    std::uint16_t type = 0;  // ARPHRD_*
    std::uint8_t operstate = IF_OPER_UNKNOWN;
    std::string name;
    std::string address;  // spelt as sysfs spells it: "02:00:5e:10:00:01"
};

// Every link of the namespace; empty when the dump fails.
std::vector<link_record> read_links(netlink_socket& nl)
{
    std::vector<link_record> links;
    netlink_message<ifinfomsg> m;
    start_message(m, RTM_GETLINK, NLM_F_DUMP);
    m.body.ifi_family = AF_UNSPEC;
    std::uint32_t error = 0;
    if (!nl.send(m.header, error)) {
        return links;
    }
    const std::uint32_t failed = nl.receive([&](const nlmsghdr& h) {
        if (h.nlmsg_type != RTM_NEWLINK) {
            return;
        }
        const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(&h));
        link_record link;
        link.index = static_cast<std::uint32_t>(info->ifi_index);
        link.type = info->ifi_type;
        int length = static_cast<int>(IFLA_PAYLOAD(&h));
        for (auto* a = IFLA_RTA(info); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
            const auto* data = static_cast<const unsigned char*>(RTA_DATA(a));
            const std::size_t size = RTA_PAYLOAD(a);
            if (a->rta_type == IFLA_IFNAME) {
                link.name.assign(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
            } else if (a->rta_type == IFLA_OPERSTATE && size >= 1) {
                link.operstate = data[0];
            } else if (a->rta_type == IFLA_ADDRESS) {
                for (std::size_t i = 0; i < size; ++i) {
                    char pair[4];
                    std::snprintf(pair, sizeof pair, i == 0 ? "%02x" : ":%02x", data[i]);
                    link.address += pair;
                }
            }
        }
        links.push_back(std::move(link));
    });
    if (failed != 0) {
        links.clear();
    }
    return links;
}

std::string sysfs_link_path(const link_record& link, const char* leaf)
{
    return PELTO_TEXT("/sys/class/net/").str() + link.name + "/" + leaf;
}

bool path_exists(const std::string& path)
{
    struct stat info{};
    return stat(path.c_str(), &info) == 0;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// Whether sysfs describes this very link. It shows the links of the namespace that mounted it,
// which need not be ours: another namespace may have a link of the same name.
bool sysfs_describes(const link_record& link)
{
    std::string index, address;
    if (link.name.empty() || !read_whole(sysfs_link_path(link, "ifindex"), index) ||
        first_line(index) != std::to_string(link.index)) {
        return false;
    }
    return link.address.empty() ||
           (read_whole(sysfs_link_path(link, "address"), address) && first_line(address) == link.address);
}

}  // namespace

default_interface find_default_interface()
{
    netlink_socket nl;
    std::vector<default_route> routes;
    if (!read_default_routes(nl, routes)) {
        return {};
    }
    // Link type and state come from rtnetlink, which answers for this namespace; only what it does
    // not report (a device behind the link, a wireless one) is read from sysfs, and only when
    // sysfs shows the same link.
    const std::vector<link_record> links = read_links(nl);
    std::vector<default_route_candidate> candidates;
    for (const default_route& route : routes) {
        const auto link = std::find_if(links.begin(), links.end(),
                                       [&](const link_record& l) { return l.index == route.index; });
        if (link == links.end() || (link->operstate != IF_OPER_UP && link->operstate != IF_OPER_UNKNOWN) ||
            (link->type != ARPHRD_ETHER && link->type != ARPHRD_PPP)) {
            continue;
        }
        default_route_candidate c;
        c.id = route.index;
        c.cost = route.metric;
        if (sysfs_describes(*link)) {
            c.hardware = path_exists(sysfs_link_path(*link, "device"));
            c.ethernet = link->type == ARPHRD_ETHER && !path_exists(sysfs_link_path(*link, "wireless")) &&
                         !path_exists(sysfs_link_path(*link, "phy80211"));
        }
        candidates.push_back(c);
    }
    return choose_default_interface(candidates);
}

bool read_interface_addresses(const default_interface& iface, std::uint32_t virtual_dns,
                              std::uint32_t fallback_dns, interface_addresses& out)
{
    out = {};
    netlink_socket nl;
    netlink_message<ifaddrmsg> m;
    start_message(m, RTM_GETADDR, NLM_F_DUMP);
    m.body.ifa_family = AF_INET;
    std::uint32_t error = 0;
    if (nl.send(m.header, error)) {
        nl.receive([&](const nlmsghdr& h) {
            if (h.nlmsg_type != RTM_NEWADDR || out.local_bind != 0) {
                return;
            }
            const auto* entry = static_cast<const ifaddrmsg*>(NLMSG_DATA(&h));
            if (entry->ifa_index != iface.id) {
                return;
            }
            int length = static_cast<int>(IFA_PAYLOAD(&h));
            std::uint32_t address = 0;
            for (auto* a = IFA_RTA(entry); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
                if (a->rta_type == IFA_LOCAL || (a->rta_type == IFA_ADDRESS && address == 0)) {
                    std::memcpy(&address, RTA_DATA(a), 4);
                }
            }
            if (address != 0 && !is_link_local(address)) {
                out.local_bind = address;
            }
        });
    }
    const auto take_first = [&](const std::vector<std::uint32_t>& servers) {
        if (out.upstream_dns == 0) {
            out.upstream_dns = choose_upstream_dns(servers, virtual_dns);
        }
    };
    // Behind a local resolver service's stub, the service knows the real servers: the
    // interface's own first, then its global ones.
    const std::string path = resolver_file();
    if (classify_resolver_file(path) != resolver_file_kind::plain) {
        std::u16string ignored;
        std::unique_ptr<resolver_bus> bus = resolver_bus::connect(ignored);
        resolver_bus::presence presence = resolver_bus::presence::absent;
        if (bus != nullptr && bus->find_service(presence, ignored) &&
            presence == resolver_bus::presence::running) {
            take_first(bus->link_servers(static_cast<std::int32_t>(iface.id)));
            if (out.upstream_dns == 0) {
                take_first(bus->global_servers());
            }
        }
    }
    // The resolver file names the servers; a loopback stub would send our queries back to us.
    std::string text;
    if (out.upstream_dns == 0 && read_whole(path, text)) {
        // Under our policy the journal holds what the file says outside TUN mode.
        if (is_our_text(text) && !read_whole(journal_file(), text)) {
            text.clear();
        }
        if (!is_our_text(text)) {
            take_first(listed_servers(text));
        }
    }
    if (out.upstream_dns == 0) {
        out.upstream_dns = fallback_dns;
    }
    return out.local_bind != 0;
}

void delete_adapter_routes(std::uint64_t) {}

std::uint32_t assign_address(std::uint64_t adapter_id, std::uint32_t address)
{
    netlink_socket nl;
    netlink_message<ifaddrmsg> m;
    start_message(m, RTM_NEWADDR, NLM_F_ACK | NLM_F_CREATE | NLM_F_REPLACE);
    m.body.ifa_family = AF_INET;
    m.body.ifa_prefixlen = 32;
    m.body.ifa_scope = RT_SCOPE_UNIVERSE;
    m.body.ifa_index = static_cast<std::uint32_t>(adapter_id);
    add_attribute(m.header, IFA_LOCAL, &address, 4);
    add_attribute(m.header, IFA_ADDRESS, &address, 4);
    const std::uint32_t error = nl.request(m.header);
    return error == EEXIST ? 0 : error;
}

std::uint32_t set_interface_parameters(std::uint64_t adapter_id)
{
    // Linux has no interface metric: the /32 routes are the most specific ones anyway.
    netlink_socket nl;
    netlink_message<ifinfomsg> m;
    start_message(m, RTM_NEWLINK, NLM_F_ACK);
    m.body.ifi_family = AF_UNSPEC;
    m.body.ifi_index = static_cast<int>(adapter_id);
    m.body.ifi_flags = IFF_UP;
    m.body.ifi_change = IFF_UP;
    const std::uint32_t mtu = 1500;
    add_attribute(m.header, IFLA_MTU, &mtu, 4);
    return nl.request(m.header);
}

bool write_dns_policy(std::uint64_t adapter_id, std::uint32_t virtual_dns, std::u16string& out_message)
{
    const std::string path = resolver_file();
    const std::string journal = journal_file();
    const resolver_file_kind kind = classify_resolver_file(path);
    if (kind != resolver_file_kind::plain) {
        std::u16string reason;
        std::unique_ptr<resolver_bus> bus = reach_service(reason);
        if (bus != nullptr) {
            return write_link_policy(*bus, static_cast<std::int32_t>(adapter_id), virtual_dns, out_message);
        }
        // Writing into the service's directory would be undone by it, or never read.
        if (kind == resolver_file_kind::service_link) {
            out_message = PELTO_TEXT(u"the system resolver file is managed by a local resolver service that "
                                     u"cannot be reached (").str() +
                          reason + PELTO_TEXT(u"); TUN mode cannot redirect name resolution here").str();
            return false;
        }
        // A file naming only the stub while nothing serves it: rewritten like any other.
    }
    std::string previous;
    if (!read_whole(path, previous)) {
        out_message = with_code(PELTO_TEXT(u"cannot read the system resolver file, error ").str(),
                                static_cast<std::uint32_t>(errno));
        return false;
    }
    // A journal left by an earlier run still describes the file as it was before that run.
    if (!is_our_text(previous) && !write_journal(journal, previous)) {
        out_message = with_code(PELTO_TEXT(u"cannot save the system resolver file, error ").str(),
                                static_cast<std::uint32_t>(errno));
        return false;
    }
    if (!write_in_place(path, policy_text(virtual_dns))) {
        const auto code = static_cast<std::uint32_t>(errno);
        delete_dns_policy();
        out_message = with_code(PELTO_TEXT(u"cannot write the system resolver file, error ").str(), code);
        return false;
    }
    return true;
}

void delete_dns_policy()
{
    release_link_policy();
    const std::string journal = journal_file();
    std::string saved;
    if (!read_whole(journal, saved)) {
        return;
    }
    const std::string path = resolver_file();
    std::string current;
    if (read_whole(path, current) && is_our_text(current) && !write_in_place(path, saved)) {
        return;  // keep the journal: the next start or stop tries again
    }
    unlink(journal.c_str());
}

dns_policy_check reassert_dns_policy(std::uint64_t adapter_id, std::uint32_t virtual_dns,
                                     std::u16string& out_message)
{
    if (policy_link != 0) {
        std::u16string error;
        std::unique_ptr<resolver_bus> bus = resolver_bus::connect(error);
        if (bus == nullptr) {
            out_message = error;
            return dns_policy_check::failed;
        }
        const std::vector<std::uint32_t> servers = bus->link_servers(policy_link);
        if (servers.size() == 1 && servers.front() == virtual_dns) {
            return dns_policy_check::kept;
        }
        const std::int32_t link = policy_link;
        if (bus->set_link_dns(link, virtual_dns, error) && bus->set_link_routing_all(link, error) &&
            bus->set_link_default_route(link, true, error) && bus->flush_caches(error)) {
            return dns_policy_check::restored;
        }
        out_message = error;
        return dns_policy_check::failed;
    }
    (void)adapter_id;
    const std::string path = resolver_file();
    std::string current;
    if (!read_whole(path, current)) {
        out_message = with_code(PELTO_TEXT(u"cannot read the system resolver file, error ").str(),
                                static_cast<std::uint32_t>(errno));
        return dns_policy_check::failed;
    }
    if (is_our_text(current)) {
        return dns_policy_check::kept;
    }
    // Writing through a link into the service's directory would be undone by the service.
    if (classify_resolver_file(path) == resolver_file_kind::service_link) {
        out_message = PELTO_TEXT(u"the system resolver file now belongs to a local resolver service").str();
        return dns_policy_check::failed;
    }
    // Their new text is what comes back at the end.
    if (!write_journal(journal_file(), current)) {
        out_message = with_code(PELTO_TEXT(u"cannot save the system resolver file, error ").str(),
                                static_cast<std::uint32_t>(errno));
        return dns_policy_check::failed;
    }
    if (!write_in_place(path, policy_text(virtual_dns))) {
        out_message = with_code(PELTO_TEXT(u"cannot write the system resolver file, error ").str(),
                                static_cast<std::uint32_t>(errno));
        return dns_policy_check::failed;
    }
    return dns_policy_check::restored;
}

std::string dns_resolver_file_path() { return resolver_file(); }

std::uint32_t interface_index(const default_interface& iface)
{
    return iface.found ? static_cast<std::uint32_t>(iface.id) : 0;
}

bool dns_policy_journal_exists()
{
    return exists(journal_file()) || exists(marker_file());
}

void set_dns_policy_paths_for_testing(const std::string& resolver, const std::string& journal)
{
    std::lock_guard hold(paths_lock);
    resolver_file_override = resolver;
    journal_override = journal;
}

}  // namespace pelto::tun
