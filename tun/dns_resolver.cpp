#include "tun/dns_resolver.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "base/obfuscated.h"
#include "net/socket.h"
#include "tun/dns_message.h"
#include "tun/packet.h"

namespace pelto::tun {

namespace {

std::string lower_case(std::string_view name)
{
    std::string out(name);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::u16string widen(std::string_view text)
{
    std::u16string out;
    for (char c : text) {
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    return out;
}

}  // namespace

dns_resolver::dns_resolver(dns_resolver_config config) : config_(std::move(config)) {}

dns_resolver::~dns_resolver() { stop(); }

bool dns_resolver::start()
{
    sockets_.reset();
    running_ = true;
    for (int i = 0; i < dns_worker_count; ++i) {
        try {
            workers_.emplace_back([this] { worker(); });
        } catch (const std::system_error&) {
            stop();
            return false;
        }
    }
    return true;
}

void dns_resolver::stop()
{
    {
        std::lock_guard hold(queue_lock_);
        running_ = false;
        queue_.clear();
    }
    queue_wake_.notify_all();
    sockets_.shutdown_all();
    for (std::thread& t : workers_) {
        t.join();
    }
    workers_.clear();
}

void dns_resolver::capture(dns_datagram query)
{
    {
        std::lock_guard hold(queue_lock_);
        if (!running_ || queue_.size() >= max_dns_queue) {
            return;
        }
        queue_.push_back(std::move(query));
    }
    queue_wake_.notify_one();
}

void dns_resolver::worker()
{
    for (;;) {
        dns_datagram query;
        {
            std::unique_lock hold(queue_lock_);
            queue_wake_.wait(hold, [&] { return !running_ || !queue_.empty(); });
            if (!running_) {
                return;
            }
            query = std::move(queue_.front());
            queue_.pop_front();
        }
        bytes answer = fit_udp_answer(forward_query(query.payload, dns_transport::udp),
                                      udp_answer_limit(query.payload));
        if (!answer.empty() && running_ && config_.post_reply) {
            config_.post_reply({query.client_address, query.client_port, std::move(answer)});
        }
    }
}

bytes dns_resolver::forward_query(byte_span query, dns_transport transport)
{
    if (!running_ || !is_forwardable_query(query) || current_upstream().address == 0) {
        return {};
    }
    bytes answer = forward_once(query, transport);
    if (answer.empty()) {
        return {};
    }
    if (transport == dns_transport::udp && dns_truncated(answer)) {
        return forward_query(query, dns_transport::tcp);
    }
    const dns_rewrite_hooks hooks{
        [this](std::string_view name) { return routed_name_for(name); },
        [this](std::string_view target, std::string_view routed) { record_alias(target, routed); },
        [this](std::uint32_t address, std::string_view routed) { return map_address(address, routed); },
        [this](byte_span address16) { return fence_ipv6(address16); },
    };
    bytes rewritten;
    switch (rewrite_answer(answer, hooks, rewritten)) {
    case rewrite_outcome::unchanged:
        return answer;
    case rewrite_outcome::rewritten:
        return rewritten;
    case rewrite_outcome::suppressed:
        break;
    }
    return {};
}

bytes dns_resolver::forward_once(byte_span query, dns_transport transport)
{
    bytes copy(query.begin(), query.end());
    if (!sanitise_query(copy)) {
        return {};
    }
    bytes answer;
    if (!exchange_with_upstream(current_upstream(), transport, copy, sockets_, answer) ||
        !answer_matches(copy, answer)) {
        return {};
    }
    return answer;
}

upstream_target dns_resolver::current_upstream()
{
    std::lock_guard hold(upstream_lock_);
    return config_.upstream;
}

void dns_resolver::set_upstream(const upstream_target& upstream)
{
    std::lock_guard hold(upstream_lock_);
    config_.upstream = upstream;
}

void dns_resolver::add_bypass(std::uint32_t address)
{
    std::lock_guard hold(maps_lock_);
    bypass_set_.insert(address);
}

std::vector<std::uint32_t> dns_resolver::mapped_addresses()
{
    std::lock_guard hold(maps_lock_);
    return host_map_.keys();
}

bool dns_resolver::bypass_and_unmap(std::uint32_t address)
{
    std::lock_guard hold(maps_lock_);
    bypass_set_.insert(address);
    host_map_.erase(address);
    return route_set_.erase(address) != 0;
}

std::string dns_resolver::routed_name_for(std::string_view name)
{
    const std::string lower = lower_case(name);
    if (config_.is_routed_name && config_.is_routed_name(lower)) {
        return lower;
    }
    std::lock_guard hold(maps_lock_);
    const std::string* routed = alias_map_.find(lower);
    return routed == nullptr ? std::string() : *routed;
}

void dns_resolver::record_alias(std::string_view target, std::string_view routed)
{
    const std::string lower = lower_case(target);
    if (lower.empty() || routed.empty() || (config_.is_routed_name && config_.is_routed_name(lower))) {
        return;
    }
    expired gone;
    {
        std::lock_guard hold(maps_lock_);
        const std::int64_t t = now();
        alias_map_.touch(lower, std::string(routed), t);
        expire_locked(t, gone);
    }
    release(gone);
}

bool dns_resolver::fence_ipv6(byte_span address)
{
    if (address.size() != 16) {
        return false;
    }
    if (config_.add_leak_filter && !config_.add_leak_filter(address, true)) {
        return false;
    }
    ipv6_key key{};
    std::copy(address.begin(), address.end(), key.begin());
    expired gone;
    {
        std::lock_guard hold(maps_lock_);
        const std::int64_t t = now();
        fenced_ipv6_.touch(key, true, t);
        expire_locked(t, gone);
    }
    release(gone);
    return true;
}

std::int64_t dns_resolver::now() const { return config_.clock ? config_.clock() : monotonic_ns(); }

void dns_resolver::expire_locked(std::int64_t t, expired& out)
{
    for (std::uint32_t a : host_map_.expire(t, mapping_lifetime_ns, max_mappings)) {
        out.ipv4.push_back(a);
        if (route_set_.erase(a) != 0) {
            out.routed.push_back(a);
        }
    }
    alias_map_.expire(t, mapping_lifetime_ns, max_mappings);
    for (const ipv6_key& k : fenced_ipv6_.expire(t, mapping_lifetime_ns, max_mappings)) {
        out.ipv6.push_back(k);
    }
}

void dns_resolver::release(const expired& gone)
{
    std::uint32_t error = 0;
    for (std::uint32_t a : gone.routed) {
        config_.routes->remove(a, error);
    }
    if (!config_.remove_leak_filter) {
        return;
    }
    for (std::uint32_t a : gone.ipv4) {
        std::uint8_t raw[4];
        std::memcpy(raw, &a, 4);
        config_.remove_leak_filter(byte_span(raw, 4), false);
    }
    for (const ipv6_key& k : gone.ipv6) {
        config_.remove_leak_filter(byte_span(k.data(), k.size()), true);
    }
}

bool dns_resolver::map_address(std::uint32_t address, std::string_view routed)
{
    const std::uint32_t h = host_order(address);
    if (address == 0 || address == config_.virtual_dns_address ||
        (config_.adapter_address != 0 && address == config_.adapter_address) ||
        (h >> 24) == 0 || (h >> 24) == 127 || h >= 0xE0000000u || (h >> 16) == 0xC612) {
        return false;
    }
    {
        std::lock_guard hold(maps_lock_);
        if (bypass_set_.count(address) || routed.empty() || config_.routes == nullptr) {
            return false;
        }
    }
    std::uint8_t raw[4];
    std::memcpy(raw, &address, 4);
    const byte_span raw_span(raw, 4);
    if (config_.add_leak_filter && !config_.add_leak_filter(raw_span, false)) {
        return false;
    }
    // The address may be bypassed at any point from here (a reuse with the node at that very
    // address): each step under the lock looks again, and what was made for it is taken back.
    const auto take_back = [&](bool with_route) {
        std::uint32_t error = 0;
        if (with_route) {
            config_.routes->remove(address, error);
        }
        if (config_.remove_leak_filter) {
            config_.remove_leak_filter(raw_span, false);
        }
        return false;
    };
    expired gone;
    bool routed_before = false;
    {
        std::lock_guard hold(maps_lock_);
        if (bypass_set_.count(address)) {
            return take_back(false);
        }
        const std::int64_t t = now();
        host_map_.touch(address, std::string(routed), t);
        routed_before = route_set_.count(address) != 0;
        expire_locked(t, gone);
    }
    release(gone);
    if (routed_before) {
        return true;
    }
    std::uint32_t error = 0;
    if (!config_.routes->add(address, error)) {
        bool report = false;
        {
            std::lock_guard hold(maps_lock_);
            report = !route_failure_reported_;
            route_failure_reported_ = true;
        }
        if (report && config_.log) {
            config_.log(PELTO_TEXT(u"TUN: cannot add a host route, error ").str() +
                        widen(std::to_string(error)));
        }
        return false;
    }
    bool first = false;
    {
        std::lock_guard hold(maps_lock_);
        if (bypass_set_.count(address)) {
            host_map_.erase(address);
            route_set_.erase(address);
            return take_back(true);
        }
        if (host_map_.find(address) == nullptr) {
            return take_back(true);  // expired meanwhile (a flood of newer answers): not kept
        }
        first = logged_hosts_.insert(std::string(routed)).second;
        route_set_.insert(address);
    }
    if (first && config_.log) {
        config_.log(PELTO_TEXT(u"TUN: routing ").str() + widen(routed));
    }
    return true;
}

std::string dns_resolver::host_for_address(std::uint32_t address)
{
    std::lock_guard hold(maps_lock_);
    const std::string* host = host_map_.find(address);
    return host == nullptr ? std::string() : *host;
}

std::vector<std::uint32_t> dns_resolver::routed_addresses()
{
    std::lock_guard hold(maps_lock_);
    return {route_set_.begin(), route_set_.end()};
}

}  // namespace pelto::tun
