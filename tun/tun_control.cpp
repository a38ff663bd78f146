#include "tun/tun_control.h"

#include "base/obfuscated.h"
#include "net/socket.h"
#include "tun/data_plane.h"
#include "tun/device_library.h"
#include "tun/dns_resolver.h"
#include "tun/host_routes.h"
#include "tun/network_watch.h"
#include "tun/packet.h"
#include "tun/tun_system.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace pelto {

namespace {

using namespace pelto::tun;

// Dotted quads in network order, kept consistent: the adapter's address and the virtual DNS
// address lie in one private /24 outside the ranges the DNS rewriting refuses.
std::uint32_t dotted(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    std::uint32_t out = 0;
    const std::uint8_t raw[4] = {a, b, c, d};
    std::memcpy(&out, raw, 4);
    return out;
}

const std::uint32_t adapter_address = dotted(172, 19, 77, 1);
const std::uint32_t virtual_dns_address = dotted(172, 19, 77, 53);
const std::uint32_t fallback_dns_address = dotted(9, 9, 9, 9);

std::u16string adapter_name() { return PELTO_TEXT(u"pelto0").str(); }

std::u16string with_code(std::u16string label, std::uint32_t code)
{
    for (char c : std::to_string(code)) {
        label.push_back(static_cast<char16_t>(c));
    }
    return label;
}

std::u16string dotted_text(std::uint32_t address)
{
    std::uint8_t raw[4];
    std::memcpy(raw, &address, 4);
    std::u16string out;
    for (int i = 0; i < 4; ++i) {
        if (i != 0) {
            out.push_back(u'.');
        }
        for (char c : std::to_string(raw[i])) {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

struct tun_control_state {
    std::mutex tun_lock;
    // Read by DNS workers while they map addresses: atomic.
    std::atomic<bool> leak_protection{false};

    bool active = false;
    std::atomic<bool> ready{false};
    std::atomic<bool> running{false};
    bool library_loaded = false;
    void* adapter = nullptr;
    void* session = nullptr;
    std::uint64_t adapter_id = 0;
    bool policy_written = false;
    bool policy_failure_logged = false;  // once per failing stretch, not at every change
    default_interface iface;
    interface_addresses addresses;
    std::unique_ptr<network_watch> watch;
    std::vector<std::uint32_t> bypass;  // until the resolver exists
    std::unique_ptr<host_routes> routes;
    std::unique_ptr<dns_resolver> resolver;
    std::unique_ptr<data_plane> plane;
    std::thread reader;
    // Set by teardown while it ends the reader: a reader that ends otherwise lost its adapter.
    std::atomic<bool> stopping{false};
    // Guards the DNS policy and `policy_written` between the control calls and a reader that
    // undoes the policy when the adapter went away (it cannot take the TUN lock: teardown holds
    // it while joining the reader).
    std::mutex policy_lock;
    std::once_flag exit_hook;

    std::mutex filter_lock;
    std::unique_ptr<leak_filters> filters;

    std::mutex routed_lock;
    std::function<bool(std::string_view)> is_routed;

    std::atomic<tun_start_step> fault_step{tun_start_step::none};

    // Separate from the TUN lock: TUN threads log while a control call may hold that lock.
    std::mutex sink_lock;
    tun_log_sink sink;
    tun_lost_sink lost_sink;
};

tun_control_state& state()
{
    static tun_control_state instance;
    return instance;
}

std::u16string localized_filter_failure()
{
    return PELTO_TEXT(u"the leak-protection filters could not be enabled").str();
}

bool fault(tun_control_state& s, tun_start_step step) { return s.fault_step.load() == step; }

void close_filters(tun_control_state& s)
{
    std::lock_guard hold(s.filter_lock);
    s.filters.reset();
}

bool open_filters(tun_control_state& s, std::u16string& out_message)
{
    std::lock_guard hold(s.filter_lock);
    if (s.filters) {
        return true;
    }
    s.filters = open_leak_filters(s.adapter_id, out_message);
    return s.filters != nullptr;
}

bool add_filter(tun_control_state& s, byte_span address, bool ipv6)
{
    if (!s.leak_protection.load()) {
        return true;
    }
    std::lock_guard hold(s.filter_lock);
    return s.filters && s.filters->add(address, ipv6);
}

void remove_filter(tun_control_state& s, byte_span address, bool ipv6)
{
    std::lock_guard hold(s.filter_lock);
    if (s.filters) {
        s.filters->remove(address, ipv6);
    }
}

void remove_filter(tun_control_state& s, std::uint32_t address)
{
    std::uint8_t raw[4];
    std::memcpy(raw, &address, 4);
    remove_filter(s, byte_span(raw, 4), false);
}

std::vector<std::uint32_t> server_addresses(std::string_view host)
{
    std::vector<std::uint32_t> out;
    if (host.empty()) {
        return out;
    }
    address_list list;
    std::u16string error;
    if (!resolve_host(host, "443", list, error)) {
        return out;
    }
    for (const resolved_address& a : list) {
        // sockaddr_in: family and port (2 bytes each), then the address.
        if (a.family == 2 /* AF_INET on every platform */ && a.sockaddr_bytes.size() >= 8) {
            std::uint32_t address = 0;
            std::memcpy(&address, a.sockaddr_bytes.data() + 4, 4);
            out.push_back(address);
        }
    }
    return out;
}

// Bypasses the node's addresses; on a reused TUN, anything already routed for them goes.
void bypass_server(tun_control_state& s, std::string_view host)
{
    for (std::uint32_t address : server_addresses(host)) {
        if (!s.resolver) {
            s.bypass.push_back(address);
            continue;
        }
        if (s.resolver->bypass_and_unmap(address)) {
            std::uint32_t code = 0;
            s.routes->remove(address, code);
            remove_filter(s, address);
        }
    }
}

void undo_dns_policy(tun_control_state& s)
{
    std::lock_guard hold(s.policy_lock);
    if (s.policy_written) {
        delete_dns_policy();
        s.policy_written = false;
    }
}

// On the reader's thread, once it has ended without a teardown asking it to: the device is gone.
// Name resolution must not stay pointed at an address nothing serves any more.
void adapter_lost(tun_control_state& s)
{
    s.ready = false;
    undo_dns_policy(s);
    const std::u16string message =
        PELTO_TEXT(u"TUN mode ended: the TUN adapter went away; name resolution is restored").str();
    tun_lost_sink sink;
    {
        std::lock_guard lock(s.sink_lock);
        sink = s.lost_sink;
    }
    // The owner reports the loss itself (as an error); the text goes out once, not twice.
    if (sink) {
        sink(message);
    } else {
        tun_log(message);
    }
}

void teardown(tun_control_state& s)
{
    s.stopping = true;
    s.ready = false;
    s.running = false;
    s.watch.reset();  // its thread never waits for the TUN lock held here
    set_outbound_interface(0);
    // No lookup may go to the virtual DNS address once nothing serves it.
    undo_dns_policy(s);
    if (s.resolver) {
        s.resolver->stop();
    }
    if (s.plane) {
        s.plane->wake();
    }
    if (s.reader.joinable()) {
        s.reader.join();
    }
    if (s.resolver && s.routes) {
        std::uint32_t code = 0;
        for (std::uint32_t a : s.resolver->routed_addresses()) {
            s.routes->remove(a, code);
        }
        s.routes->remove(virtual_dns_address, code);
    }
    close_filters(s);
    s.plane.reset();
    s.resolver.reset();
    s.routes.reset();
    const device_table& calls = device_calls();
    if (s.session != nullptr) {
        calls.end_session(s.session);
        s.session = nullptr;
    }
    if (s.adapter != nullptr) {
        calls.close_adapter(s.adapter);
        s.adapter = nullptr;
    }
    if (s.library_loaded) {
        unload_device_library();
        s.library_loaded = false;
    }
    s.adapter_id = 0;
    s.iface = {};
    s.addresses = {};
    s.policy_failure_logged = false;
    s.bypass.clear();
    s.active = false;
    s.stopping = false;
}

// After a network change (a roam, a DHCP renewal, a VPN, a resume): the default interface, its
// address and its DNS server are read again, our DNS policy is put back where someone replaced
// it, and one line says what changed. False when the TUN lock is taken (the watch retries).
bool on_network_change(tun_control_state& s)
{
    std::unique_lock lock(s.tun_lock, std::try_to_lock);
    if (!lock.owns_lock()) {
        return false;
    }
    if (!s.active || !s.resolver) {
        return true;
    }
    std::u16string problem;
    dns_policy_check policy = dns_policy_check::kept;
    {
        // A lost adapter takes the policy back on the reader's thread; it must stay taken back.
        std::lock_guard hold(s.policy_lock);
        if (!s.policy_written) {
            return true;
        }
        policy = reassert_dns_policy(s.adapter_id, virtual_dns_address, problem);
    }
    const default_interface iface = find_default_interface();
    interface_addresses now;
    const bool usable = iface.found && read_interface_addresses(iface, virtual_dns_address, fallback_dns_address, now);
    // Without a usable network for now, the last one stays in place until the next change.
    const bool moved = usable && (iface.id != s.iface.id || now.local_bind != s.addresses.local_bind ||
                                  now.upstream_dns != s.addresses.upstream_dns);
    const bool repeated_failure = policy == dns_policy_check::failed && s.policy_failure_logged;
    s.policy_failure_logged = policy == dns_policy_check::failed;
    if (!moved && (policy == dns_policy_check::kept || repeated_failure)) {
        return true;
    }
    std::u16string line = PELTO_TEXT(u"TUN: the network changed").str();
    if (moved) {
        s.iface = iface;
        s.addresses = now;
        for (std::uint32_t address : {now.upstream_dns, now.local_bind}) {
            if (s.resolver->bypass_and_unmap(address)) {
                std::uint32_t code = 0;
                s.routes->remove(address, code);
                remove_filter(s, address);
            }
        }
        s.resolver->set_upstream({now.upstream_dns, 53, now.local_bind});
        set_outbound_interface(interface_index(iface));
        line += PELTO_TEXT(u"; name resolution goes to ").str() + dotted_text(now.upstream_dns) +
                PELTO_TEXT(u" from ").str() + dotted_text(now.local_bind);
    }
    if (policy == dns_policy_check::restored) {
        line += PELTO_TEXT(u"; the DNS setting was put back").str();
    } else if (policy == dns_policy_check::failed) {
        line += PELTO_TEXT(u"; the DNS setting could not be put back: ").str() + problem;
    }
    tun_log(line);
    return true;
}

// Binds node connections to the default interface and watches the network from now on.
void follow_network(tun_control_state& s)
{
    set_outbound_interface(interface_index(s.iface));
    std::u16string message;
    s.watch = start_network_watch(s.adapter_id, dns_resolver_file_path(), [&s] { return on_network_change(s); },
                                  message);
    if (s.watch == nullptr) {
        tun_log(PELTO_TEXT(u"TUN: network changes will not be followed: ").str() + message);
    }
}

bool fail(tun_control_state& s, std::u16string& out_message, std::u16string message)
{
    out_message = std::move(message);
    teardown(s);
    return false;
}

// TUN start-up, one step after another. Each step that fails says why in `out_message`; from
// `load_library` on a failure also takes down what the steps before it set up.

bool check_rights(tun_control_state& s, std::u16string& out_message)
{
    if (!checksum_self_test()) {
        out_message = PELTO_TEXT(u"the packet checksum routine failed its self-test").str();
        return false;
    }
    if (!may_configure_network() || fault(s, tun_start_step::rights)) {
        out_message = PELTO_TEXT(u"TUN mode needs the right to configure the network").str();
        return false;
    }
    return true;
}

// The default interface, its address and DNS server, and the addresses that must never be routed
// into the adapter (those two and the node's).
bool find_network(tun_control_state& s, std::string_view server_host, std::u16string& out_message)
{
    const default_interface iface =
        fault(s, tun_start_step::default_interface) ? default_interface{} : find_default_interface();
    if (!iface.found) {
        out_message = PELTO_TEXT(u"no network interface carries a default route").str();
        return false;
    }
    s.iface = iface;
    // A policy left by a run that ended abnormally goes before anything is set up.
    delete_dns_policy();
    s.bypass.clear();
    if (!read_interface_addresses(iface, virtual_dns_address, fallback_dns_address, s.addresses) ||
        fault(s, tun_start_step::interface_addresses)) {
        return fail(s, out_message,
                    PELTO_TEXT(u"the default interface has no usable IPv4 address").str());
    }
    s.bypass.push_back(s.addresses.upstream_dns);
    s.bypass.push_back(s.addresses.local_bind);
    bypass_server(s, server_host);
    return true;
}

bool load_library(tun_control_state& s, std::u16string& out_message)
{
    s.library_loaded = true;
    if (!load_device_library(out_message) || fault(s, tun_start_step::device_library)) {
        if (out_message.empty()) {
            out_message = PELTO_TEXT(u"the adapter library could not be loaded").str();
        }
        teardown(s);
        return false;
    }
    return true;
}

bool open_adapter(tun_control_state& s, std::u16string& out_message)
{
    const device_table& calls = device_calls();
    const std::u16string name = adapter_name();
    bool left_over = false;
    s.adapter = fault(s, tun_start_step::adapter) ? nullptr : open_or_create_adapter(calls, name, left_over);
    if (s.adapter == nullptr) {
        return fail(s, out_message,
                    with_code(PELTO_TEXT(u"cannot create the TUN adapter, error ").str(), calls.last_error()));
    }
    s.session = fault(s, tun_start_step::session) ? nullptr : calls.start_session(s.adapter, ring_capacity);
    if (s.session == nullptr) {
        return fail(s, out_message,
                    with_code(PELTO_TEXT(u"cannot start the adapter session, error ").str(), calls.last_error()));
    }
    calls.get_adapter_luid(s.adapter, &s.adapter_id);
    if (s.adapter_id == 0 || fault(s, tun_start_step::adapter_id)) {
        return fail(s, out_message, PELTO_TEXT(u"cannot identify the TUN adapter").str());
    }
    if (left_over) {
        delete_adapter_routes(s.adapter_id);  // routes to addresses of a run that ended abnormally
    }
    return true;
}

// Leak filters when wanted, then the adapter's address, MTU and metric.
bool configure_adapter(tun_control_state& s, std::u16string& out_message)
{
    const bool filters_fail = fault(s, tun_start_step::leak_filters);
    if (s.leak_protection.load() || filters_fail) {
        std::u16string message;
        if (filters_fail || !open_filters(s, message)) {
            return fail(s, out_message, message.empty() ? localized_filter_failure() : message);
        }
    }
    std::uint32_t code = fault(s, tun_start_step::adapter_address) ? 1 : assign_address(s.adapter_id, adapter_address);
    if (code != 0) {
        return fail(s, out_message, with_code(PELTO_TEXT(u"cannot give the adapter its address, error ").str(), code));
    }
    code = fault(s, tun_start_step::interface_parameters) ? 1 : set_interface_parameters(s.adapter_id);
    if (code != 0) {
        return fail(s, out_message, with_code(PELTO_TEXT(u"cannot set the adapter's MTU and metric, error ").str(), code));
    }
    return true;
}

// The data plane, the DNS resolver and the threads that run them.
bool start_plane(tun_control_state& s, dial_fn dial, std::u16string& out_message)
{
    const device_table& calls = device_calls();
    s.routes = make_system_host_routes(s.adapter_id);
    data_plane_config pc;
    pc.device = &calls;
    pc.session = s.session;
    pc.virtual_dns_address = virtual_dns_address;
    pc.clock = [] { return monotonic_ns(); };
    pc.host_for_address = [&s](std::uint32_t a) { return s.resolver->host_for_address(a); };
    pc.dns_capture = [&s](dns_datagram q) { s.resolver->capture(std::move(q)); };
    pc.dns_answer = [&s](byte_span q) { return s.resolver->forward_query(q, dns_transport::tcp); };
    pc.log = [](std::u16string_view line) { tun_log(line); };
    s.plane = std::make_unique<data_plane>(std::move(pc));
    s.plane->set_dial(std::move(dial));

    dns_resolver_config rc;
    rc.upstream = {s.addresses.upstream_dns, 53, s.addresses.local_bind};
    rc.virtual_dns_address = virtual_dns_address;
    rc.adapter_address = adapter_address;
    {
        std::lock_guard hold(s.routed_lock);
        rc.is_routed_name = s.is_routed;
    }
    rc.routes = s.routes.get();
    rc.add_leak_filter = [&s](byte_span address, bool ipv6) { return add_filter(s, address, ipv6); };
    rc.remove_leak_filter = [&s](byte_span address, bool ipv6) { remove_filter(s, address, ipv6); };
    rc.log = [](std::u16string_view line) { tun_log(line); };
    rc.post_reply = [&s](dns_datagram r) { s.plane->post_dns_reply(std::move(r)); };
    s.resolver = std::make_unique<dns_resolver>(std::move(rc));
    for (std::uint32_t a : s.bypass) {
        s.resolver->add_bypass(a);
    }

    s.ready = true;
    s.running = true;
    if (fault(s, tun_start_step::threads) || !s.resolver->start()) {
        return fail(s, out_message, PELTO_TEXT(u"cannot start the TUN threads").str());
    }
    try {
        s.reader = std::thread([&s] {
            s.plane->run(s.running);
            if (!s.stopping.load()) {
                adapter_lost(s);
            }
        });
    } catch (const std::system_error&) {
        return fail(s, out_message, PELTO_TEXT(u"cannot start the TUN threads").str());
    }
    return true;
}

// The route to the virtual DNS address and the DNS policy pointing at it; then TUN mode is on.
bool redirect_dns(tun_control_state& s, std::u16string& out_message)
{
    std::uint32_t code = fault(s, tun_start_step::dns_route) ? 1 : 0;
    if (code == 0 && !s.routes->add(virtual_dns_address, code)) {
        tun_log(with_code(PELTO_TEXT(u"cannot route the virtual DNS address, error ").str(), code));
    } else if (code == 0) {
        bool written = false;
        {
            std::lock_guard hold(s.policy_lock);
            // Not when the adapter has already gone again (the reader has ended).
            s.policy_written = !fault(s, tun_start_step::dns_policy) && s.running.load() &&
                               write_dns_policy(s.adapter_id, virtual_dns_address, out_message);
            written = s.policy_written;
        }
        if (written) {
            std::u16string line = PELTO_TEXT(u"TUN mode is on; name resolution goes to ").str();
            line += dotted_text(s.addresses.upstream_dns);
            tun_log(line);
            s.active = true;
            std::call_once(s.exit_hook, [] { std::atexit([] { tun_stop(); }); });
            follow_network(s);
            return true;
        }
    }
    if (out_message.empty()) {
        out_message = PELTO_TEXT(u"TUN mode could not redirect name resolution").str();
    }
    teardown(s);
    return false;
}

bool start_fresh(tun_control_state& s, dial_fn dial, std::string_view server_host,
                 std::u16string& out_message)
{
    return check_rights(s, out_message) && find_network(s, server_host, out_message) &&
           load_library(s, out_message) && open_adapter(s, out_message) &&
           configure_adapter(s, out_message) && start_plane(s, std::move(dial), out_message) &&
           redirect_dns(s, out_message);
}

}  // namespace

bool tun_set_leak_protection(bool on, std::u16string& out_message)
{
    tun_control_state& s = state();
    std::lock_guard lock(s.tun_lock);
    out_message.clear();
    s.leak_protection = on;
    if (!on) {
        close_filters(s);
        if (s.active && !s.ready.load()) {
            teardown(s);
        }
        return true;
    }
    if (!s.active) {
        return true;
    }
    if (!open_filters(s, out_message)) {
        s.leak_protection = false;
        return false;
    }
    for (std::uint32_t a : s.resolver->mapped_addresses()) {
        std::uint8_t raw[4];
        std::memcpy(raw, &a, 4);
        if (!add_filter(s, byte_span(raw, 4), false)) {
            s.leak_protection = false;
            close_filters(s);
            out_message = localized_filter_failure();
            return false;
        }
    }
    return true;
}

bool tun_start(dial_fn dial, std::string_view server_host, std::u16string& out_message)
{
    tun_control_state& s = state();
    std::lock_guard lock(s.tun_lock);
    out_message.clear();
    if (!dial) {
        out_message = PELTO_TEXT(u"TUN mode was started without a way to reach the node").str();
        return false;
    }
    if (s.active && !s.running.load()) {
        teardown(s);  // the adapter went away: build everything again
    }
    if (s.active) {
        bypass_server(s, server_host);
        s.plane->set_dial(std::move(dial));
        s.ready = true;
        s.plane->set_ready(true);
        return true;
    }
    return start_fresh(s, std::move(dial), server_host, out_message);
}

void tun_pause()
{
    tun_control_state& s = state();
    std::lock_guard lock(s.tun_lock);
    if (!s.active) {
        return;
    }
    s.ready = false;
    s.plane->set_ready(false);
    // A TUN whose adapter went away protects nothing any more: it goes whole.
    if (!s.leak_protection.load() || !s.running.load()) {
        teardown(s);
    }
}

void tun_stop()
{
    tun_control_state& s = state();
    std::lock_guard lock(s.tun_lock);
    if (s.active) {
        teardown(s);
    }
}

void tun_recover()
{
    tun_control_state& s = state();
    std::lock_guard lock(s.tun_lock);
    if (!s.active) {
        delete_dns_policy();
    }
}

bool tun_active()
{
    tun_control_state& s = state();
    std::lock_guard lock(s.tun_lock);
    return s.active;
}

void set_tun_routed_names(std::function<bool(std::string_view host)> is_routed)
{
    tun_control_state& s = state();
    std::lock_guard hold(s.routed_lock);
    s.is_routed = std::move(is_routed);
}

void set_tun_start_fault_for_testing(tun_start_step step) { state().fault_step = step; }

void set_tun_log_sink(tun_log_sink sink)
{
    tun_control_state& s = state();
    std::lock_guard lock(s.sink_lock);
    s.sink = std::move(sink);
}

void set_tun_lost_sink(tun_lost_sink sink)
{
    tun_control_state& s = state();
    std::lock_guard lock(s.sink_lock);
    s.lost_sink = std::move(sink);
}

void tun_log(std::u16string_view line)
{
    tun_control_state& s = state();
    tun_log_sink sink;
    {
        std::lock_guard lock(s.sink_lock);
        sink = s.sink;
    }
    // Called outside the lock, so a sink that logs elsewhere or replaces itself cannot deadlock.
    if (sink) {
        sink(line);
    }
}

bool tun_leak_protection_wanted() { return state().leak_protection.load(); }

}  // namespace pelto
