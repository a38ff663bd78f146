#include "proxy/dial.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/socket.h"
#include "net/testing/loopback.h"

namespace pelto {
namespace {

using testing::close_unregistered;
using testing::loopback_listener;

class dial_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(net_startup());
        clear_stop();
        // Winsock needs its start-up before the first socket.
        listener_ = std::make_unique<loopback_listener>();
        ASSERT_TRUE(listener_->ok());
    }
    void TearDown() override
    {
        clear_stop();
        net_cleanup();
    }

    node_record node_at(node_protocol protocol, std::uint16_t port)
    {
        node_record node;
        node.protocol = protocol;
        node.server = "127.0.0.1";
        node.port = port;
        node.tls_server_name = "node.test";
        node.password = "secret";
        node.user_key = bytes(16, 0x42);
        return node;
    }

    // The port of a listener that is gone: connects to it are refused.
    static std::uint16_t closed_port()
    {
        loopback_listener gone;
        return gone.port();
    }

    std::unique_ptr<loopback_listener> listener_;
};

// Requests that no node could carry are refused with a text before any connection is opened:
// an unknown protocol, VLESS with Vision but neither TLS nor REALITY (or with WebSocket), and for
// Trojan and VLESS a destination host that is empty or too long for its one-byte length.
TEST_F(dial_test, undeliverable_requests_fail_before_connecting)
{
    struct request {
        node_record node;
        std::string host;
    };
    std::vector<request> requests;
    for (const node_protocol protocol : {static_cast<node_protocol>(7), static_cast<node_protocol>(-1)}) {
        requests.push_back({node_at(protocol, listener_->port()), "www.service.test"});
    }
    // The Vision flow needs TLS or REALITY under it, and no WebSocket.
    node_record vision = node_at(node_protocol::vless, listener_->port());
    vision.vless.flow = vless_flow::vision;
    requests.push_back({vision, "www.service.test"});
    node_record vision_ws = vision;
    vision_ws.vless.transport = vless_transport::tls_websocket;
    requests.push_back({vision_ws, "www.service.test"});
    for (const node_protocol protocol : {node_protocol::trojan, node_protocol::vless}) {
        requests.push_back({node_at(protocol, listener_->port()), ""});
        requests.push_back({node_at(protocol, listener_->port()), std::string(256, 'a')});
    }
    for (const request& r : requests) {
        std::u16string error;
        auto s = dial_node(r.node, r.host, 443, 2000, 2000, bytes{}, error);
        EXPECT_EQ(s, nullptr) << static_cast<int>(r.node.protocol) << " " << r.host.size();
        EXPECT_FALSE(error.empty()) << static_cast<int>(r.node.protocol) << " " << r.host.size();
    }
    const socket_handle nobody = listener_->accept(200);
    EXPECT_EQ(nobody, invalid_socket_handle);
    close_unregistered(nobody);
}

TEST_F(dial_test, an_unreachable_node_reports_the_connect_error)
{
    std::u16string connect_error;
    socket_handle unused = invalid_socket_handle;
    const std::uint16_t port = closed_port();
    ASSERT_FALSE(tcp_connect("127.0.0.1", port, 1000, 1000, unused, connect_error));

    for (const node_protocol protocol : {node_protocol::shadowsocks, node_protocol::trojan, node_protocol::vless}) {
        std::u16string error;
        auto s = dial_node(node_at(protocol, port), "www.service.test", 443, 1000, 1000, bytes{}, error);
        EXPECT_EQ(s, nullptr) << static_cast<int>(protocol);
        EXPECT_EQ(error, connect_error) << static_cast<int>(protocol);
    }
}

TEST_F(dial_test, tun_factory_dials_only_served_hosts_and_ports)
{
    int snapshots = 0;
    const std::uint16_t port = listener_->port();
    dial_fn dial = make_tun_dial_fn(
        [](std::string_view host) { return host.ends_with(".service.test"); },
        [&] {
            ++snapshots;
            return node_at(node_protocol::shadowsocks, port);
        });

    std::u16string error;
    EXPECT_EQ(dial("elsewhere.test", 443, error), nullptr);
    EXPECT_FALSE(error.empty());
    error.clear();
    EXPECT_EQ(dial("www.service.test", 0, error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(snapshots, 0);
    EXPECT_EQ(listener_->accept(200), invalid_socket_handle);

    error.clear();
    std::unique_ptr<tun_conn> conn = dial("www.service.test", 443, error);
    ASSERT_NE(conn, nullptr) << std::string(error.begin(), error.end());
    EXPECT_EQ(snapshots, 1);
    const socket_handle server = listener_->accept();
    EXPECT_NE(server, invalid_socket_handle);
    const std::uint8_t data[3] = {1, 2, 3};
    EXPECT_TRUE(conn->write(data, 3));
    conn->close();
    EXPECT_FALSE(conn->write(data, 3));
    close_unregistered(server);

    tun_dial empty(nullptr);
    EXPECT_EQ(empty.read(nullptr, 1), 0);
    EXPECT_FALSE(empty.write(data, 3));
    empty.close();
}

}  // namespace
}  // namespace pelto
