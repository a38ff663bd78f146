// The device calls over a non-persistent Linux TUN device (IFF_TUN | IFF_NO_PI): the device, its
// address and its routes vanish when its descriptor is closed. The wait handle is the descriptor
// plus one (0 stays a valid descriptor; null means none), as the reader's poll expects.

#include "tun/device_library.h"

#include <cerrno>
#include <cstring>
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

struct linux_session {
    linux_adapter* adapter = nullptr;
    std::vector<std::uint8_t> receive_buffer = std::vector<std::uint8_t>(65536);
    std::vector<std::uint8_t> send_buffer;
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
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::memcpy(request.ifr_name, narrow.c_str(), narrow.size());
    if (ioctl(fd, TUNSETIFF, &request) != 0) {
        last_device_error = static_cast<std::uint32_t>(errno);
        close(fd);
        return nullptr;
    }
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
            *out_size = static_cast<std::uint32_t>(n);
            return s->receive_buffer.data();
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
    s->send_buffer.resize(size);
    return s->send_buffer.data();
}

void send_packet(void* session, const std::uint8_t* packet)
{
    auto* s = static_cast<linux_session*>(session);
    // A full queue drops the packet, as a full send ring would; TCP re-sends it.
    [[maybe_unused]] const ssize_t n = write(s->adapter->fd, packet, s->send_buffer.size());
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
