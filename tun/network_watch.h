#pragma once
// Watches the machine's network configuration for what TUN mode read once at start: the default
// interface, its address, its DNS servers and the system's resolver settings. One thread per
// watch; a burst of notifications (a roam, a DHCP renewal, a VPN coming up, a resume) becomes one
// call of `on_change` once the burst has been quiet for `network_quiet_period`, and never later
// than `network_max_delay` after its first notification.
//
// Linux: rtnetlink link, IPv4 address and IPv4 route notifications, and inotify on the directory
// of the resolver file (it is usually replaced by a rename) and of the local resolver service's
// run-time files. Windows: NotifyIpInterfaceChange, NotifyUnicastIpAddressChange and
// NotifyRouteChange2 for IPv4, and a registry change notification on the interfaces' TCP/IP
// parameters, where their DNS servers are kept. Notifications about the adapter `adapter_id`
// itself (its address, its host routes) are ignored: they are TUN mode's own work.
//
// `on_change` runs on the watch's thread. It returns false when it cannot run now (the TUN lock is
// taken); it is then called again every `network_retry_period` until it returns true or the watch
// is stopped. It must never block on a lock whose holder may be destroying the watch. Destroying
// the watch stops the thread and waits for it; `on_change` is not called afterwards.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pelto::tun {

inline constexpr std::chrono::milliseconds network_quiet_period{300};
inline constexpr std::chrono::milliseconds network_max_delay{1000};
inline constexpr std::chrono::milliseconds network_retry_period{50};

// Coalesces notifications into one due moment (shared by both backends).
class change_debouncer {
public:
    using clock = std::chrono::steady_clock;
    // A notification at `now`.
    void note(clock::time_point now);
    // When the pending burst is due, or none when nothing is pending.
    std::optional<clock::time_point> due() const;
    // The burst has been handled (or is being retried by the caller).
    void clear();

    // The backends' loop: how long to wait for the next notification (none: until one comes),
    // in milliseconds rounded up, counting a pending retry as well as the pending burst.
    std::optional<std::int64_t> wait_ms(clock::time_point now) const;
    // After a wake-up: runs `on_change` when the burst or the retry is due; a false result
    // arms a retry `network_retry_period` later.
    void run_when_due(clock::time_point now, const std::function<bool()>& on_change);

private:
    std::optional<clock::time_point> first_;
    std::optional<clock::time_point> last_;
    std::optional<clock::time_point> retry_at_;
};

class network_watch {
public:
    virtual ~network_watch() = default;
};

// Starts watching; null with a message when the notifications cannot be set up.
// `resolver_file` names the system resolver file on Linux (Windows ignores it).
std::unique_ptr<network_watch> start_network_watch(std::uint64_t adapter_id, const std::string& resolver_file,
                                                   std::function<bool()> on_change,
                                                   std::u16string& out_message);

}  // namespace pelto::tun
