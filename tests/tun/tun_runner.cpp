// The TUN data plane as a program of its own, for the namespace end-to-end test and the
// benchmarks: it creates the device, runs a command that gives the device its address, routes
// the virtual DNS address into it and serves until SIGINT or SIGTERM. Flows are dialled directly,
// or through a Shadowsocks 2022 node. Never run it outside a network namespace of its own.
//
//   tun_runner --name pt0 --adapter 10.200.0.1 --virtual-dns 198.18.0.53 --upstream 10.9.0.2
//              --domain svc.test [--up-command CMD] [--ss HOST:PORT:BASE64KEY | --direct ADDRESS]
//
// Without --ss each flow is dialled directly by its host name; --direct dials ADDRESS (with the
// flow's port) instead, for a namespace whose resolver is the TUN's own virtual DNS.
// Prints "ready" on stdout once it serves; log lines go to stderr.

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "crypto/encoding.h"
#include "proxy/node_record.h"
#include "net/socket.h"
#include "proxy/dial.h"
#include "proxy/direct_stream.h"
#include "tun/testing/tun_stack.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

std::uint32_t parse_ipv4(const std::string& text)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
        std::fprintf(stderr, "not an IPv4 address: %s\n", text.c_str());
        std::exit(2);
    }
    return a.s_addr;
}

std::u16string widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string narrow(std::u16string_view s)
{
    std::string out;
    for (char16_t c : s) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace pelto;
    std::string name = "pt0", adapter, virtual_dns, upstream, domain, up_command, ss, direct;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--name") name = value;
        else if (key == "--adapter") adapter = value;
        else if (key == "--virtual-dns") virtual_dns = value;
        else if (key == "--upstream") upstream = value;
        else if (key == "--domain") domain = value;
        else if (key == "--up-command") up_command = value;
        else if (key == "--ss") ss = value;
        else if (key == "--direct") direct = value;
        else {
            std::fprintf(stderr, "unknown switch %s\n", key.c_str());
            return 2;
        }
    }
    if (adapter.empty() || virtual_dns.empty() || upstream.empty() || domain.empty()) {
        std::fprintf(stderr, "--adapter, --virtual-dns, --upstream and --domain are needed\n");
        return 2;
    }
    net_startup();
    auto is_routed = [domain](std::string_view host) {
        return host == domain || (host.size() > domain.size() + 1 && host.ends_with("." + domain));
    };

    tun::testing::tun_stack_options o;
    o.name = widen(name);
    o.adapter_address = parse_ipv4(adapter);
    o.virtual_dns_address = parse_ipv4(virtual_dns);
    o.upstream = {parse_ipv4(upstream), 53, 0};
    o.is_routed_name = is_routed;
    o.log = [](std::u16string_view line) { std::fprintf(stderr, "%s\n", narrow(line).c_str()); };
    if (ss.empty()) {
        o.dial = [direct](std::string_view host, std::uint16_t port, std::u16string& error) -> std::unique_ptr<tun_conn> {
            socket_handle s = invalid_socket_handle;
            const std::string target = direct.empty() ? std::string(host) : direct;
            if (!tcp_connect(target, static_cast<std::uint16_t>(port), 8000, 120000, s, error)) {
                return nullptr;
            }
            return std::make_unique<tun_dial>(std::make_unique<direct_stream>(s));
        };
    } else {
        const auto first = ss.find(':');
        const auto second = ss.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            std::fprintf(stderr, "--ss wants HOST:PORT:BASE64KEY\n");
            return 2;
        }
        node_record node;
        node.protocol = node_protocol::shadowsocks;
        node.name = u"runner node";
        node.server = ss.substr(0, first);
        node.port = static_cast<std::uint16_t>(std::stoi(ss.substr(first + 1, second - first - 1)));
        node.user_key = base64_decode(ss.substr(second + 1));
        o.dial = make_tun_dial_fn(is_routed, [node] { return node; });
    }

    tun::testing::tun_stack stack(o);
    std::u16string error;
    if (!stack.open(error)) {
        std::fprintf(stderr, "%s\n", narrow(error).c_str());
        return 1;
    }
    if (!up_command.empty() && std::system(up_command.c_str()) != 0) {
        std::fprintf(stderr, "the up command failed\n");
        return 1;
    }
    if (!stack.start(error)) {
        std::fprintf(stderr, "%s\n", narrow(error).c_str());
        return 1;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::printf("ready\n");
    std::fflush(stdout);
    while (!stop_requested && stack.running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stack.stop();
    return 0;
}
