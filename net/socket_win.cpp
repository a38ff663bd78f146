// Winsock 2 behind the platform layer of net/socket.cpp, and the cancellable resolver.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "base/obfuscated.h"
#include "base/win_compat.h"
#include "net/socket_platform.h"

namespace pelto {
namespace {

SOCKET sock_of(socket_handle socket)
{
    return static_cast<SOCKET>(socket);
}

std::wstring to_wide(std::u16string_view text)
{
    return std::wstring(text.begin(), text.end());
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

// GetAddrInfoExW with an event; waits in 100 ms slices until done, the 3 s deadline or the stop
// flag, and cancels the request when it gives up.
bool resolve_overlapped(const overlapped_resolver& entry_points, std::u16string_view host,
                        std::u16string_view service, address_list& out_addresses,
                        std::u16string& out_error)
{
    ADDRINFOEXW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        out_error = net_detail::resolve_failed_message();
        return false;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    timeval timeout{3, 0};
    PADDRINFOEXW list = nullptr;
    HANDLE cancel_handle = nullptr;
    const std::wstring wide_host = to_wide(host);
    const std::wstring wide_service = to_wide(service);

    int result = ::GetAddrInfoExW(wide_host.c_str(), wide_service.c_str(), NS_DNS, nullptr, &hints,
                                  &list, &timeout, &overlapped, nullptr, &cancel_handle);
    if (result == WSA_IO_PENDING) {
        const std::int64_t deadline = monotonic_ns() + 3'000'000'000;
        bool signalled = false;
        while (monotonic_ns() < deadline && !is_stopping()) {
            const std::int64_t left_ms = (deadline - monotonic_ns() + 999'999) / 1'000'000;
            const DWORD slice = static_cast<DWORD>(std::clamp<std::int64_t>(left_ms, 1, 100));
            if (::WaitForSingleObject(event, slice) == WAIT_OBJECT_0) {
                signalled = true;
                break;
            }
        }
        if (!signalled && cancel_handle != nullptr) {
            entry_points.cancel(&cancel_handle);
        }
        ::WaitForSingleObject(event, INFINITE);
        result = entry_points.result(&overlapped);
    }
    ::CloseHandle(event);

    if (result == 0 && list != nullptr) {
        net_platform::append_entries(list, out_addresses);
    }
    if (list != nullptr) {
        ::FreeAddrInfoExW(list);
    }
    if (!out_addresses.empty()) {
        return true;
    }
    out_error = is_stopping() ? net_detail::stopping_message() : net_detail::resolve_failed_message();
    return false;
}

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

bool blocking_lookup(const std::u16string& host, const std::u16string& service, address_list& out)
{
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* list = nullptr;
    const std::wstring wide_host = to_wide(host);
    const std::wstring wide_service = to_wide(service);
    if (::GetAddrInfoW(wide_host.c_str(), wide_service.c_str(), &hints, &list) != 0) {
        return false;
    }
    append_entries(list, out);
    ::FreeAddrInfoW(list);
    return !out.empty();
}

bool resolve(std::u16string_view host, std::u16string_view service, address_list& out_addresses,
             std::u16string& out_error)
{
    const overlapped_resolver& entry_points = resolver_entry_points();
    if (entry_points.cancel == nullptr || net_detail::lookup_replaced()) {
        // Without a way to cancel, an overlapped request could outlive the deadline in the wait
        // that must follow it; the abandonable worker keeps the 3 s and stop-flag promises.
        return net_detail::resolve_on_worker(host, service, out_addresses, out_error);
    }
    return resolve_overlapped(entry_points, host, service, out_addresses, out_error);
}

}  // namespace net_platform

}  // namespace pelto
