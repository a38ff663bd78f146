// The Shadowsocks 2022 stream against the independent Python server (tests/peers), with local
// origins behind it: relaying both ways in single- and multi-user mode, reaching the requested
// destination, and ending cleanly and promptly against each deliberate misbehaviour.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "crypto/encoding.h"
#include "net/socket.h"
#include "proxy/ss_stream.h"
#include "net/testing/loopback.h"
#include "tests/support/child_process.h"

namespace pelto {
namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// The Python server as a child process; its first output line names the port it listens on.
class peer_process {
public:
    bool start(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {"/usr/bin/python3", PELTO_SS2022_PEER};
        argv.insert(argv.end(), args.begin(), args.end());
        if (!process_.start(argv)) {
            return false;
        }
        const std::string first = process_.wait_for_line("listening ", 15s);
        if (first.empty()) {
            return false;
        }
        port_ = static_cast<std::uint16_t>(std::stoi(first.substr(10)));
        return true;
    }
    int stop() { return process_.stop(); }
    std::uint16_t port() const { return port_; }
    std::string wait_for_line(const std::string& prefix, std::chrono::milliseconds timeout)
    {
        return process_.wait_for_line(prefix, timeout);
    }

private:
    testing::child_process process_;
    std::uint16_t port_ = 0;
};

// An origin that greets each connection with "origin NAME\n" and then echoes everything.
class echo_origin {
public:
    explicit echo_origin(std::string name) : banner_("origin " + name + "\n")
    {
        ok_ = listener_.ok();
        if (ok_) {
            acceptor_ = std::thread([this] { accept_loop(); });
        }
    }
    ~echo_origin()
    {
        stopping_ = true;
        if (acceptor_.joinable()) {
            acceptor_.join();
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (socket_handle s : open_) {
                stop_one(s);
            }
        }
        for (std::thread& t : workers_) {
            t.join();
        }
    }
    bool ok() const { return ok_; }
    std::uint16_t port() const { return listener_.port(); }
    const std::string& banner() const { return banner_; }

private:
    static void stop_one(socket_handle s)
    {
        // Wakes a worker blocked in recv; the worker closes its socket itself.
        ::shutdown(static_cast<int>(s), SHUT_RDWR);
    }

    void accept_loop()
    {
        while (!stopping_) {
            const socket_handle s = listener_.accept(100);
            if (s == invalid_socket_handle) {
                continue;
            }
            if (!register_socket(s)) {
                testing::close_unregistered(s);
                continue;
            }
            std::lock_guard<std::mutex> guard(lock_);
            open_.push_back(s);
            workers_.emplace_back([this, s] { serve(s); });
        }
    }

    void serve(socket_handle s)
    {
        const auto* greeting = reinterpret_cast<const std::uint8_t*>(banner_.data());
        if (send_all(s, greeting, static_cast<std::int32_t>(banner_.size()))) {
            std::uint8_t buffer[16384];
            for (;;) {
                const std::int32_t n = recv_some(s, buffer, sizeof buffer);
                if (n < 1 || !send_all(s, buffer, n)) {
                    break;
                }
            }
        }
        std::lock_guard<std::mutex> guard(lock_);
        std::erase(open_, s);
        close_socket(s);
    }

    std::string banner_;
    testing::loopback_listener listener_;
    bool ok_ = false;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex lock_;
    std::vector<socket_handle> open_;
    std::vector<std::thread> workers_;
};

bytes key_of(std::uint8_t first)
{
    bytes key(16);
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint8_t>(first + i * 13);
    }
    return key;
}

const bytes user_key = key_of(1);
const bytes other_user_key = key_of(2);
const bytes identity_key = key_of(3);

std::string b64(const bytes& key)
{
    return base64_encode(key);
}

node_record ss_node(const bytes& user, const bytes& identity = {})
{
    node_record node;
    node.protocol = node_protocol::shadowsocks;
    node.server = "127.0.0.1";
    node.user_key = user;
    node.identity_key = identity;
    return node;
}

class ss2022_interop : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(net_startup()); }

    std::vector<std::string> single_user(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--psk", b64(user_key), "--map", "a.test=127.0.0.1",
                                         "--map", "b.test=127.0.0.1", "--drain-seconds", "0.5"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // A stream through the peer to host:port, or null.
    std::unique_ptr<ss_stream> dial(const peer_process& peer, const node_record& node,
                                    const std::string& host, std::uint16_t port)
    {
        std::u16string error;
        socket_handle s = invalid_socket_handle;
        if (!tcp_connect("127.0.0.1", peer.port(), 5000, 10000, s, error)) {
            ADD_FAILURE() << "connect to the peer failed";
            return nullptr;
        }
        auto stream = std::make_unique<ss_stream>(s);
        if (!stream->request(node, host, port, {}, error)) {
            ADD_FAILURE() << "request failed";
            return nullptr;
        }
        return stream;
    }

    // Reads until `want` bytes arrived or the stream ends.
    static std::string read_text(ss_stream& stream, std::size_t want)
    {
        std::string got;
        std::uint8_t buffer[4096];
        while (got.size() < want) {
            const std::int32_t n = stream.read(
                buffer, static_cast<std::int32_t>(std::min(sizeof buffer, want - got.size())));
            if (n < 1) {
                break;
            }
            got.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
        }
        return got;
    }

    // Sends `size` patterned bytes in uneven writes from a second thread while reading the echo.
    static void expect_echo(ss_stream& stream, std::size_t size)
    {
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            data[i] = static_cast<char>((i * 31 + i / 977) & 0xFF);
        }
        std::thread writer([&] {
            std::size_t at = 0;
            std::size_t step = 30000;  // two full chunks and a part per write
            while (at < size) {
                const std::size_t n = std::min(step, size - at);
                ASSERT_TRUE(stream.write(reinterpret_cast<const std::uint8_t*>(data.data() + at),
                                         static_cast<std::int32_t>(n)));
                at += n;
                step = step == 30000 ? 777 : 30000;
            }
        });
        const std::string echoed = read_text(stream, size);
        writer.join();
        EXPECT_EQ(echoed.size(), size);
        EXPECT_TRUE(echoed == data);
    }
};

TEST_F(ss2022_interop, single_user_relays_both_ways_to_the_requested_origin)
{
    echo_origin a("a"), b("b");
    ASSERT_TRUE(a.ok() && b.ok());
    peer_process peer;
    ASSERT_TRUE(peer.start(single_user()));
    for (echo_origin* origin : {&a, &b}) {
        const std::string host = origin == &a ? "a.test" : "b.test";
        auto stream = dial(peer, ss_node(user_key), host, origin->port());
        ASSERT_TRUE(stream);
        EXPECT_EQ(read_text(*stream, origin->banner().size()), origin->banner());
        EXPECT_FALSE(
            peer.wait_for_line("connect " + host + " " + std::to_string(origin->port()), 5s)
                .empty());
        expect_echo(*stream, 100000);
    }
    EXPECT_EQ(peer.stop(), 0);
}

TEST_F(ss2022_interop, multi_user_relays_and_an_unknown_user_is_refused)
{
    echo_origin a("a");
    ASSERT_TRUE(a.ok());
    peer_process peer;
    ASSERT_TRUE(peer.start({"--ipsk", b64(identity_key), "--user", b64(other_user_key), "--user",
                            b64(user_key), "--map", "a.test=127.0.0.1", "--drain-seconds",
                            "0.5"}));
    auto stream = dial(peer, ss_node(user_key, identity_key), "a.test", a.port());
    ASSERT_TRUE(stream);
    EXPECT_EQ(read_text(*stream, a.banner().size()), a.banner());
    expect_echo(*stream, 70000);

    auto stranger = dial(peer, ss_node(key_of(9), identity_key), "a.test", a.port());
    ASSERT_TRUE(stranger);
    const auto started = steady::now();
    EXPECT_EQ(read_text(*stranger, 1), "");
    EXPECT_LT(steady::now() - started, 5s);
    EXPECT_FALSE(peer.wait_for_line("reject unknown user", 5s).empty());
    EXPECT_EQ(peer.stop(), 0);
}

TEST_F(ss2022_interop, full_size_and_empty_server_chunks_are_relayed)
{
    echo_origin a("a");
    ASSERT_TRUE(a.ok());
    // Empty payloads come sealed (their tag alone): after a header announcing length 0, and as
    // chunks of length 0 between data chunks.
    const std::vector<std::string> variants[] = {{"--chunk-size", "65535", "--fill-chunks"},
                                                 {"--empty-first-payload"},
                                                 {"--zero-chunks"},
                                                 {"--empty-first-payload", "--zero-chunks"}};
    for (const std::vector<std::string>& switches : variants) {
        SCOPED_TRACE(switches.back());
        peer_process peer;
        ASSERT_TRUE(peer.start(single_user(switches)));
        auto stream = dial(peer, ss_node(user_key), "a.test", a.port());
        ASSERT_TRUE(stream);
        EXPECT_EQ(read_text(*stream, a.banner().size()), a.banner());
        expect_echo(*stream, 1 << 20);
        stream.reset();
        EXPECT_EQ(peer.stop(), 0);
    }
}

TEST_F(ss2022_interop, misbehaving_server_ends_the_stream_promptly)
{
    echo_origin a("a");
    ASSERT_TRUE(a.ok());
    struct scenario {
        std::vector<std::string> switches;
        bool banner_arrives;  // the fault lies after the first payload
    };
    const scenario scenarios[] = {
        {{"--misbehave", "bad-salt-echo"}, false},
        {{"--misbehave", "wrong-type"}, false},
        {{"--misbehave", "corrupt-header-tag"}, false},
        {{"--misbehave", "early-close"}, false},
        {{"--timestamp-offset", "33"}, false},  // margin: a future stamp nears the window as seconds pass
        {{"--timestamp-offset", "-31"}, false},
        {{"--misbehave", "corrupt-data-tag"}, true},
        {{"--misbehave", "truncated-zero-chunk"}, true},
    };
    for (const scenario& s : scenarios) {
        SCOPED_TRACE(s.switches.back());
        peer_process peer;
        ASSERT_TRUE(peer.start(single_user(s.switches)));
        auto stream = dial(peer, ss_node(user_key), "a.test", a.port());
        ASSERT_TRUE(stream);
        const auto started = steady::now();
        if (s.banner_arrives) {
            EXPECT_EQ(read_text(*stream, a.banner().size()), a.banner());
            const std::uint8_t ping[] = {'p', 'i', 'n', 'g'};
            EXPECT_TRUE(stream->write(ping, 4));
        }
        std::uint8_t buffer[64];
        EXPECT_EQ(stream->read(buffer, sizeof buffer), 0);
        EXPECT_EQ(stream->read(buffer, sizeof buffer), 0);
        EXPECT_LT(steady::now() - started, 5s);
        stream.reset();
        EXPECT_EQ(peer.stop(), 0);
    }
}

}  // namespace
}  // namespace pelto
