// Winsock 2 behind the platform layer of net/socket.cpp, and the cancellable resolver.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/obfuscated.h"
#include "base/win_compat.h"
#include "net/resolver_seam.h"
#include "net/socket_platform.h"

namespace pelto {
namespace {

SOCKET sock_of(socket_handle socket)
{
    return static_cast<SOCKET>(socket);
}

// The overlapped resolver's two entry points that the headers lack; both absent (null) where the
// system does not export them.
struct overlapped_resolver {
    win_compat::get_addr_info_ex_cancel_fn cancel = nullptr;
    win_compat::get_addr_info_ex_overlapped_result_fn result = nullptr;
};

const overlapped_resolver& resolver_entry_points()
{
    static const overlapped_resolver entry_points = [] {
        overlapped_resolver found;
        const HMODULE ws2 = ::GetModuleHandleW(PELTO_TEXT(L"ws2_32.dll").c_str());
        if (ws2 == nullptr) {
            return found;
        }
        found.cancel = reinterpret_cast<win_compat::get_addr_info_ex_cancel_fn>(
            reinterpret_cast<void*>(::GetProcAddress(ws2, PELTO_TEXT("GetAddrInfoExCancel").c_str())));
        found.result = reinterpret_cast<win_compat::get_addr_info_ex_overlapped_result_fn>(
            reinterpret_cast<void*>(
                ::GetProcAddress(ws2, PELTO_TEXT("GetAddrInfoExOverlappedResult").c_str())));
        if (found.cancel == nullptr || found.result == nullptr) {
            found = {};
        }
        return found;
    }();
    return entry_points;
}

// One overlapped request and everything the system may still write when it completes: the
// OVERLAPPED, the result list pointer and the cancel handle. It lives on the heap, shared by the
// caller and - when the caller gives up before the system does - by a reaper thread that waits for
// the completion and frees what the system produced. Nothing the system writes is ever on a
// stack frame that may have returned.
struct overlapped_request {
    OVERLAPPED overlapped{};
    HANDLE event = nullptr;
    PADDRINFOEXW list = nullptr;
    HANDLE cancel_handle = nullptr;
    std::wstring host;
    std::wstring service;

    overlapped_request() = default;
    overlapped_request(const overlapped_request&) = delete;
    overlapped_request& operator=(const overlapped_request&) = delete;
    ~overlapped_request()
    {
        if (list != nullptr) {
            ::FreeAddrInfoExW(list);
        }
        if (event != nullptr) {
            ::CloseHandle(event);
        }
    }
};

// Requests whose completion a reaper still waits for; bounded like the worker lookups.
std::atomic<int> abandoned_requests{0};

// Hands a request the system still owns to a reaper thread, which frees it once the system is
// done. When no thread can be started the request is left allocated for good: a small leak is
// the only safe outcome while the system may still write into it.
void abandon(std::shared_ptr<overlapped_request> request)
{
    abandoned_requests.fetch_add(1);
    try {
        std::thread([request = std::move(request)] {
            ::WaitForSingleObject(request->event, INFINITE);
            abandoned_requests.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        new std::shared_ptr<overlapped_request>(std::move(request));  // deliberately never freed
    }
}

// Waits on the request's event in 100 ms slices until it is signalled (true), the deadline passes
// or the stop flag is set (false).
bool wait_for_completion(const overlapped_request& request, std::int64_t deadline_ns)
{
    while (monotonic_ns() < deadline_ns && !is_stopping()) {
        const std::int64_t left_ms = (deadline_ns - monotonic_ns() + 999'999) / 1'000'000;
        const DWORD slice = static_cast<DWORD>(std::clamp<std::int64_t>(left_ms, 1, 100));
        if (::WaitForSingleObject(request.event, slice) == WAIT_OBJECT_0) {
            return true;
        }
    }
    return false;
}

}  // namespace

namespace net_detail {

// GetAddrInfoExW with an event, waited for until done, the 3 s deadline or the stop flag. On
// giving up it cancels the request and allows the cancel a short grace; where the cancel does not
// work (some systems export it as a stub that completes nothing) the request is abandoned to a
// reaper, so the deadline and the stop flag hold on every path.
bool resolve_overlapped(win_compat::get_addr_info_ex_cancel_fn cancel,
                        win_compat::get_addr_info_ex_overlapped_result_fn result_of,
                        std::string_view host, std::string_view service, address_list& out_addresses,
                        std::u16string& out_error)
{
    const auto fail = [&] {
        out_error = is_stopping() ? stopping_message() : resolve_failed_message();
        return false;
    };
    if (abandoned_requests.load() >= max_running_lookups) {
        return fail();
    }
    auto request = std::make_shared<overlapped_request>();
    request->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (request->event == nullptr) {
        return fail();
    }
    request->overlapped.hEvent = request->event;
    request->host = win_compat::utf8_to_wide(host);
    request->service = win_compat::utf8_to_wide(service);
    ADDRINFOEXW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    timeval timeout{3, 0};
    const std::int64_t deadline = monotonic_ns() + 3'000'000'000;

    int result = ::GetAddrInfoExW(request->host.c_str(), request->service.c_str(), NS_DNS, nullptr, &hints,
                                  &request->list, &timeout, &request->overlapped, nullptr,
                                  &request->cancel_handle);
    if (result == WSA_IO_PENDING) {
        if (!wait_for_completion(*request, deadline)) {
            if (request->cancel_handle != nullptr) {
                cancel(&request->cancel_handle);
            }
            if (::WaitForSingleObject(request->event, 200) != WAIT_OBJECT_0) {
                abandon(std::move(request));
                return fail();
            }
        }
        result = result_of(&request->overlapped);
    }
    if (result == 0 && request->list != nullptr) {
        net_platform::append_entries(request->list, SOCK_STREAM, out_addresses);
    }
    if (!out_addresses.empty()) {
        return true;
    }
    return fail();
}

}  // namespace net_detail

namespace {
}  // namespace

namespace net_platform {

bool startup()
{
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void cleanup()
{
    ::WSACleanup();
}

socket_handle open_socket(const resolved_address& address)
{
    const SOCKET s = ::socket(address.family, address.socket_type, address.protocol);
    return s == INVALID_SOCKET ? invalid_socket_handle : static_cast<socket_handle>(s);
}

bool is_own_address(const resolved_address& address)
{
    if (address.sockaddr_bytes.size() < sizeof(sockaddr_in)) {
        return false;
    }
    std::vector<std::uint8_t> local = address.sockaddr_bytes;
    // sockaddr_in and sockaddr_in6 both keep the port right after the family.
    std::memset(local.data() + 2, 0, 2);
    const auto probe = ::socket(address.family, SOCK_DGRAM, 0);
    if (probe == INVALID_SOCKET) {
        return false;
    }
    const bool own = ::bind(probe, reinterpret_cast<const sockaddr*>(local.data()), static_cast<int>(local.size())) == 0;
    ::closesocket(probe);
    return own;
}

bool bind_to_interface(socket_handle socket, std::int32_t family, std::uint32_t index)
{
    // IP_UNICAST_IF takes the IPv4 interface index in network byte order, IPV6_UNICAST_IF in host
    // order; both make the socket's unicast packets leave through that interface.
    if (family == AF_INET) {
        const DWORD value = htonl(index);
        return ::setsockopt(sock_of(socket), IPPROTO_IP, IP_UNICAST_IF, reinterpret_cast<const char*>(&value),
                            sizeof value) == 0;
    }
    const DWORD value = index;
    return ::setsockopt(sock_of(socket), IPPROTO_IPV6, IPV6_UNICAST_IF, reinterpret_cast<const char*>(&value),
                        sizeof value) == 0;
}

void shutdown_both(socket_handle socket)
{
    ::shutdown(sock_of(socket), SD_BOTH);
    // Winsock lets a receive that is already blocked sit out a shutdown until the peer closes;
    // cancelling the socket's pending I/O is what makes it return now, as on POSIX.
    ::CancelIoEx(reinterpret_cast<HANDLE>(sock_of(socket)), nullptr);
}

void close_handle(socket_handle socket)
{
    ::closesocket(sock_of(socket));
}

bool set_blocking(socket_handle socket, bool blocking)
{
    u_long non_blocking = blocking ? 0 : 1;
    return ::ioctlsocket(sock_of(socket), FIONBIO, &non_blocking) == 0;
}

connect_start start_connect(socket_handle socket, const resolved_address& address)
{
    const int result =
        ::connect(sock_of(socket), reinterpret_cast<const sockaddr*>(address.sockaddr_bytes.data()),
                  static_cast<int>(address.sockaddr_bytes.size()));
    if (result == 0) {
        return connect_start::connected;
    }
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? connect_start::pending : connect_start::failed;
}

int wait_connect(socket_handle socket, int timeout_ms)
{
    // Winsock reports a refused connect in the exception set only; watching it as well spares a
    // refused address its whole connect time-out. SO_ERROR tells the two outcomes apart.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(sock_of(socket), &writable);
    FD_SET(sock_of(socket), &failed);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int count = ::select(0, nullptr, &writable, &failed, &timeout);
    return count == SOCKET_ERROR ? -1 : std::min(count, 1);
}

int pending_error(socket_handle socket)
{
    int error = 0;
    int size = sizeof error;
    if (::getsockopt(sock_of(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                     &size) != 0) {
        return -1;
    }
    return error;
}

bool set_no_delay(socket_handle socket)
{
    const BOOL on = TRUE;
    return ::setsockopt(sock_of(socket), IPPROTO_TCP, TCP_NODELAY,
                        reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

bool set_io_timeouts(socket_handle socket, std::int32_t timeout_ms)
{
    const DWORD value = static_cast<DWORD>(timeout_ms);
    const bool receive = ::setsockopt(sock_of(socket), SOL_SOCKET, SO_RCVTIMEO,
                                      reinterpret_cast<const char*>(&value), sizeof value) == 0;
    const bool send = ::setsockopt(sock_of(socket), SOL_SOCKET, SO_SNDTIMEO,
                                   reinterpret_cast<const char*>(&value), sizeof value) == 0;
    return receive && send;
}

std::int32_t send_once(socket_handle socket, const std::uint8_t* data, std::int32_t length)
{
    return ::send(sock_of(socket), reinterpret_cast<const char*>(data), length, 0);
}

std::int32_t recv_once(socket_handle socket, std::uint8_t* buffer, std::int32_t capacity)
{
    return ::recv(sock_of(socket), reinterpret_cast<char*>(buffer), capacity, 0);
}

namespace {

bool lookup(const std::string& host, const std::string& service, int flags, address_list& out)
{
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    ADDRINFOW* list = nullptr;
    const std::wstring wide_host = win_compat::utf8_to_wide(host);
    const std::wstring wide_service = win_compat::utf8_to_wide(service);
    if (::GetAddrInfoW(wide_host.c_str(), wide_service.c_str(), &hints, &list) != 0) {
        return false;
    }
    append_entries(list, SOCK_STREAM, out);
    ::FreeAddrInfoW(list);
    return !out.empty();
}

}  // namespace

bool numeric_lookup(const std::string& host, const std::string& service, address_list& out)
{
    return lookup(host, service, AI_NUMERICHOST, out);
}

bool blocking_lookup(const std::string& host, const std::string& service, address_list& out)
{
    return lookup(host, service, 0, out);
}

bool resolve(std::string_view host, std::string_view service, address_list& out_addresses,
             std::u16string& out_error)
{
    const overlapped_resolver& entry_points = resolver_entry_points();
    if (entry_points.cancel == nullptr || net_detail::lookup_replaced()) {
        // Without a way to cancel, an overlapped request could outlive the deadline in the wait
        // that must follow it; the abandonable worker keeps the 3 s and stop-flag promises.
        return net_detail::resolve_on_worker(host, service, out_addresses, out_error);
    }
    return net_detail::resolve_overlapped(entry_points.cancel, entry_points.result, host, service, out_addresses,
                                          out_error);
}

}  // namespace net_platform

bool resolve_overlapped_for_tests(overlapped_cancel mode, std::string_view host, std::string_view service,
                                  address_list& out_addresses, std::u16string& out_error, bool& out_available)
{
    const HMODULE ws2 = ::GetModuleHandleW(PELTO_TEXT(L"ws2_32.dll").c_str());
    const auto result_of = ws2 == nullptr ? nullptr
                                          : reinterpret_cast<win_compat::get_addr_info_ex_overlapped_result_fn>(
                                                reinterpret_cast<void*>(::GetProcAddress(
                                                    ws2, PELTO_TEXT("GetAddrInfoExOverlappedResult").c_str())));
    auto system_cancel = ws2 == nullptr ? nullptr
                                        : reinterpret_cast<win_compat::get_addr_info_ex_cancel_fn>(
                                              reinterpret_cast<void*>(
                                                  ::GetProcAddress(ws2, PELTO_TEXT("GetAddrInfoExCancel").c_str())));
    static constexpr win_compat::get_addr_info_ex_cancel_fn stub_cancel = [](LPHANDLE) -> INT { return 0; };
    const auto cancel = mode == overlapped_cancel::stub ? stub_cancel : system_cancel;
    out_available = result_of != nullptr && cancel != nullptr;
    if (!out_available) {
        return false;
    }
    return net_detail::resolve_overlapped(cancel, result_of, host, service, out_addresses, out_error);
}

}  // namespace pelto
