// The device calls over a non-persistent Linux TUN device (IFF_TUN | IFF_NO_PI): the device, its
// address and its routes vanish when its descriptor is closed. The wait handle is the descriptor
// plus one (0 stays a valid descriptor; null means none), as the reader's poll expects.
//
// The device carries a virtio network header before every packet (IFF_VNET_HDR) and takes TCP
// segmentation offload: the system hands over up to 64 KiB of one connection's data in a single
// read, and a single write of up to 64 KiB of data is cut into segments by the system, so a
// transfer costs a system call per 64 KiB instead of one per 1380 bytes. Received checksums are
// then not complete (nothing here checks them); sent ones the data plane computes, except for an
// offloaded segment, whose TCP checksum the system finishes.

#include "tun/device_library.h"

#include "tun/packet.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <net/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pelto::tun {

namespace {

thread_local std::uint32_t last_device_error = 0;

struct linux_adapter {
    int fd = -1;
    std::string name;
    unsigned index = 0;
};

// The virtio network header (struct virtio_net_hdr of <linux/virtio_net.h>, which does not
// compile as C++), in the host's byte order as the device uses it.
struct vnet_header {
    std::uint8_t flags;
    std::uint8_t gso_type;
    std::uint16_t hdr_len;      // IP and TCP headers
    std::uint16_t gso_size;     // data bytes per segment
    std::uint16_t csum_start;   // where the checksummed bytes begin
    std::uint16_t csum_offset;  // the checksum field, from csum_start
};
static_assert(sizeof(vnet_header) == 10);
constexpr std::uint8_t vnet_needs_checksum = 1;
constexpr std::uint8_t vnet_gso_tcpv4 = 1;

constexpr std::size_t vnet_size = sizeof(vnet_header);
// The largest IPv4 packet, behind its virtio header.
constexpr std::size_t receive_size = vnet_size + 65535;
// TCP data per offloaded write: whole segments, and the packet stays under 64 KiB.
constexpr std::uint32_t offload_data_limit = (65000 - 60) / announced_mss * announced_mss;

struct linux_session {
    linux_adapter* adapter = nullptr;
    std::vector<std::uint8_t> receive_buffer = std::vector<std::uint8_t>(receive_size);
    // The virtio header, then the packet being sent (`send_size` bytes of both); allocated once,
    // never filled: an ACK after a 64 KiB packet must not cost a clearing of 64 KiB.
    std::unique_ptr<std::uint8_t[]> send_buffer =
        std::make_unique_for_overwrite<std::uint8_t[]>(receive_size);
    std::size_t send_size = 0;
};

bool narrow_name(const char16_t* name, std::string& out)
{
    out.clear();
    for (; name != nullptr && *name != 0; ++name) {
        if (*name > 0x7E || *name <= 0x20 || *name == '/') {
            return false;
        }
        out.push_back(static_cast<char>(*name));
    }
    return !out.empty() && out.size() < IFNAMSIZ;  // at most 15 bytes
}

void disable_ipv6(const std::string& name)
{
    // Without this the kernel gives the device a link-local address and sends IPv6 into it.
    const std::string path = "/proc/sys/net/ipv6/conf/" + name + "/disable_ipv6";
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t n = write(fd, "1", 1);
        close(fd);
    }
}

void* create_adapter(const char16_t* name, const char16_t*, const device_guid*)
{
    std::string narrow;
    if (!narrow_name(name, narrow)) {
        last_device_error = EINVAL;
        return nullptr;
    }
    const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        last_device_error = static_cast<std::uint32_t>(errno);
        return nullptr;
    }
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI | IFF_VNET_HDR;
    std::memcpy(request.ifr_name, narrow.c_str(), narrow.size());
    const int header_size = static_cast<int>(vnet_size);
    if (ioctl(fd, TUNSETIFF, &request) != 0 || ioctl(fd, TUNSETVNETHDRSZ, &header_size) != 0) {
        last_device_error = static_cast<std::uint32_t>(errno);
        close(fd);
        return nullptr;
    }
    // Large reads are an optimisation: without them every packet still comes one segment each.
    [[maybe_unused]] const int offload = ioctl(fd, TUNSETOFFLOAD, TUN_F_CSUM | TUN_F_TSO4);
    auto* adapter = new linux_adapter{fd, request.ifr_name, if_nametoindex(request.ifr_name)};
    disable_ipv6(adapter->name);
    return adapter;
}

// A non-persistent device exists only with its descriptor: there is nothing to open by name.
void* open_adapter(const char16_t*) { return nullptr; }

void close_adapter(void* adapter)
{
    auto* a = static_cast<linux_adapter*>(adapter);
    if (a != nullptr) {
        close(a->fd);
        delete a;
    }
}

// The interface index stands in for the LUID.
void get_adapter_luid(void* adapter, std::uint64_t* out_luid)
{
    *out_luid = static_cast<linux_adapter*>(adapter)->index;
}

void* start_session(void* adapter, std::uint32_t)
{
    auto* a = static_cast<linux_adapter*>(adapter);
    const int flags = fcntl(a->fd, F_GETFL, 0);
    if (flags < 0 || fcntl(a->fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        last_device_error = static_cast<std::uint32_t>(errno);
        return nullptr;
    }
    return new linux_session{a};
}

void end_session(void* session) { delete static_cast<linux_session*>(session); }

void* get_read_wait_event(void* session)
{
    const int fd = static_cast<linux_session*>(session)->adapter->fd;
    return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1);
}

std::uint8_t* receive_packet(void* session, std::uint32_t* out_size)
{
    auto* s = static_cast<linux_session*>(session);
    for (;;) {
        const ssize_t n = read(s->adapter->fd, s->receive_buffer.data(), s->receive_buffer.size());
        if (n > 0) {
            // The header says how the system would cut the packet; the packet itself is whole.
            const std::size_t got = static_cast<std::size_t>(n);
            *out_size = static_cast<std::uint32_t>(got > vnet_size ? got - vnet_size : 0);
            return s->receive_buffer.data() + vnet_size;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // Nothing waiting, or the device is gone (EBADFD / EIO once the link was deleted).
        last_device_error = (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) ? device_error_none
                                                                                 : device_error_end;
        return nullptr;
    }
}

// One packet is lent at a time: the buffer is reused by the next receive.
void release_receive_packet(void*, const std::uint8_t*) {}

std::uint8_t* allocate_send_packet(void* session, std::uint32_t size)
{
    auto* s = static_cast<linux_session*>(session);
    if (size > receive_size - vnet_size) {
        return nullptr;  // no IPv4 packet is larger
    }
    s->send_size = vnet_size + size;
    return s->send_buffer.get() + vnet_size;
}

// The virtio header for a packet about to be written: none for one segment's worth, TCP
// segmentation for more, with the checksum left to the system (its field then holds the
// pseudo-header's sum, as the offload expects).
vnet_header header_for(std::uint8_t* packet, std::size_t size)
{
    vnet_header h{};
    const auto ip = parse_ipv4_packet(byte_span(packet, size));
    if (!ip || ip->header.protocol != ip_proto_tcp) {
        return h;
    }
    const auto tcp = parse_tcp_segment(ip->segment);
    if (!tcp || tcp->payload.size() <= announced_mss) {
        return h;
    }
    const std::size_t ip_length = ip->header.header_length;
    h.flags = vnet_needs_checksum;
    h.gso_type = vnet_gso_tcpv4;
    h.hdr_len = static_cast<std::uint16_t>(ip_length + tcp->header.header_length);
    h.gso_size = announced_mss;
    h.csum_start = static_cast<std::uint16_t>(ip_length);
    h.csum_offset = 16;  // the TCP checksum field
    const std::uint16_t partial =
        pseudo_header_sum(ip->header.source, ip->header.destination, ip_proto_tcp, ip->segment.size());
    packet[ip_length + 16] = static_cast<std::uint8_t>(partial >> 8);
    packet[ip_length + 17] = static_cast<std::uint8_t>(partial);
    return h;
}

void send_packet(void* session, const std::uint8_t*)
{
    auto* s = static_cast<linux_session*>(session);
    std::uint8_t* packet = s->send_buffer.get() + vnet_size;
    const vnet_header h = header_for(packet, s->send_size - vnet_size);
    std::memcpy(s->send_buffer.get(), &h, vnet_size);
    // A full queue drops the packet, as a full send ring would; TCP re-sends it.
    [[maybe_unused]] const ssize_t n = write(s->adapter->fd, s->send_buffer.get(), s->send_size);
}

std::uint32_t read_last_error() { return last_device_error; }

const device_table linux_table = [] {
    device_table t;
    t.create_adapter = create_adapter;
    t.open_adapter = open_adapter;
    t.close_adapter = close_adapter;
    t.get_adapter_luid = get_adapter_luid;
    t.start_session = start_session;
    t.end_session = end_session;
    t.get_read_wait_event = get_read_wait_event;
    t.receive_packet = receive_packet;
    t.release_receive_packet = release_receive_packet;
    t.allocate_send_packet = allocate_send_packet;
    t.send_packet = send_packet;
    t.last_error = read_last_error;
    t.tcp_send_limit = offload_data_limit;
    return t;
}();

std::mutex table_lock;
device_table loaded;

}  // namespace

bool load_device_library(std::u16string& out_message)
{
    out_message.clear();
    std::lock_guard hold(table_lock);
    loaded = linux_table;
    return true;
}

void unload_device_library()
{
    std::lock_guard hold(table_lock);
    loaded = device_table{};
}

const device_table& device_calls() { return loaded; }

}  // namespace pelto::tun
