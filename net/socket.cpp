#include "net/socket.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "base/obfuscated.h"
#include "base/text.h"
#include "net/resolver_seam.h"
#include "net/socket_platform.h"

namespace pelto {
namespace {

// The longest name the DNS can carry; anything longer cannot resolve and is refused up front.
constexpr std::size_t max_host_length = 255;
constexpr std::int64_t resolve_deadline_ns = 3'000'000'000;
constexpr std::int64_t resolve_slice_ms = 100;
constexpr int connect_slice_ms = 200;

struct socket_registry {
    std::mutex lock;
    std::vector<socket_handle> sockets;
    bool stop_flag = false;
};

socket_registry& registry()
{
    static socket_registry instance;
    return instance;
}

std::atomic<net_detail::lookup_fn> replaced_lookup{nullptr};
std::atomic<int> running_lookups{0};
std::atomic<std::uint32_t> outbound_interface_index{0};

std::u16string connect_failed_message()
{
    return PELTO_TEXT(u"Could not connect to the server.").str();
}

// Hosts reach here from share links and from clients of the local proxy: refuse what no resolver
// could take as it stands, instead of letting a zero byte cut the name short.
bool acceptable_host(std::string_view host)
{
    if (host.empty() || host.size() > max_host_length) {
        return false;
    }
    if (host.find('\0') != std::string_view::npos) {
        return false;
    }
    // Host names are ASCII; an internationalised name must at least be well-formed UTF-8, so
    // that the name handed to the resolver is exactly the one asked for.
    return utf16_to_utf8(utf8_to_utf16(host)) == host;
}

struct lookup_state {
    std::mutex lock;
    std::condition_variable done_signal;
    bool done = false;
    bool found = false;
    address_list addresses;
};

// Waits for a pending connect in slices, giving up at the deadline or on the stop flag.
// Returns the last wait's count (below 1 when the wait was given up).
int wait_for_connect(socket_handle socket, std::int32_t connect_timeout_ms)
{
    const std::int64_t start = monotonic_ns();
    const std::int64_t limit = start + static_cast<std::int64_t>(connect_timeout_ms) * 1'000'000;
    int count = 0;
    for (;;) {
        if (monotonic_ns() >= limit || is_stopping()) {
            return 0;
        }
        count = net_platform::wait_connect(socket, connect_slice_ms);
        if (count != 0) {
            return count;
        }
    }
}

// Connects one resolved address. True with a registered, configured socket in `out_socket`.
// `out_give_up` is set when the stop flag makes the remaining addresses pointless.
bool connect_one(const resolved_address& address, std::int32_t connect_timeout_ms,
                 std::int32_t io_timeout_ms, socket_handle& out_socket, bool& out_give_up)
{
    if (is_stopping()) {
        out_give_up = true;
        return false;
    }
    const socket_handle socket = net_platform::open_socket(address);
    if (socket == invalid_socket_handle) {
        return false;
    }
    if (!register_socket(socket)) {
        net_platform::close_handle(socket);
        out_give_up = true;
        return false;
    }
    const std::uint32_t interface_index = outbound_interface();
    if (interface_index != 0 && !address_is_local(address) && !net_platform::is_own_address(address)) {
        net_platform::bind_to_interface(socket, address.family, interface_index);  // best effort
    }
    if (!net_platform::set_blocking(socket, false)) {
        close_socket(socket);
        return false;
    }
    const net_platform::connect_start started = net_platform::start_connect(socket, address);
    if (started == net_platform::connect_start::failed) {
        close_socket(socket);
        return false;
    }
    if (started == net_platform::connect_start::pending) {
        const int count = wait_for_connect(socket, connect_timeout_ms);
        if (count < 1 || net_platform::pending_error(socket) != 0 || is_stopping()) {
            close_socket(socket);
            return false;
        }
    }
    if (!net_platform::set_blocking(socket, true)) {
        close_socket(socket);
        return false;
    }
    // Like the options of an accepted socket, these are best effort: a connection without
    // NODELAY or time-outs still works, and the stop switch still ends it.
    set_stream_options(socket, io_timeout_ms);
    out_socket = socket;
    return true;
}

}  // namespace

namespace net_detail {

std::u16string stopping_message()
{
    return PELTO_TEXT(u"The connection was cancelled because the session is stopping.").str();
}

std::u16string resolve_failed_message()
{
    return PELTO_TEXT(u"The server name could not be resolved.").str();
}

lookup_fn current_lookup()
{
    const lookup_fn replaced = replaced_lookup.load();
    return replaced != nullptr ? replaced : &net_platform::blocking_lookup;
}

bool lookup_replaced()
{
    return replaced_lookup.load() != nullptr;
}

bool resolve_on_worker(std::string_view host, std::string_view service,
                       address_list& out_addresses, std::u16string& out_error)
{
    if (running_lookups.fetch_add(1) >= max_running_lookups) {
        running_lookups.fetch_sub(1);
        out_error = resolve_failed_message();
        return false;
    }
    auto state = std::make_shared<lookup_state>();
    const lookup_fn lookup = current_lookup();
    try {
        std::thread([state, lookup, host = std::string(host), service = std::string(service)] {
            address_list found_addresses;
            const bool found = lookup(host, service, found_addresses);
            {
                std::lock_guard guard(state->lock);
                state->found = found && !found_addresses.empty();
                state->addresses = std::move(found_addresses);
                state->done = true;
                state->done_signal.notify_all();
            }
            running_lookups.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        running_lookups.fetch_sub(1);
        out_error = resolve_failed_message();
        return false;
    }

    const std::int64_t deadline = monotonic_ns() + resolve_deadline_ns;
    for (;;) {
        const std::int64_t left_ns = deadline - monotonic_ns();
        if (left_ns <= 0 || is_stopping()) {
            break;
        }
        const auto slice = std::chrono::milliseconds(
            std::min<std::int64_t>(resolve_slice_ms, (left_ns + 999'999) / 1'000'000));
        std::unique_lock guard(state->lock);
        if (state->done_signal.wait_for(guard, slice, [&] { return state->done; })) {
            if (!state->found) {
                break;
            }
            out_addresses = std::move(state->addresses);
            return true;
        }
    }
    // Abandoned or failed: the worker, if still running, drops its result when it finishes.
    out_error = is_stopping() ? stopping_message() : resolve_failed_message();
    return false;
}

bool lookup_text_acceptable(std::string_view host, std::string_view service)
{
    return !host.empty() && host.size() <= max_host_length &&
           host.find('\0') == std::string_view::npos && !service.empty() &&
           service.size() <= 32 && service.find('\0') == std::string_view::npos;
}

}  // namespace net_detail

int running_lookups_for_tests()
{
    return running_lookups.load();
}

void replace_lookup_for_tests(replacement_lookup lookup)
{
    replaced_lookup.store(lookup);
}

bool resolve_host(std::string_view host, std::string_view service,
                  address_list& out_addresses, std::u16string& out_error)
{
    out_addresses.clear();
    if (is_stopping()) {
        out_error = net_detail::stopping_message();
        return false;
    }
    if (!net_detail::lookup_text_acceptable(host, service)) {
        out_error = net_detail::resolve_failed_message();
        return false;
    }
    const std::string host_text(host);
    const std::string service_text(service);
    if (net_platform::numeric_lookup(host_text, service_text, out_addresses)) {
        return true;
    }
    out_addresses.clear();
    return net_platform::resolve(host, service, out_addresses, out_error);
}

// The platform's sockaddr_in (16 bytes, the address at offset 4) and sockaddr_in6 (28 bytes, the
// address at offset 8) have the same layout on both platforms.
bool address_is_local(const resolved_address& address)
{
    const std::vector<std::uint8_t>& raw = address.sockaddr_bytes;
    const auto zero = [](std::uint8_t b) { return b == 0; };
    const auto local_v4 = [&](const std::uint8_t* a) { return a[0] == 127 || std::all_of(a, a + 4, zero); };
    if (raw.size() == 16) {
        return local_v4(raw.data() + 4);
    }
    if (raw.size() != 28) {
        return false;
    }
    const std::uint8_t* a = raw.data() + 8;
    const bool ten_zero = std::all_of(a, a + 10, zero);
    if (ten_zero && a[10] == 0xFF && a[11] == 0xFF) {
        return local_v4(a + 12);  // IPv4-mapped
    }
    return ten_zero && std::all_of(a + 10, a + 15, zero) && a[15] <= 1;  // :: and ::1
}

bool net_startup()
{
    return net_platform::startup();
}

void net_cleanup()
{
    net_platform::cleanup();
}

void clear_stop()
{
    std::lock_guard guard(registry().lock);
    registry().stop_flag = false;
}

void stop_all_sockets()
{
    socket_registry& r = registry();
    std::lock_guard guard(r.lock);
    r.stop_flag = true;
    for (const socket_handle socket : r.sockets) {
        net_platform::shutdown_both(socket);
    }
}

void set_outbound_interface(std::uint32_t index) { outbound_interface_index = index; }

std::uint32_t outbound_interface() { return outbound_interface_index.load(); }

bool is_stopping()
{
    std::lock_guard guard(registry().lock);
    return registry().stop_flag;
}

std::int64_t monotonic_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool tcp_connect(std::string_view host, std::uint16_t port, std::int32_t connect_timeout_ms,
                 std::int32_t io_timeout_ms, socket_handle& out_socket, std::u16string& out_error)
{
    if (is_stopping()) {
        out_error = net_detail::stopping_message();
        return false;
    }
    if (!acceptable_host(host)) {
        if (out_error.empty()) {
            out_error = net_detail::resolve_failed_message();
        }
        return false;
    }
    address_list addresses;
    std::u16string resolve_error;
    if (!resolve_host(host, std::to_string(port), addresses, resolve_error)) {
        out_error = std::move(resolve_error);
        return false;
    }
    for (const resolved_address& address : addresses) {
        bool give_up = false;
        if (connect_one(address, connect_timeout_ms, io_timeout_ms, out_socket, give_up)) {
            return true;
        }
        if (give_up) {
            break;
        }
    }
    if (out_error.empty()) {
        out_error = is_stopping() ? net_detail::stopping_message() : connect_failed_message();
    }
    return false;
}

bool send_all(socket_handle socket, const std::uint8_t* data, std::int32_t length)
{
    if (length < 0 || socket == invalid_socket_handle) {
        return false;
    }
    std::int32_t sent = 0;
    while (sent < length) {
        const std::int32_t n = net_platform::send_once(socket, data + sent, length - sent);
        if (n <= 0) {
            return false;
        }
        sent += n;
    }
    return true;
}

bool recv_exact(socket_handle socket, std::uint8_t* buffer, std::int32_t length)
{
    if (length < 0 || socket == invalid_socket_handle) {
        return false;
    }
    std::int32_t received = 0;
    while (received < length) {
        const std::int32_t n = net_platform::recv_once(socket, buffer + received, length - received);
        if (n <= 0) {
            return false;
        }
        received += n;
    }
    return true;
}

std::int32_t recv_some(socket_handle socket, std::uint8_t* buffer, std::int32_t capacity)
{
    if (capacity <= 0 || socket == invalid_socket_handle) {
        return 0;
    }
    return net_platform::recv_once(socket, buffer, capacity);
}

bool register_socket(socket_handle socket)
{
    socket_registry& r = registry();
    std::lock_guard guard(r.lock);
    if (r.stop_flag || socket == invalid_socket_handle) {
        return false;
    }
    r.sockets.push_back(socket);
    return true;
}

void close_socket(socket_handle socket)
{
    if (socket == invalid_socket_handle) {
        return;
    }
    socket_registry& r = registry();
    std::lock_guard guard(r.lock);
    const auto found = std::find(r.sockets.begin(), r.sockets.end(), socket);
    if (found == r.sockets.end()) {
        return;
    }
    r.sockets.erase(found);
    net_platform::shutdown_both(socket);
    net_platform::close_handle(socket);
}

void shutdown_socket(socket_handle socket)
{
    socket_registry& r = registry();
    std::lock_guard guard(r.lock);
    if (std::find(r.sockets.begin(), r.sockets.end(), socket) != r.sockets.end()) {
        net_platform::shutdown_both(socket);
    }
}

void release_socket(std::atomic<socket_handle>& holder)
{
    close_socket(holder.exchange(invalid_socket_handle));
}

bool set_stream_options(socket_handle socket, std::int32_t io_timeout_ms)
{
    bool ok = net_platform::set_no_delay(socket);
    if (io_timeout_ms > 0) {
        ok = net_platform::set_io_timeouts(socket, io_timeout_ms) && ok;
    }
    return ok;
}

}  // namespace pelto
