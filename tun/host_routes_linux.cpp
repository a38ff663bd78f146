#include "tun/host_routes.h"

#include <cerrno>
#include <cstring>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace pelto::tun {

namespace {

// Marks our routes in the main table (values above the kernel's own are free for programs).
constexpr std::uint8_t route_protocol = 94;

// One rtnetlink request and its acknowledgement.
class netlink_routes final : public host_routes {
public:
    explicit netlink_routes(int interface_index) : index_(interface_index) {}

    bool add(std::uint32_t address, std::uint32_t& out_error) override
    {
        return request(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_REPLACE, address, out_error);
    }
    bool remove(std::uint32_t address, std::uint32_t& out_error) override
    {
        if (request(RTM_DELROUTE, 0, address, out_error)) {
            return true;
        }
        return out_error == ESRCH ? (out_error = 0, true) : false;
    }

private:
    bool request(std::uint16_t type, std::uint16_t flags, std::uint32_t address, std::uint32_t& out_error)
    {
        out_error = 0;
        struct {
            nlmsghdr header;
            rtmsg route;
            char attributes[64];
        } message{};
        message.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
        message.header.nlmsg_type = type;
        message.header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
        message.header.nlmsg_seq = ++sequence_;
        message.route.rtm_family = AF_INET;
        message.route.rtm_dst_len = 32;
        message.route.rtm_table = RT_TABLE_MAIN;
        message.route.rtm_protocol = route_protocol;
        message.route.rtm_scope = RT_SCOPE_LINK;
        message.route.rtm_type = RTN_UNICAST;
        add_attribute(message.header, RTA_DST, &address, 4);
        const std::uint32_t index = static_cast<std::uint32_t>(index_);
        add_attribute(message.header, RTA_OIF, &index, 4);

        const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd < 0) {
            out_error = static_cast<std::uint32_t>(errno);
            return false;
        }
        timeval tv{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        bool ok = sendto(fd, &message, message.header.nlmsg_len, 0,
                         reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) ==
                  static_cast<ssize_t>(message.header.nlmsg_len);
        if (!ok) {
            out_error = static_cast<std::uint32_t>(errno);
        } else {
            char reply[512];
            const ssize_t n = recv(fd, reply, sizeof reply, 0);
            const auto* h = reinterpret_cast<const nlmsghdr*>(reply);
            if (n < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) || h->nlmsg_type != NLMSG_ERROR) {
                out_error = n < 0 ? static_cast<std::uint32_t>(errno) : EPROTO;
                ok = false;
            } else {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
                out_error = static_cast<std::uint32_t>(-error->error);
                ok = error->error == 0;
            }
        }
        close(fd);
        return ok;
    }

    static void add_attribute(nlmsghdr& header, std::uint16_t type, const void* data, std::size_t length)
    {
        auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&header) + NLMSG_ALIGN(header.nlmsg_len));
        attribute->rta_type = type;
        attribute->rta_len = static_cast<std::uint16_t>(RTA_LENGTH(length));
        std::memcpy(RTA_DATA(attribute), data, length);
        header.nlmsg_len = NLMSG_ALIGN(header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);
    }

    int index_;
    std::uint32_t sequence_ = 0;
};

}  // namespace

std::unique_ptr<host_routes> make_system_host_routes(std::uint64_t interface_id)
{
    return std::make_unique<netlink_routes>(static_cast<int>(interface_id));
}

}  // namespace pelto::tun
