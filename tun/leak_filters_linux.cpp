// Leak-protection filters as an nftables table owned by this process: the table is made with the
// owner flag over a netlink socket this object keeps open, so it vanishes when the socket closes,
// however the process ends. It holds a set of IPv4 and one of IPv6 addresses and an output chain
// that refuses traffic to an IPv4 address of the set leaving by any interface but the adapter,
// and all traffic to an IPv6 address of the set (a TCP reset or an ICMP refusal, never a silent
// drop).

#include "tun/tun_system.h"

#include "base/obfuscated.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <libmnl/libmnl.h>
#include <libnftnl/chain.h>
#include <libnftnl/common.h>
#include <libnftnl/expr.h>
#include <libnftnl/rule.h>
#include <libnftnl/set.h>
#include <libnftnl/table.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <sys/time.h>

namespace pelto::tun {

namespace {

constexpr std::uint32_t set_id_v4 = 1;
constexpr std::uint32_t set_id_v6 = 2;
constexpr std::uint32_t key_type_ipv4 = 7;  // nftables' ipv4_addr
constexpr std::uint32_t key_type_ipv6 = 8;  // nftables' ipv6_addr

std::string table_name() { return PELTO_TEXT("pelto_tun").str(); }
std::string chain_name() { return PELTO_TEXT("output").str(); }
std::string set_name(bool ipv6) { return ipv6 ? PELTO_TEXT("routed6").str() : PELTO_TEXT("routed4").str(); }

// One batch of nftables messages; every message asks for an acknowledgement.
class batch {
public:
    batch() : buffer_(65536), handle_(mnl_nlmsg_batch_start(buffer_.data(), buffer_.size())) {}
    ~batch() { mnl_nlmsg_batch_stop(handle_); }
    batch(const batch&) = delete;
    batch& operator=(const batch&) = delete;

    void begin(std::uint32_t& seq)
    {
        nftnl_batch_begin(static_cast<char*>(mnl_nlmsg_batch_current(handle_)), seq++);
        mnl_nlmsg_batch_next(handle_);
    }
    nlmsghdr* message(std::uint16_t type, std::uint16_t flags, std::uint32_t& seq)
    {
        nlmsghdr* h = nftnl_nlmsg_build_hdr(static_cast<char*>(mnl_nlmsg_batch_current(handle_)), type,
                                            NFPROTO_INET, static_cast<std::uint16_t>(flags | NLM_F_ACK), seq++);
        ++acks_;
        return h;
    }
    void next() { mnl_nlmsg_batch_next(handle_); }
    void end(std::uint32_t& seq)
    {
        nftnl_batch_end(static_cast<char*>(mnl_nlmsg_batch_current(handle_)), seq++);
        mnl_nlmsg_batch_next(handle_);
    }
    const void* data() const { return mnl_nlmsg_batch_head(handle_); }
    std::size_t size() const { return mnl_nlmsg_batch_size(handle_); }
    int acks() const { return acks_; }

private:
    std::vector<char> buffer_;
    mnl_nlmsg_batch* handle_;
    int acks_ = 0;
};

nftnl_expr* expression(const char* name) { return nftnl_expr_alloc(name); }

void add_meta(nftnl_rule* r, std::uint32_t key)
{
    nftnl_expr* e = expression("meta");
    nftnl_expr_set_u32(e, NFTNL_EXPR_META_KEY, key);
    nftnl_expr_set_u32(e, NFTNL_EXPR_META_DREG, NFT_REG_1);
    nftnl_rule_add_expr(r, e);
}

void add_compare(nftnl_rule* r, std::uint32_t op, const void* data, std::uint32_t length)
{
    nftnl_expr* e = expression("cmp");
    nftnl_expr_set_u32(e, NFTNL_EXPR_CMP_SREG, NFT_REG_1);
    nftnl_expr_set_u32(e, NFTNL_EXPR_CMP_OP, op);
    nftnl_expr_set(e, NFTNL_EXPR_CMP_DATA, data, length);
    nftnl_rule_add_expr(r, e);
}

void add_destination(nftnl_rule* r, bool ipv6)
{
    nftnl_expr* e = expression("payload");
    nftnl_expr_set_u32(e, NFTNL_EXPR_PAYLOAD_BASE, NFT_PAYLOAD_NETWORK_HEADER);
    nftnl_expr_set_u32(e, NFTNL_EXPR_PAYLOAD_OFFSET, ipv6 ? 24 : 16);
    nftnl_expr_set_u32(e, NFTNL_EXPR_PAYLOAD_LEN, ipv6 ? 16 : 4);
    nftnl_expr_set_u32(e, NFTNL_EXPR_PAYLOAD_DREG, NFT_REG_1);
    nftnl_rule_add_expr(r, e);
}

void add_lookup(nftnl_rule* r, bool ipv6)
{
    nftnl_expr* e = expression("lookup");
    nftnl_expr_set_u32(e, NFTNL_EXPR_LOOKUP_SREG, NFT_REG_1);
    nftnl_expr_set_str(e, NFTNL_EXPR_LOOKUP_SET, set_name(ipv6).c_str());
    nftnl_expr_set_u32(e, NFTNL_EXPR_LOOKUP_SET_ID, ipv6 ? set_id_v6 : set_id_v4);
    nftnl_rule_add_expr(r, e);
}

// Blocked traffic is refused, not silently dropped, so that a program forced around the adapter
// fails at once instead of waiting out its connect time-out: TCP is answered with a reset (the
// connect fails with ECONNREFUSED), anything else with an administratively-prohibited ICMP or
// ICMPv6 unreachable. The blocked packet itself is still dropped (a local send fails with EPERM).
void add_reject(nftnl_rule* r, bool tcp)
{
    nftnl_expr* e = expression("reject");
    if (tcp) {
        nftnl_expr_set_u32(e, NFTNL_EXPR_REJECT_TYPE, NFT_REJECT_TCP_RST);
        nftnl_expr_set_u8(e, NFTNL_EXPR_REJECT_CODE, 0);
    } else {
        nftnl_expr_set_u32(e, NFTNL_EXPR_REJECT_TYPE, NFT_REJECT_ICMPX_UNREACH);
        nftnl_expr_set_u8(e, NFTNL_EXPR_REJECT_CODE, NFT_REJECT_ICMPX_ADMIN_PROHIBITED);
    }
    nftnl_rule_add_expr(r, e);
}

class nft_filters final : public leak_filters {
public:
    explicit nft_filters(std::uint32_t adapter_index) : adapter_index_(adapter_index) {}
    ~nft_filters() override
    {
        if (socket_ != nullptr) {
            mnl_socket_close(socket_);  // the owned table goes with the socket
        }
    }

    bool open(std::u16string& out_message)
    {
        socket_ = mnl_socket_open(NETLINK_NETFILTER);
        if (socket_ == nullptr || mnl_socket_bind(socket_, 0, MNL_SOCKET_AUTOPID) != 0) {
            return report(out_message, static_cast<std::uint32_t>(errno));
        }
        timeval tv{2, 0};
        setsockopt(mnl_socket_get_fd(socket_), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

        batch b;
        b.begin(seq_);
        nftnl_table* t = nftnl_table_alloc();
        nftnl_table_set_str(t, NFTNL_TABLE_NAME, table_name().c_str());
        nftnl_table_set_u32(t, NFTNL_TABLE_FAMILY, NFPROTO_INET);
        nftnl_table_set_u32(t, NFTNL_TABLE_FLAGS, NFT_TABLE_F_OWNER);
        nftnl_table_nlmsg_build_payload(b.message(NFT_MSG_NEWTABLE, NLM_F_CREATE | NLM_F_EXCL, seq_), t);
        nftnl_table_free(t);
        b.next();

        for (bool ipv6 : {false, true}) {
            nftnl_set* s = nftnl_set_alloc();
            nftnl_set_set_str(s, NFTNL_SET_TABLE, table_name().c_str());
            nftnl_set_set_str(s, NFTNL_SET_NAME, set_name(ipv6).c_str());
            nftnl_set_set_u32(s, NFTNL_SET_FAMILY, NFPROTO_INET);
            nftnl_set_set_u32(s, NFTNL_SET_KEY_LEN, ipv6 ? 16 : 4);
            nftnl_set_set_u32(s, NFTNL_SET_KEY_TYPE, ipv6 ? key_type_ipv6 : key_type_ipv4);
            nftnl_set_set_u32(s, NFTNL_SET_ID, ipv6 ? set_id_v6 : set_id_v4);
            nftnl_set_nlmsg_build_payload(b.message(NFT_MSG_NEWSET, NLM_F_CREATE, seq_), s);
            nftnl_set_free(s);
            b.next();
        }

        nftnl_chain* c = nftnl_chain_alloc();
        nftnl_chain_set_str(c, NFTNL_CHAIN_TABLE, table_name().c_str());
        nftnl_chain_set_str(c, NFTNL_CHAIN_NAME, chain_name().c_str());
        nftnl_chain_set_u32(c, NFTNL_CHAIN_HOOKNUM, NF_INET_LOCAL_OUT);
        nftnl_chain_set_s32(c, NFTNL_CHAIN_PRIO, 0);
        nftnl_chain_set_str(c, NFTNL_CHAIN_TYPE, "filter");
        nftnl_chain_set_u32(c, NFTNL_CHAIN_POLICY, NF_ACCEPT);
        nftnl_chain_nlmsg_build_payload(b.message(NFT_MSG_NEWCHAIN, NLM_F_CREATE, seq_), c);
        nftnl_chain_free(c);
        b.next();

        // Per family two rules: TCP is reset, everything else (after it) gets the ICMP refusal.
        const std::pair<bool, bool> kinds[] = {{false, true}, {false, false}, {true, true}, {true, false}};
        for (const auto& [ipv6, tcp] : kinds) {
            nftnl_rule* r = nftnl_rule_alloc();
            nftnl_rule_set_str(r, NFTNL_RULE_TABLE, table_name().c_str());
            nftnl_rule_set_str(r, NFTNL_RULE_CHAIN, chain_name().c_str());
            nftnl_rule_set_u32(r, NFTNL_RULE_FAMILY, NFPROTO_INET);
            const std::uint8_t proto = ipv6 ? NFPROTO_IPV6 : NFPROTO_IPV4;
            add_meta(r, NFT_META_NFPROTO);
            add_compare(r, NFT_CMP_EQ, &proto, 1);
            if (tcp) {
                const std::uint8_t l4 = IPPROTO_TCP;
                add_meta(r, NFT_META_L4PROTO);
                add_compare(r, NFT_CMP_EQ, &l4, 1);
            }
            add_destination(r, ipv6);
            add_lookup(r, ipv6);
            if (!ipv6) {
                add_meta(r, NFT_META_OIF);
                add_compare(r, NFT_CMP_NEQ, &adapter_index_, 4);
            }
            add_reject(r, tcp);
            nftnl_rule_nlmsg_build_payload(b.message(NFT_MSG_NEWRULE, NLM_F_CREATE | NLM_F_APPEND, seq_), r);
            nftnl_rule_free(r);
            b.next();
        }
        b.end(seq_);
        const std::uint32_t error = exchange(b);
        return error == 0 || report(out_message, error);
    }

    bool add(byte_span address, bool ipv6) override { return element(address, ipv6, true) == 0; }

    void remove(byte_span address, bool ipv6) override { element(address, ipv6, false); }

private:
    static bool report(std::u16string& out_message, std::uint32_t code)
    {
        out_message = PELTO_TEXT(u"the leak-protection filters could not be enabled, error ").str();
        for (char c : std::to_string(code)) {
            out_message.push_back(static_cast<char16_t>(c));
        }
        return false;
    }

    std::uint32_t element(byte_span address, bool ipv6, bool add)
    {
        if (address.size() != (ipv6 ? 16u : 4u)) {
            return EINVAL;
        }
        std::lock_guard hold(lock_);
        batch b;
        b.begin(seq_);
        nftnl_set* s = nftnl_set_alloc();
        nftnl_set_set_str(s, NFTNL_SET_TABLE, table_name().c_str());
        nftnl_set_set_str(s, NFTNL_SET_NAME, set_name(ipv6).c_str());
        nftnl_set_set_u32(s, NFTNL_SET_FAMILY, NFPROTO_INET);
        nftnl_set_elem* e = nftnl_set_elem_alloc();
        nftnl_set_elem_set(e, NFTNL_SET_ELEM_KEY, address.data(), static_cast<std::uint32_t>(address.size()));
        nftnl_set_elem_add(s, e);
        nftnl_set_elems_nlmsg_build_payload(
            b.message(add ? NFT_MSG_NEWSETELEM : NFT_MSG_DELSETELEM, add ? NLM_F_CREATE : 0, seq_), s);
        nftnl_set_free(s);
        b.next();
        b.end(seq_);
        const std::uint32_t error = exchange(b);
        // An element already present, or already gone, is what was asked for.
        return (error == EEXIST || (!add && error == ENOENT)) ? 0 : error;
    }

    // Sends the batch and reads one acknowledgement per message; the first error code, or 0.
    std::uint32_t exchange(const batch& b)
    {
        if (mnl_socket_sendto(socket_, b.data(), b.size()) < 0) {
            return static_cast<std::uint32_t>(errno);
        }
        std::vector<char> reply(MNL_SOCKET_BUFFER_SIZE);
        int acks = 0;
        std::uint32_t first_error = 0;
        while (acks < b.acks()) {
            const ssize_t n = mnl_socket_recvfrom(socket_, reply.data(), reply.size());
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return first_error != 0 ? first_error : static_cast<std::uint32_t>(errno);
            }
            int left = static_cast<int>(n);
            for (auto* h = reinterpret_cast<const nlmsghdr*>(reply.data()); NLMSG_OK(h, left);
                 h = NLMSG_NEXT(h, left)) {
                if (h->nlmsg_type != NLMSG_ERROR) {
                    continue;
                }
                ++acks;
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
                if (error->error != 0 && first_error == 0) {
                    first_error = static_cast<std::uint32_t>(-error->error);
                    // A failed batch is aborted: no further acknowledgements follow.
                    return first_error;
                }
            }
        }
        return first_error;
    }

    std::uint32_t adapter_index_;
    mnl_socket* socket_ = nullptr;
    std::uint32_t seq_ = 1;
    std::mutex lock_;
};

}  // namespace

std::unique_ptr<leak_filters> open_leak_filters(std::uint64_t adapter_id, std::u16string& out_message)
{
    auto filters = std::make_unique<nft_filters>(static_cast<std::uint32_t>(adapter_id));
    if (!filters->open(out_message)) {
        return nullptr;
    }
    return filters;
}

}  // namespace pelto::tun
