#pragma once
// A scripted DNS server on 127.0.0.1 for tests (POSIX only). Test-only.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "base/bytes.h"

namespace pelto::tun::testing {

// One UDP socket and one TCP listener on the same port.
class script_server {
public:
    using respond_fn = std::function<bytes(const bytes& query, bool tcp)>;

    explicit script_server(respond_fn respond) : respond_(std::move(respond))
    {
        udp_ = socket(AF_INET, SOCK_DGRAM, 0);
        tcp_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int attempt = 0; attempt < 20 && port_ == 0; ++attempt) {
            a.sin_port = 0;
            if (bind(udp_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                break;
            }
            socklen_t length = sizeof a;
            getsockname(udp_, reinterpret_cast<sockaddr*>(&a), &length);
            if (bind(tcp_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(tcp_, 8) == 0) {
                port_ = ntohs(a.sin_port);
            } else {
                close(udp_);
                udp_ = socket(AF_INET, SOCK_DGRAM, 0);
            }
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~script_server()
    {
        stop_ = true;
        thread_.join();
        close(udp_);
        close(tcp_);
    }
    std::uint16_t port() const { return port_; }
    std::atomic<int> udp_queries{0}, tcp_queries{0};

private:
    void serve()
    {
        while (!stop_) {
            pollfd fds[2] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) {
                continue;
            }
            if (fds[0].revents & POLLIN) {
                bytes q(4096);
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t n = recvfrom(udp_, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
                q.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
                ++udp_queries;
                const bytes a = respond_(q, false);
                if (!a.empty()) {
                    sendto(udp_, a.data(), a.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
                }
            }
            if (fds[1].revents & POLLIN) {
                const int c = accept(tcp_, nullptr, nullptr);
                std::uint8_t len[2];
                if (recv(c, len, 2, MSG_WAITALL) == 2) {
                    bytes q(static_cast<std::size_t>(len[0] << 8 | len[1]));
                    recv(c, q.data(), q.size(), MSG_WAITALL);
                    ++tcp_queries;
                    const bytes a = respond_(q, true);
                    const std::uint8_t alen[2] = {static_cast<std::uint8_t>(a.size() >> 8), static_cast<std::uint8_t>(a.size())};
                    send(c, alen, 2, MSG_NOSIGNAL);
                    send(c, a.data(), a.size(), MSG_NOSIGNAL);
                }
                close(c);
            }
        }
    }

    respond_fn respond_;
    int udp_ = -1, tcp_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace pelto::tun::testing
