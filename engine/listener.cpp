#include "engine/listener.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "base/obfuscated.h"
#include "base/text.h"
#include "base/localized_text.h"
#include "engine/engine_state.h"
#include "engine/service_domain.h"
#include "engine/share_links.h"
#include "engine/system_proxy.h"
#include "net/tcp_listener.h"
#include "proxy/dial.h"
#include "proxy/direct_stream.h"
#include "proxy/relay.h"
#include "tun/tun_control.h"

namespace pelto {
namespace {

std::mutex listener_mutex;
socket_handle listening_socket = invalid_socket_handle;  // guarded by listener_mutex
std::int32_t bound_port = 0;                             // guarded by listener_mutex

std::atomic<bool> proxied_use_logged{false};

socket_handle current_listening_socket()
{
    const std::lock_guard<std::mutex> lock(listener_mutex);
    return listening_socket;
}

// What the head asks for: where to connect, and whether it opens a tunnel.
struct request_target {
    std::string host;
    std::uint16_t port = 0;
    bool tunnel = false;
};

constexpr std::string_view end_of_head = "\r\n\r\n";

// Reads from the client until the head is complete. False when the client ends first or sends
// 16384 bytes or more without ending the head.
bool read_head(direct_stream& client, std::string& buffer, std::size_t& out_head_end)
{
    std::uint8_t chunk[head_receive_chunk];
    for (;;) {
        const std::int32_t n = client.read(chunk, head_receive_chunk);
        if (n <= 0) {
            return false;
        }
        const std::size_t searched_before = buffer.size() >= 3 ? buffer.size() - 3 : 0;
        buffer.append(reinterpret_cast<const char*>(chunk), static_cast<std::size_t>(n));
        const std::size_t at = buffer.find(end_of_head, searched_before);
        if (at != std::string::npos) {
            out_head_end = at;
            return true;
        }
        if (buffer.size() >= max_request_head) {
            return false;
        }
    }
}

bool parse_request_target(std::string_view head, request_target& out)
{
    const std::size_t line_end = head.find("\r\n");
    const std::string_view request_line = head.substr(0, line_end);
    const auto connect_method = PELTO_TEXT("CONNECT ");
    if (request_line.substr(0, connect_method.size()) == connect_method.view()) {
        std::string_view authority = request_line.substr(connect_method.size());
        authority = authority.substr(0, authority.find(' '));
        out.tunnel = true;
        return parse_host_port(authority, out.host, out.port, 443);
    }
    // The Host header: searched after a line break, so the request line never matches.
    const std::string lowered = ascii_lower(head);
    const auto marker = PELTO_TEXT("\r\nhost:");
    const std::size_t at = lowered.find(marker.view());
    if (at == std::string::npos) {
        return false;
    }
    const std::size_t value_start = at + marker.size();
    const std::size_t value_end = head.find("\r\n", value_start);
    std::string_view value = head.substr(value_start, value_end == std::string_view::npos
                                                          ? std::string_view::npos
                                                          : value_end - value_start);
    // Optional white space (spaces and tabs) may surround a header's value.
    const auto is_blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!value.empty() && is_blank(value.front())) {
        value.remove_prefix(1);
    }
    while (!value.empty() && is_blank(value.back())) {
        value.remove_suffix(1);
    }
    out.tunnel = false;
    return parse_host_port(value, out.host, out.port, 80);
}

// The head of a forwarded request as it goes to the origin: the same request line and header
// lines, minus the hop-by-hop connection headers, plus "Connection: close". The origin then ends
// the connection after its response, so every proxy connection carries exactly one request and a
// second request of the same client connection can never reach this request's destination.
std::string forward_head(std::string_view head)
{
    const auto connection = PELTO_TEXT("connection:");
    const auto proxy_connection = PELTO_TEXT("proxy-connection:");
    const auto keep_alive = PELTO_TEXT("keep-alive:");
    std::string out;
    out.reserve(head.size() + 24);
    std::size_t at = 0;
    bool request_line = true;
    while (at <= head.size()) {
        std::size_t end = head.find("\r\n", at);
        if (end == std::string_view::npos) {
            end = head.size();
        }
        const std::string_view line = head.substr(at, end - at);
        const std::string lowered = ascii_lower(line.substr(0, proxy_connection.size()));
        const auto starts = [&](std::string_view name) { return lowered.compare(0, name.size(), name) == 0; };
        if (request_line || !(starts(connection.view()) || starts(proxy_connection.view()) ||
                              starts(keep_alive.view()))) {
            out.append(line);
            out.append("\r\n");
        }
        request_line = false;
        at = end + 2;
    }
    out.append(PELTO_TEXT("Connection: close\r\n\r\n").view());
    return out;
}

// A request for our own port on this machine would make the listener connect to itself, hop
// after hop, until every connection slot is taken. The destination is resolved (only when its port
// is ours, so ordinary requests pay nothing) and refused when any of its addresses is local.
bool targets_this_listener(const request_target& target)
{
    const std::int32_t own_port = local_proxy_port();
    if (own_port == 0 || target.port != own_port) {
        return false;
    }
    address_list addresses;
    std::u16string error;
    if (!resolve_host(target.host, std::to_string(target.port), addresses,
                      error)) {
        return false;  // it cannot be dialled either
    }
    return std::any_of(addresses.begin(), addresses.end(), address_is_local);
}

std::unique_ptr<stream> open_outbound(const request_target& target, bool proxied)
{
    std::u16string error;
    if (proxied) {
        const node_record node = engine_globals().current_node.snapshot();
        return dial_node(node, target.host, target.port, outbound_connect_timeout_ms,
                         outbound_io_timeout_ms, bytes{}, error);
    }
    socket_handle socket = invalid_socket_handle;
    if (!tcp_connect(target.host, target.port, outbound_connect_timeout_ms, outbound_io_timeout_ms,
                     socket, error)) {
        return nullptr;
    }
    return std::make_unique<direct_stream>(socket);
}

bool send_text(stream& s, std::string_view text)
{
    return s.write(reinterpret_cast<const std::uint8_t*>(text.data()),
                   static_cast<std::int32_t>(text.size()));
}

relay_stop_flags session_relay_flags()
{
    engine_shared& g = engine_globals();
    return relay_stop_flags{&g.quit_flag, &g.session_stop_flag};
}

// Binds the first free port of the range; the invalid handle when every port is taken.
socket_handle bind_first_free_port(std::uint16_t& out_port)
{
    for (std::uint32_t port = listener_first_port; port <= listener_last_port; ++port) {
        const socket_handle s = open_loopback_listener(static_cast<std::uint16_t>(port), listener_backlog);
        if (s != invalid_socket_handle) {
            out_port = static_cast<std::uint16_t>(port);
            return s;
        }
    }
    return invalid_socket_handle;
}

// Switches the session's mode on, under the engine mutex. False with an error line logged.
bool switch_session_on(std::int32_t port)
{
    engine_shared& g = engine_globals();
    const std::lock_guard<std::mutex> lock(g.engine_mutex);
    if (g.quit_flag.load() || g.session_stop_flag.load()) {
        return false;
    }
    std::u16string message;
    if (!tun_set_leak_protection(g.prefs.option_flag, message)) {
        log_line(log_level::error, message);
        return false;
    }
    if (g.tun_enabled) {
        set_tun_log_sink([](std::u16string_view line) { log_line(log_level::information, line); });
        const node_record node = g.current_node.snapshot();
        dial_fn dial = make_tun_dial_fn([](std::string_view host) { return is_proxied_host(host); },
                                        [] { return engine_globals().current_node.snapshot(); });
        if (!tun_start(std::move(dial), node.server, message)) {
            std::u16string line = PELTO_TEXT(u"TUN mode: ").str();
            line += message;
            log_line(log_level::error, line);
            return false;
        }
        g.session_active = true;
        return true;
    }
    if (!set_system_proxy(port)) {
        log_line(log_level::error, localized_text(message_id::system_proxy_not_changed));
        return false;
    }
    g.session_active = true;
    return true;
}

struct connection_thread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

}  // namespace

std::int32_t local_proxy_port()
{
    const std::lock_guard<std::mutex> lock(listener_mutex);
    return bound_port;
}

bool start_listener()
{
    engine_shared& g = engine_globals();
    if (g.quit_flag.load() || g.session_stop_flag.load()) {
        return false;
    }
    std::uint16_t port = 0;
    const socket_handle s = bind_first_free_port(port);
    if (s == invalid_socket_handle) {
        log_line(log_level::error,
                 PELTO_TEXT(u"No free local port for the proxy (17890-17920 are all in use)").view());
        return false;
    }
    {
        const std::lock_guard<std::mutex> lock(listener_mutex);
        listening_socket = s;
        bound_port = port;
    }
    return switch_session_on(port);
}

void close_listener()
{
    socket_handle taken;
    {
        const std::lock_guard<std::mutex> lock(listener_mutex);
        taken = listening_socket;
        listening_socket = invalid_socket_handle;
        bound_port = 0;
    }
    close_listener_socket(taken);
}

void accept_loop()
{
    engine_shared& g = engine_globals();
    std::vector<connection_thread> threads;
    if (!g.quit_flag.load()) {
        while (!g.session_stop_flag.load()) {
            const socket_handle listener = current_listening_socket();
            if (listener == invalid_socket_handle) {
                break;
            }
            const socket_handle client = accept_client(listener);
            if (client == invalid_socket_handle) {
                break;
            }
            // Prune finished connections, keeping the order of the rest.
            auto finished = std::stable_partition(threads.begin(), threads.end(),
                                                  [](const connection_thread& c) { return !c.done->load(); });
            for (auto it = finished; it != threads.end(); ++it) {
                it->thread.join();
            }
            threads.erase(finished, threads.end());

            if (threads.size() >= max_connection_threads) {
                close_unregistered_socket(client);
                continue;
            }
            if (!register_socket(client)) {
                close_unregistered_socket(client);
                continue;
            }
            auto done = std::make_shared<std::atomic<bool>>(false);
            try {
                std::thread t([client, done] {
                    serve_client(client);
                    done->store(true);
                });
                threads.push_back(connection_thread{std::move(t), std::move(done)});
            } catch (const std::system_error&) {
                // No thread for this client: drop its connection and keep serving the others.
                close_socket(client);
            }
            if (g.quit_flag.load()) {
                break;
            }
        }
    }
    stop_all_sockets();
    for (connection_thread& c : threads) {
        c.thread.join();
    }
}

void serve_client(socket_handle client_socket)
{
    auto client = std::make_shared<direct_stream>(client_socket);
    set_stream_options(client_socket, client_io_timeout_ms);

    std::string buffer;
    std::size_t head_end = 0;
    if (!read_head(*client, buffer, head_end)) {
        return;
    }
    const std::string_view head = std::string_view(buffer).substr(0, head_end);
    const std::string_view early_data = std::string_view(buffer).substr(head_end + end_of_head.size());

    request_target target;
    if (!parse_request_target(head, target) || target.host.empty() || target.port == 0) {
        return;
    }

    const bool proxied = is_proxied_host(target.host);
    std::unique_ptr<stream> outbound;
    if (proxied || !targets_this_listener(target)) {
        outbound = open_outbound(target, proxied);
    }
    if (!outbound) {
        send_text(*client, PELTO_TEXT("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n"
                                      "Connection: close\r\n\r\n")
                               .view());
        return;
    }

    if (target.tunnel) {
        if (!send_text(*client, PELTO_TEXT("HTTP/1.1 200 Connection established\r\n\r\n").view())) {
            return;
        }
        if (!early_data.empty() && !send_text(*outbound, early_data)) {
            return;
        }
    } else {
        std::string forwarded = forward_head(head);
        forwarded.append(early_data);
        if (!send_text(*outbound, forwarded)) {
            return;
        }
    }

    if (proxied && !proxied_use_logged.exchange(true)) {
        log_line(log_level::information,
                 PELTO_TEXT(u"Connections to the service now go through the selected node").view());
    }

    relay(std::move(client), std::shared_ptr<stream>(std::move(outbound)), session_relay_flags());
}

}  // namespace pelto
