#pragma once
// The data plane assembled over the platform's device, for the namespace tests and the runner:
// device, session, host routes, DNS resolver and reader thread. Test-only; the product's
// lifecycle (adapter address, DNS policy, filters, pause and resume) lives elsewhere.
//
// `open` creates the adapter; the caller gives it its address and brings it up; `start` adds the
// route to the virtual DNS address and starts the resolver and the reader; `stop` undoes it all.

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "net/socket.h"
#include "tun/data_plane.h"
#include "tun/device_library.h"
#include "tun/dns_resolver.h"
#include "tun/host_routes.h"

namespace pelto::tun::testing {

struct tun_stack_options {
    std::u16string name;
    std::uint32_t virtual_dns_address = 0;
    std::uint32_t adapter_address = 0;
    upstream_target upstream;
    std::function<bool(std::string_view)> is_routed_name;
    dial_fn dial;
    std::function<void(std::u16string_view)> log;
};

class tun_stack {
public:
    explicit tun_stack(tun_stack_options options) : options_(std::move(options)) {}
    ~tun_stack() { stop(); }

    bool open(std::u16string& out_error)
    {
        if (!load_device_library(out_error)) {
            return false;
        }
        const device_table& calls = device_calls();
        adapter_ = calls.create_adapter(options_.name.c_str(), options_.name.c_str(), nullptr);
        if (adapter_ == nullptr) {
            out_error = u"cannot create the adapter, error " + to_u16(calls.last_error());
            return false;
        }
        calls.get_adapter_luid(adapter_, &luid_);
        session_ = calls.start_session(adapter_, ring_capacity);
        if (session_ == nullptr) {
            out_error = u"cannot start a session, error " + to_u16(calls.last_error());
            return false;
        }
        return true;
    }

    bool start(std::u16string& out_error)
    {
        routes_ = make_system_host_routes(luid_);
        std::uint32_t code = 0;
        if (!routes_->add(options_.virtual_dns_address, code)) {
            out_error = u"cannot route the virtual DNS address, error " + to_u16(code);
            return false;
        }
        data_plane_config pc;
        pc.device = &device_calls();
        pc.session = session_;
        pc.virtual_dns_address = options_.virtual_dns_address;
        pc.clock = [] { return monotonic_ns(); };
        pc.host_for_address = [this](std::uint32_t a) { return resolver_->host_for_address(a); };
        pc.dns_capture = [this](dns_datagram q) { resolver_->capture(std::move(q)); };
        pc.dns_answer = [this](byte_span q) { return resolver_->forward_query(q, dns_transport::tcp); };
        pc.log = options_.log;
        plane_ = std::make_unique<data_plane>(std::move(pc));
        plane_->set_dial(options_.dial);

        dns_resolver_config rc;
        rc.upstream = options_.upstream;
        rc.virtual_dns_address = options_.virtual_dns_address;
        rc.adapter_address = options_.adapter_address;
        rc.is_routed_name = options_.is_routed_name;
        rc.routes = routes_.get();
        rc.log = options_.log;
        rc.post_reply = [this](dns_datagram r) { plane_->post_dns_reply(std::move(r)); };
        resolver_ = std::make_unique<dns_resolver>(std::move(rc));
        resolver_->add_bypass(options_.upstream.address);
        if (!resolver_->start()) {
            out_error = u"cannot start the DNS workers";
            return false;
        }
        running_ = true;
        reader_ = std::thread([this] { plane_->run(running_); });
        return true;
    }

    void stop()
    {
        running_ = false;
        if (plane_) {
            plane_->wake();
        }
        if (reader_.joinable()) {
            reader_.join();
        }
        if (resolver_) {
            resolver_->stop();
            std::uint32_t code = 0;
            for (std::uint32_t a : resolver_->routed_addresses()) {
                routes_->remove(a, code);
            }
        }
        const device_table& calls = device_calls();
        if (session_ != nullptr) {
            calls.end_session(session_);
            session_ = nullptr;
        }
        if (adapter_ != nullptr) {
            calls.close_adapter(adapter_);
            adapter_ = nullptr;
        }
        plane_.reset();
        resolver_.reset();
    }

    bool running() const { return running_; }
    data_plane& plane() { return *plane_; }
    dns_resolver& resolver() { return *resolver_; }

private:
    static std::u16string to_u16(std::uint32_t v)
    {
        std::u16string out;
        for (char c : std::to_string(v)) {
            out.push_back(static_cast<char16_t>(c));
        }
        return out;
    }

    tun_stack_options options_;
    void* adapter_ = nullptr;
    void* session_ = nullptr;
    std::uint64_t luid_ = 0;
    std::unique_ptr<host_routes> routes_;
    std::unique_ptr<dns_resolver> resolver_;
    std::unique_ptr<data_plane> plane_;
    std::atomic<bool> running_{false};
    std::thread reader_;
};

}  // namespace pelto::tun::testing
