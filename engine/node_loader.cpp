#include "engine/node_loader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <numeric>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "base/obfuscated.h"
#include "base/text.h"
#include "crypto/ml_kem.h"
#include "crypto/random.h"
#include "crypto/x25519.h"
#include "engine/engine_state.h"
#include "engine/share_links.h"
#include "net/https_get.h"
#include "net/socket.h"
#include "net/subscription_url.h"
#include "proxy/browser_hello.h"
#include "proxy/dial.h"
#include "base/localized_text.h"

#ifndef PELTO_PROBE_HOST_LITERAL
#error "PELTO_PROBE_HOST_LITERAL must be defined by the build"
#endif

namespace pelto {
namespace {

std::mutex seam_mutex;
std::string probe_host_override;           // guarded by seam_mutex
std::u16string endpoint_directory_override;  // guarded by seam_mutex
std::atomic<int> worker_limit{-1};

bool cycle_interrupted()
{
    const engine_shared& g = engine_globals();
    return g.quit_flag.load() || g.reload_flag.load();
}

// Appends one endpoint value; false when it is not a valid URL string.
bool append_endpoint(const nlohmann::json& value, std::vector<std::u16string>& list)
{
    if (!value.is_string()) {
        return false;
    }
    const std::string& text = value.get_ref<const std::string&>();
    if (text.size() > max_endpoint_url_bytes) {
        return false;
    }
    // The JSON reader has already refused ill-formed UTF-8 inside strings.
    std::u16string url = utf8_to_utf16(text);
    if (!check_subscription_url(url)) {
        return false;
    }
    if (std::find(list.begin(), list.end(), url) == list.end()) {
        list.push_back(std::move(url));
    }
    return true;
}

// The probe workers' shared state.
struct probe_run {
    const std::vector<node_record>* nodes = nullptr;
    std::vector<std::atomic<std::int32_t>> latencies;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> pending{0};

    explicit probe_run(const std::vector<node_record>& n) : nodes(&n), latencies(n.size())
    {
        for (auto& l : latencies) {
            l.store(latency_not_measured);
        }
        pending.store(n.size());
    }

    void work()
    {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= nodes->size()) {
                return;
            }
            std::int32_t latency = latency_not_measured;
            if (!cycle_interrupted()) {
                std::u16string error;
                latency = probe_node((*nodes)[i], error);
            }
            latencies[i].store(latency < 0 ? latency_failed : latency);
            pending.fetch_sub(1);
        }
    }

    std::vector<std::int32_t> table() const
    {
        std::vector<std::int32_t> out;
        out.reserve(latencies.size());
        for (const auto& l : latencies) {
            out.push_back(l.load());
        }
        return out;
    }
};

void sleep_ms(std::int32_t ms)
{
    const std::int64_t deadline = monotonic_ns() + std::int64_t{ms} * 1000000;
    for (;;) {
        const std::int64_t left = deadline - monotonic_ns();
        if (left <= 0) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds((left + 999999) / 1000000));
    }
}

std::u16string protocol_label(node_protocol protocol)
{
    switch (protocol) {
    case node_protocol::trojan:
        return PELTO_TEXT(u"Trojan").str();
    case node_protocol::shadowsocks:
        return PELTO_TEXT(u"Shadowsocks").str();
    default:
        break;
    }
    return PELTO_TEXT(u"VLESS").str();
}


}  // namespace

std::string probe_host()
{
    {
        const std::lock_guard lock(seam_mutex);
        if (!probe_host_override.empty()) {
            return probe_host_override;
        }
    }
    return PELTO_TEXT(PELTO_PROBE_HOST_LITERAL).str();
}

void set_probe_host_for_testing(std::string_view host)
{
    const std::lock_guard lock(seam_mutex);
    probe_host_override = host;
}

void set_probe_worker_limit_for_testing(int count)
{
    worker_limit.store(count);
}

void set_endpoint_directory_for_testing(std::u16string_view directory)
{
    const std::lock_guard lock(seam_mutex);
    endpoint_directory_override = directory;
}

std::vector<std::u16string> parse_endpoint_document(std::string_view json)
{
    std::vector<std::u16string> list;
    const nlohmann::json root = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        return {};
    }
    const auto backups = root.find(PELTO_TEXT("backups").str());
    if (backups != root.end() && (!backups->is_array() || backups->size() > max_backup_endpoints)) {
        return {};
    }
    const auto primary = root.find(PELTO_TEXT("primary").str());
    if (primary == root.end() || !append_endpoint(*primary, list)) {
        return {};
    }
    if (backups != root.end()) {
        for (const nlohmann::json& b : *backups) {
            if (!append_endpoint(b, list)) {
                return {};
            }
        }
    }
    return list;
}

std::vector<std::u16string> load_endpoint_list(std::u16string& out_error)
{
    std::u16string directory;
    {
        const std::lock_guard lock(seam_mutex);
        directory = endpoint_directory_override;
    }
    if (directory.empty() && !program_directory(directory)) {
        out_error = localized_text(message_id::data_unreadable);
        return {};
    }
    if (directory.back() != u'/' && directory.back() != u'\\') {
        directory += u'/';
    }
    const std::u16string path = directory + PELTO_TEXT(u"pelto-endpoints.json").str();
    std::string document;
    const int read = read_small_file(path, endpoint_file_max, document);
    if (read == 2) {
        out_error = localized_text(message_id::data_unreadable);
        return {};
    }
    if (read == 1) {
        document = embedded_endpoint_document();
    }
    std::vector<std::u16string> list = parse_endpoint_document(document);
    if (list.empty()) {
        out_error = localized_text(message_id::no_subscription_endpoints);
    }
    return list;
}

bool load_nodes(std::vector<node_record>& out_nodes, std::u16string& out_error)
{
    out_nodes.clear();
    engine_shared& g = engine_globals();
    std::u16string user_url;
    {
        const std::lock_guard lock(g.engine_mutex);
        user_url = g.prefs.subscription_url;
    }
    out_error.clear();
    const bool user_given = !user_url.empty();
    std::vector<std::u16string> endpoints;
    if (user_given) {
        endpoints.push_back(user_url);
    } else {
        endpoints = load_endpoint_list(out_error);
        if (endpoints.empty()) {
            return false;
        }
    }
    for (const std::u16string& endpoint : endpoints) {
        if (cycle_interrupted()) {
            return false;
        }
        send_state(engine_state::loading);
        std::string body;
        if (!https_get(endpoint, body, out_error)) {
            continue;
        }
        std::vector<node_record> nodes = parse_share_links(body);
        body.clear();
        body.shrink_to_fit();
        if (nodes.empty()) {
            out_error = localized_text(message_id::no_usable_nodes);
            continue;
        }
        std::stable_sort(nodes.begin(), nodes.end(),
                         [](const node_record& a, const node_record& b) { return a.name_rank < b.name_rank; });
        send_state(engine_state::probing);
        const bool answered = probe_nodes(nodes);
        if (cycle_interrupted()) {
            return false;
        }
        if (answered || user_given) {
            out_error.clear();
            out_nodes = std::move(nodes);
            return true;
        }
        out_error = localized_text(message_id::no_node_responded);
    }
    return false;
}

bytes build_probe_client_hello(std::string_view host)
{
    // The same browser hello the REALITY client sends, with real key pairs and a random session
    // id: the probe never finishes the handshake, but an observer sees an ordinary browser.
    std::array<std::uint8_t, 64> random{};
    random_bytes(random);
    const x25519_key_pair plain = x25519_keypair();
    const x25519_key_pair hybrid = x25519_keypair();
    ml_kem_768_key_pair kem;
    if (!kem.generate()) {
        return {};
    }
    bytes message;
    const browser_hello_input input{host, std::span<const std::uint8_t, 32>(random.data(), 32),
                                    std::span<const std::uint8_t, 32>(random.data() + 32, 32),
                                    kem.encapsulation_key(), hybrid.public_key, plain.public_key};
    if (!build_browser_client_hello(input, message)) {
        return {};
    }
    const auto header = client_hello_record_header(message.size());
    bytes hello(header.begin(), header.end());
    hello.insert(hello.end(), message.begin(), message.end());
    return hello;
}

std::int32_t probe_node(const node_record& node, std::u16string& out_error)
{
    if (engine_globals().quit_flag.load()) {
        out_error = PELTO_TEXT(u"Not probed: the program is closing").str();
        return -1;
    }
    const std::int64_t start = monotonic_ns();
    const std::string host = probe_host();
    const bytes hello = build_probe_client_hello(host);
    std::unique_ptr<stream> s =
        dial_node(node, host, probe_port, probe_connect_timeout_ms, probe_io_timeout_ms, hello, out_error);
    if (!s) {
        return -1;
    }
    std::uint8_t first = 0;
    const std::int32_t n = s->read(&first, 1);
    s->close();
    if (n == 1 && first == 22) {
        return static_cast<std::int32_t>((monotonic_ns() - start) / 1000000);
    }
    if (out_error.empty()) {
        out_error = PELTO_TEXT(u"The node gave no valid response to the probe").str();
    }
    return -1;
}

std::vector<std::size_t> final_order(const std::vector<node_record>& nodes,
                                     const std::vector<std::int32_t>& latencies)
{
    std::vector<std::size_t> order(nodes.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (nodes[a].name_rank != nodes[b].name_rank) {
            return nodes[a].name_rank < nodes[b].name_rank;
        }
        const bool measured_a = latencies[a] >= 0;
        const bool measured_b = latencies[b] >= 0;
        if (measured_a != measured_b) {
            return measured_a;
        }
        if (measured_a && latencies[a] != latencies[b]) {
            return latencies[a] < latencies[b];
        }
        return false;  // stable: the current position decides
    });
    return order;
}

bool probe_nodes(std::vector<node_record>& nodes)
{
    if (nodes.empty()) {
        return false;
    }
    log_line(log_level::information, PELTO_TEXT(u"Measuring the latency of every node").view());
    probe_run run(nodes);
    publish_nodes(nodes, run.table(), 0);

    std::vector<std::thread> workers;
    const std::size_t wanted = std::min(nodes.size(), max_probe_workers);
    for (std::size_t i = 0; i < wanted; ++i) {
        try {
            const int limit = worker_limit.load();
            if (limit >= 0 && i >= static_cast<std::size_t>(limit)) {
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            }
            workers.emplace_back([&run] { run.work(); });
        } catch (const std::system_error&) {
            break;  // go on with the workers that did start
        }
    }
    if (workers.empty()) {
        run.work();  // no thread at all: probe here, one node after the other
    }
    while (run.pending.load() > 0) {
        if (!cycle_interrupted()) {
            publish_nodes(nodes, run.table(), 0);
        }
        sleep_ms(interim_period_ms);
    }
    for (std::thread& w : workers) {
        w.join();
    }
    if (cycle_interrupted()) {
        return false;
    }
    const std::vector<std::int32_t> table = run.table();
    const std::vector<std::size_t> order = final_order(nodes, table);
    std::vector<node_record> sorted;
    std::vector<std::int32_t> sorted_table;
    sorted.reserve(nodes.size());
    sorted_table.reserve(nodes.size());
    bool answered = false;
    for (const std::size_t i : order) {
        sorted.push_back(std::move(nodes[i]));
        sorted_table.push_back(table[i]);
        answered = answered || table[i] >= 0;
    }
    nodes = std::move(sorted);
    publish_nodes(nodes, sorted_table, 1);
    return answered;
}

std::u16string display_name(const node_record& node)
{
    std::u16string name = node.name.empty() ? utf8_to_utf16(node.server) : node.name;
    // A globe sign shown as text in some fonts gets word joiners in front of it that keep it
    // together with the name; added once, before its first occurrence.
    const auto sign = PELTO_TEXT(u"\U0001F310");
    const auto joiners = PELTO_TEXT(u"\u2060\u2060");
    const std::size_t at = name.find(sign.view());
    if (at != std::u16string::npos &&
        !(at >= joiners.size() && std::u16string_view(name).substr(at - joiners.size(), joiners.size()) ==
                                      joiners.view())) {
        name.insert(at, joiners.view());
    }
    return name;
}

void publish_nodes(const std::vector<node_record>& nodes, const std::vector<std::int32_t>& latencies,
                   std::int32_t final_list)
{
    std::vector<node_entry> entries;
    entries.reserve(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        entries.push_back(node_entry{display_name(nodes[i]), protocol_label(nodes[i].protocol),
                                     i < latencies.size() ? latencies[i] : latency_not_measured});
    }
    send_node_list(entries, final_list);
}

}  // namespace pelto
