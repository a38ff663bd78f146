#include "tun/resolved_bus_linux.h"

#include "base/obfuscated.h"
#include "base/text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>

#include <sys/socket.h>
#include <systemd/sd-bus.h>

namespace pelto::tun {

namespace {

using std::chrono::steady_clock;

constexpr std::chrono::milliseconds step_limit{2000};

std::uint64_t step_limit_us()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(step_limit).count());
}

std::mutex address_lock;
std::string address_override;

std::string bus_address()
{
    {
        std::lock_guard hold(address_lock);
        if (!address_override.empty()) {
            return address_override;
        }
    }
    const char* configured = std::getenv(PELTO_TEXT("DBUS_SYSTEM_BUS_ADDRESS").c_str());
    if (configured != nullptr && *configured != '\0') {
        return configured;
    }
    return PELTO_TEXT("unix:path=/run/dbus/system_bus_socket").str();
}

std::u16string system_error(int negative_code)
{
    return utf8_to_utf16(std::strerror(-negative_code));
}

std::u16string limit_text()
{
    return ascii_to_utf16(std::to_string(step_limit.count() / 1000)) + PELTO_TEXT(u" s").str();
}

struct message_ref {
    sd_bus_message* m = nullptr;
    message_ref() = default;
    message_ref(const message_ref&) = delete;
    message_ref& operator=(const message_ref&) = delete;
    ~message_ref() { sd_bus_message_unref(m); }
};

struct error_ref {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    error_ref() = default;
    error_ref(const error_ref&) = delete;
    error_ref& operator=(const error_ref&) = delete;
    ~error_ref() { sd_bus_error_free(&e); }
};

// Where a call goes: the service's manager object or the bus itself.
struct target {
    std::string destination;
    std::string path;
    std::string interface;
};

target manager()
{
    return {PELTO_TEXT("org.freedesktop.resolve1").str(), PELTO_TEXT("/org/freedesktop/resolve1").str(),
            PELTO_TEXT("org.freedesktop.resolve1.Manager").str()};
}

target bus_driver()
{
    return {PELTO_TEXT("org.freedesktop.DBus").str(), PELTO_TEXT("/org/freedesktop/DBus").str(),
            PELTO_TEXT("org.freedesktop.DBus").str()};
}

std::u16string describe_failure(const std::string& member, int code, const sd_bus_error& error)
{
    const std::u16string name = ascii_to_utf16(member);
    if (sd_bus_error_is_set(&error)) {
        const std::string error_name = error.name;
        const std::u16string detail =
            utf8_to_utf16(error.message != nullptr ? error.message : "") + u" (" + utf8_to_utf16(error_name) + u")";
        if (error_name.rfind(PELTO_TEXT("org.freedesktop.DBus.Error.Spawn.").view(), 0) == 0) {
            return PELTO_TEXT(u"the system bus could not start the local resolver service for ").str() + name +
                   u": " + detail;
        }
        if (error_name == PELTO_TEXT("org.freedesktop.DBus.Error.NoReply").view() || code == -ETIMEDOUT) {
            return PELTO_TEXT(u"the local resolver service did not answer ").str() + name +
                   PELTO_TEXT(u" within ").str() + limit_text();
        }
        return PELTO_TEXT(u"the local resolver service refused ").str() + name + u": " + detail;
    }
    if (code == -ETIMEDOUT) {
        return PELTO_TEXT(u"the local resolver service did not answer ").str() + name +
               PELTO_TEXT(u" within ").str() + limit_text();
    }
    return PELTO_TEXT(u"the call ").str() + name + PELTO_TEXT(u" to the local resolver service failed: ").str() +
           system_error(code);
}

}  // namespace

struct resolver_bus::connection {
    sd_bus* bus = nullptr;
    explicit connection(sd_bus* b) : bus(b) {}
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    ~connection() { sd_bus_close_unref(bus); }

    // One method call within the step limit. `append` adds the arguments (may be empty).
    bool call(const target& to, const std::string& member, const std::function<int(sd_bus_message*)>& append,
              message_ref& out_reply, std::u16string& out_error)
    {
        message_ref request;
        int r = sd_bus_message_new_method_call(bus, &request.m, to.destination.c_str(), to.path.c_str(),
                                               to.interface.c_str(), member.c_str());
        if (r >= 0 && append) {
            r = append(request.m);
        }
        if (r < 0) {
            out_error = PELTO_TEXT(u"cannot build the call ").str() + ascii_to_utf16(member) + u": " +
                        system_error(r);
            return false;
        }
        error_ref error;
        r = sd_bus_call(bus, request.m, step_limit_us(), &error.e, &out_reply.m);
        if (r < 0) {
            out_error = describe_failure(member, r, error.e);
            return false;
        }
        return true;
    }

    bool call(const target& to, const std::string& member, const std::function<int(sd_bus_message*)>& append,
              std::u16string& out_error)
    {
        message_ref ignored;
        return call(to, member, append, ignored, out_error);
    }

    // The value of a property as a reply positioned inside its variant of type `type`.
    bool get_property(const std::string& path, const std::string& interface, const std::string& property,
                      const std::string& type, message_ref& out_reply)
    {
        target properties = manager();
        properties.path = path;
        properties.interface = PELTO_TEXT("org.freedesktop.DBus.Properties").str();
        std::u16string ignored;
        const bool ok = call(
            properties, PELTO_TEXT("Get").str(),
            [&](sd_bus_message* m) {
                return sd_bus_message_append(m, PELTO_TEXT("ss").c_str(), interface.c_str(), property.c_str());
            },
            out_reply, ignored);
        return ok && sd_bus_message_enter_container(out_reply.m, 'v', type.c_str()) > 0;
    }
};

resolver_bus::resolver_bus(std::unique_ptr<connection> bus) : bus_(std::move(bus)) {}
resolver_bus::~resolver_bus() = default;

std::chrono::milliseconds resolver_bus_step_limit() { return step_limit; }

std::unique_ptr<resolver_bus> resolver_bus::connect(std::u16string& out_error)
{
    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    if (r < 0) {
        out_error = PELTO_TEXT(u"cannot set up a system bus connection: ").str() + system_error(r);
        return nullptr;
    }
    auto bus = std::make_unique<connection>(raw);
    const std::string address = bus_address();
    r = sd_bus_set_address(raw, address.c_str());
    if (r >= 0) {
        r = sd_bus_set_bus_client(raw, 1);
    }
    if (r >= 0) {
        r = sd_bus_set_method_call_timeout(raw, step_limit_us());
    }
    if (r >= 0) {
        r = sd_bus_start(raw);
    }
    if (r < 0) {
        out_error = PELTO_TEXT(u"cannot reach the system bus: ").str() + system_error(r);
        return nullptr;
    }
    // sd-bus would wait far longer than our limit for the authentication and hello exchange on
    // its own: drive it here against one deadline.
    const auto deadline = steady_clock::now() + step_limit;
    for (;;) {
        r = sd_bus_is_ready(raw);
        if (r > 0) {
            break;
        }
        if (r == 0) {
            r = sd_bus_process(raw, nullptr);
        }
        if (r < 0) {
            out_error = PELTO_TEXT(u"the system bus did not accept the connection: ").str() + system_error(r);
            return nullptr;
        }
        const auto left = deadline - steady_clock::now();
        if (left <= steady_clock::duration::zero()) {
            out_error = PELTO_TEXT(u"the system bus did not accept the connection within ").str() + limit_text();
            return nullptr;
        }
        if (r > 0) {
            continue;  // more may be ready to process
        }
        r = sd_bus_wait(raw, static_cast<std::uint64_t>(
                                 std::chrono::duration_cast<std::chrono::microseconds>(left).count()) + 1);
        if (r < 0 && r != -EINTR) {
            out_error = PELTO_TEXT(u"the system bus did not accept the connection: ").str() + system_error(r);
            return nullptr;
        }
    }
    return std::unique_ptr<resolver_bus>(new resolver_bus(std::move(bus)));
}

bool resolver_bus::find_service(presence& out, std::u16string& out_error)
{
    out = presence::absent;
    const std::string service = manager().destination;
    message_ref reply;
    if (!bus_->call(
            bus_driver(), PELTO_TEXT("NameHasOwner").str(),
            [&](sd_bus_message* m) { return sd_bus_message_append(m, PELTO_TEXT("s").c_str(), service.c_str()); },
            reply, out_error)) {
        return false;
    }
    int owned = 0;
    if (sd_bus_message_read(reply.m, PELTO_TEXT("b").c_str(), &owned) < 0) {
        out_error = PELTO_TEXT(u"the system bus sent a malformed answer to NameHasOwner").str();
        return false;
    }
    if (owned) {
        out = presence::running;
        return true;
    }
    message_ref names;
    if (!bus_->call(bus_driver(), PELTO_TEXT("ListActivatableNames").str(), {}, names, out_error)) {
        return false;
    }
    if (sd_bus_message_enter_container(names.m, 'a', PELTO_TEXT("s").c_str()) < 0) {
        out_error = PELTO_TEXT(u"the system bus sent a malformed answer to ListActivatableNames").str();
        return false;
    }
    const char* name = nullptr;
    while (sd_bus_message_read(names.m, PELTO_TEXT("s").c_str(), &name) > 0) {
        if (service == name) {
            out = presence::activatable;
            break;
        }
    }
    return true;
}

bool resolver_bus::set_link_dns(std::int32_t link, std::uint32_t server, std::u16string& out_error)
{
    return bus_->call(
        manager(), PELTO_TEXT("SetLinkDNS").str(),
        [&](sd_bus_message* m) {
            int r = sd_bus_message_append(m, PELTO_TEXT("i").c_str(), link);
            if (r >= 0) {
                r = sd_bus_message_open_container(m, 'a', PELTO_TEXT("(iay)").c_str());
            }
            if (r >= 0) {
                r = sd_bus_message_open_container(m, 'r', PELTO_TEXT("iay").c_str());
            }
            if (r >= 0) {
                r = sd_bus_message_append(m, PELTO_TEXT("i").c_str(), static_cast<std::int32_t>(AF_INET));
            }
            if (r >= 0) {
                r = sd_bus_message_append_array(m, 'y', &server, 4);  // network order already
            }
            if (r >= 0) {
                r = sd_bus_message_close_container(m);
            }
            if (r >= 0) {
                r = sd_bus_message_close_container(m);
            }
            return r;
        },
        out_error);
}

bool resolver_bus::set_link_routing_all(std::int32_t link, std::u16string& out_error)
{
    return bus_->call(
        manager(), PELTO_TEXT("SetLinkDomains").str(),
        [&](sd_bus_message* m) {
            // One entry: the root domain, routing only.
            return sd_bus_message_append(m, PELTO_TEXT("ia(sb)").c_str(), link, 1, PELTO_TEXT(".").c_str(), 1);
        },
        out_error);
}

bool resolver_bus::set_link_default_route(std::int32_t link, bool on, std::u16string& out_error)
{
    return bus_->call(
        manager(), PELTO_TEXT("SetLinkDefaultRoute").str(),
        [&](sd_bus_message* m) { return sd_bus_message_append(m, PELTO_TEXT("ib").c_str(), link, on ? 1 : 0); },
        out_error);
}

bool resolver_bus::revert_link(std::int32_t link, std::u16string& out_error)
{
    return bus_->call(
        manager(), PELTO_TEXT("RevertLink").str(),
        [&](sd_bus_message* m) { return sd_bus_message_append(m, PELTO_TEXT("i").c_str(), link); }, out_error);
}

bool resolver_bus::flush_caches(std::u16string& out_error)
{
    return bus_->call(manager(), PELTO_TEXT("FlushCaches").str(), {}, out_error);
}

std::vector<std::uint32_t> resolver_bus::link_servers(std::int32_t link)
{
    std::vector<std::uint32_t> out;
    message_ref path_reply;
    std::u16string ignored;
    if (!bus_->call(
            manager(), PELTO_TEXT("GetLink").str(),
            [&](sd_bus_message* m) { return sd_bus_message_append(m, PELTO_TEXT("i").c_str(), link); }, path_reply,
            ignored)) {
        return out;
    }
    const char* path = nullptr;
    if (sd_bus_message_read(path_reply.m, PELTO_TEXT("o").c_str(), &path) < 0) {
        return out;
    }
    message_ref value;
    if (!bus_->get_property(path, PELTO_TEXT("org.freedesktop.resolve1.Link").str(), PELTO_TEXT("DNS").str(),
                            PELTO_TEXT("a(iay)").str(), value) ||
        sd_bus_message_enter_container(value.m, 'a', PELTO_TEXT("(iay)").c_str()) < 0) {
        return out;
    }
    while (sd_bus_message_enter_container(value.m, 'r', PELTO_TEXT("iay").c_str()) > 0) {
        std::int32_t family = 0;
        const void* bytes = nullptr;
        std::size_t size = 0;
        if (sd_bus_message_read(value.m, PELTO_TEXT("i").c_str(), &family) < 0 ||
            sd_bus_message_read_array(value.m, 'y', &bytes, &size) < 0 ||
            sd_bus_message_exit_container(value.m) < 0) {
            break;
        }
        if (family == AF_INET && size == 4) {
            std::uint32_t address = 0;
            std::memcpy(&address, bytes, 4);
            out.push_back(address);
        }
    }
    return out;
}

std::vector<std::uint32_t> resolver_bus::global_servers()
{
    std::vector<std::uint32_t> out;
    message_ref value;
    if (!bus_->get_property(manager().path, manager().interface, PELTO_TEXT("DNS").str(),
                            PELTO_TEXT("a(iiay)").str(), value) ||
        sd_bus_message_enter_container(value.m, 'a', PELTO_TEXT("(iiay)").c_str()) < 0) {
        return out;
    }
    while (sd_bus_message_enter_container(value.m, 'r', PELTO_TEXT("iiay").c_str()) > 0) {
        std::int32_t link = 0, family = 0;
        const void* bytes = nullptr;
        std::size_t size = 0;
        if (sd_bus_message_read(value.m, PELTO_TEXT("ii").c_str(), &link, &family) < 0 ||
            sd_bus_message_read_array(value.m, 'y', &bytes, &size) < 0 ||
            sd_bus_message_exit_container(value.m) < 0) {
            break;
        }
        // Link 0 marks the servers that belong to no link.
        if (link == 0 && family == AF_INET && size == 4) {
            std::uint32_t address = 0;
            std::memcpy(&address, bytes, 4);
            out.push_back(address);
        }
    }
    return out;
}

void set_resolver_bus_address_for_testing(const std::string& address)
{
    std::lock_guard hold(address_lock);
    address_override = address;
}

}  // namespace pelto::tun
