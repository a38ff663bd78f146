#include "tun/network_watch.h"

#include "base/obfuscated.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pelto::tun {

namespace {

using clock = std::chrono::steady_clock;

struct owned_fd {
    int fd = -1;
    owned_fd() = default;
    explicit owned_fd(int f) : fd(f) {}
    owned_fd(const owned_fd&) = delete;
    owned_fd& operator=(const owned_fd&) = delete;
    ~owned_fd()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
};

std::u16string with_code(std::u16string label, int code)
{
    for (char c : std::to_string(code)) {
        label.push_back(static_cast<char16_t>(c));
    }
    return label;
}

void split(const std::string& path, std::string& out_directory, std::string& out_name)
{
    const auto slash = path.rfind('/');
    out_directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    out_name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether one rtnetlink notification is about anything but the adapter.
bool concerns_network(const nlmsghdr& h, std::uint32_t adapter)
{
    switch (h.nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK: {
        if (h.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
            return false;
        }
        const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(&h));
        return static_cast<std::uint32_t>(info->ifi_index) != adapter;
    }
    case RTM_NEWADDR:
    case RTM_DELADDR: {
        if (h.nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) {
            return false;
        }
        const auto* entry = static_cast<const ifaddrmsg*>(NLMSG_DATA(&h));
        return entry->ifa_index != adapter;
    }
    case RTM_NEWROUTE:
    case RTM_DELROUTE: {
        if (h.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) {
            return false;
        }
        const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(&h));
        std::uint32_t oif = 0;
        int length = static_cast<int>(RTM_PAYLOAD(&h));
        for (auto* a = RTM_RTA(route); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
            if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= 4) {
                std::memcpy(&oif, RTA_DATA(a), 4);
            }
        }
        return oif != adapter;
    }
    default:
        return false;
    }
}

class linux_network_watch final : public network_watch {
public:
    linux_network_watch(std::uint32_t adapter, std::function<bool()> on_change)
        : adapter_(adapter), on_change_(std::move(on_change))
    {
    }

    ~linux_network_watch() override
    {
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = write(stop_.fd, &one, sizeof one);
            thread_.join();
        }
    }

    bool open(const std::string& resolver_file, std::u16string& out_message)
    {
        netlink_.fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
        if (netlink_.fd < 0 ||
            bind(netlink_.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            out_message = with_code(PELTO_TEXT(u"cannot watch the network for changes, error ").str(), errno);
            return false;
        }
        inotify_.fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        stop_.fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (inotify_.fd < 0 || stop_.fd < 0) {
            out_message = with_code(PELTO_TEXT(u"cannot watch the resolver settings, error ").str(), errno);
            return false;
        }
        // The file, and where a link points it: both are replaced by a rename, so their
        // directories are watched, for those names only.
        watch_file(resolver_file);
        char target[PATH_MAX];
        if (realpath(resolver_file.c_str(), target) != nullptr && resolver_file != target) {
            watch_file(target);
        }
        // The local resolver service rewrites its run-time files whenever a link's servers change.
        watch_directory(PELTO_TEXT("/run/systemd/resolve").str(), std::string());
        if (watches_.empty()) {
            out_message = with_code(PELTO_TEXT(u"cannot watch the resolver file, error ").str(), errno);
            return false;
        }
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            out_message = PELTO_TEXT(u"cannot start the network watch").str();
            return false;
        }
        return true;
    }

private:
    void watch_file(const std::string& path)
    {
        std::string directory, name;
        split(path, directory, name);
        watch_directory(directory, name);
    }

    void watch_directory(const std::string& directory, const std::string& name)
    {
        const int wd = inotify_add_watch(inotify_.fd, directory.c_str(),
                                         IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE);
        if (wd >= 0) {
            watches_[wd].push_back(name);
        }
    }

    // Drains the notifications; true when one of them concerns us.
    bool read_netlink()
    {
        bool relevant = false;
        std::vector<char> buffer(65536);
        for (;;) {
            const ssize_t n = recv(netlink_.fd, buffer.data(), buffer.size(), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                // Notifications were lost while the queue was full: anything may have changed.
                return relevant || errno == ENOBUFS;
            }
            int left = static_cast<int>(n);
            for (auto* h = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(h, left);
                 h = NLMSG_NEXT(h, left)) {
                relevant = concerns_network(*h, adapter_) || relevant;
            }
        }
    }

    bool read_inotify()
    {
        bool relevant = false;
        alignas(inotify_event) char buffer[8192];
        for (;;) {
            const ssize_t n = read(inotify_.fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return relevant;
            }
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                const std::string name = event->len > 0 ? std::string(event->name) : std::string();
                const auto watch = watches_.find(event->wd);
                if (watch != watches_.end()) {
                    for (const std::string& wanted : watch->second) {
                        relevant = relevant || wanted.empty() || wanted == name;
                    }
                }
                if (event->mask & IN_Q_OVERFLOW) {
                    relevant = true;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

    void run()
    {
        change_debouncer burst;
        for (;;) {
            const std::optional<std::int64_t> wait = burst.wait_ms(clock::now());
            const int timeout = wait ? static_cast<int>(std::min<std::int64_t>(*wait, INT32_MAX)) : -1;
            pollfd fds[3] = {{stop_.fd, POLLIN, 0}, {netlink_.fd, POLLIN, 0}, {inotify_.fd, POLLIN, 0}};
            const int ready = poll(fds, 3, timeout);
            if (ready < 0 && errno != EINTR) {
                return;
            }
            if (fds[0].revents != 0) {
                return;
            }
            if ((fds[1].revents & POLLIN) && read_netlink()) {
                burst.note(clock::now());
            }
            if ((fds[2].revents & POLLIN) && read_inotify()) {
                burst.note(clock::now());
            }
            burst.run_when_due(clock::now(), on_change_);
        }
    }

    const std::uint32_t adapter_;
    const std::function<bool()> on_change_;
    owned_fd netlink_;
    owned_fd inotify_;
    owned_fd stop_;
    std::map<int, std::vector<std::string>> watches_;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<network_watch> start_network_watch(std::uint64_t adapter_id, const std::string& resolver_file,
                                                   std::function<bool()> on_change,
                                                   std::u16string& out_message)
{
    auto watch = std::make_unique<linux_network_watch>(static_cast<std::uint32_t>(adapter_id), std::move(on_change));
    if (!watch->open(resolver_file, out_message)) {
        return nullptr;
    }
    return watch;
}

}  // namespace pelto::tun
