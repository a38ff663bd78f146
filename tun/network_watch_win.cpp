// The network watch on Windows. What each call is relied on for:
//
// - NotifyIpInterfaceChange / NotifyUnicastIpAddressChange / NotifyRouteChange2 (AF_INET,
//   InitialNotification FALSE): NO_ERROR and a handle; from then on the callback runs on a thread
//   of the system's pool for every added, deleted or changed IPv4 interface, unicast address or
//   route, with the row that changed (which may be null). The callbacks must return quickly and
//   never cancel their own registration: here they only set an event.
// - CancelMibChangeNotify2: ends a registration; once it has returned, that callback is not
//   running and is not called again (so the context may go).
// - RegNotifyChangeKeyValue (asynchronous, with an event, watching the subtree for changed values
//   and names): signals the event once at the next change under the key; it has to be asked again
//   after each signal, and the request ends when the thread that made it exits, so the watch's own
//   thread makes every request. The interfaces' DNS servers (NameServer, DhcpNameServer) live under
//   HKLM\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Interfaces\{interface GUID}.
// - WaitForMultipleObjects: the index of the first signalled handle, or WAIT_TIMEOUT.

#include "tun/network_watch.h"

#include "base/obfuscated.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

namespace pelto::tun {

namespace {

using clock = std::chrono::steady_clock;

std::u16string with_code(std::u16string label, std::uint32_t code)
{
    for (char c : std::to_string(code)) {
        label.push_back(static_cast<char16_t>(c));
    }
    return label;
}

class win_network_watch final : public network_watch {
public:
    win_network_watch(std::uint64_t adapter, std::function<bool()> on_change)
        : adapter_(adapter), on_change_(std::move(on_change))
    {
    }

    ~win_network_watch() override
    {
        // The registrations first: after these return no callback touches `this`.
        for (HANDLE* h : {&interface_notify_, &address_notify_, &route_notify_}) {
            if (*h != nullptr) {
                CancelMibChangeNotify2(*h);
                *h = nullptr;
            }
        }
        if (thread_.joinable()) {
            SetEvent(stop_);
            thread_.join();
        }
        if (interfaces_key_ != nullptr) {
            RegCloseKey(interfaces_key_);
        }
        for (HANDLE h : {stop_, changed_, registry_changed_}) {
            if (h != nullptr) {
                CloseHandle(h);
            }
        }
    }

    bool open(std::u16string& out_message)
    {
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        changed_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        registry_changed_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (stop_ == nullptr || changed_ == nullptr || registry_changed_ == nullptr) {
            out_message = with_code(PELTO_TEXT(u"cannot watch the network for changes, error ").str(), GetLastError());
            return false;
        }
        const std::u16string path = PELTO_TEXT(u"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces").str();
        const std::wstring key(path.begin(), path.end());
        LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_NOTIFY, &interfaces_key_);
        if (opened == ERROR_FILE_NOT_FOUND) {
            // Absent only where no TCP/IP parameters were ever written (a fresh emulated system).
            opened = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_NOTIFY, nullptr, &interfaces_key_, nullptr);
        }
        if (opened != ERROR_SUCCESS) {
            out_message = with_code(PELTO_TEXT(u"cannot watch the interfaces' DNS servers, error ").str(),
                                    static_cast<std::uint32_t>(opened));
            return false;
        }
        DWORD result = NotifyIpInterfaceChange(AF_INET, &win_network_watch::on_interface, this, FALSE,
                                               &interface_notify_);
        if (result == NO_ERROR) {
            result = NotifyUnicastIpAddressChange(AF_INET, &win_network_watch::on_address, this, FALSE,
                                                  &address_notify_);
        }
        if (result == NO_ERROR) {
            result = NotifyRouteChange2(AF_INET, &win_network_watch::on_route, this, FALSE, &route_notify_);
        }
        if (result != NO_ERROR) {
            out_message = with_code(PELTO_TEXT(u"cannot watch the network for changes, error ").str(), result);
            return false;
        }
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            out_message = PELTO_TEXT(u"cannot start the network watch").str();
            return false;
        }
        return true;
    }

private:
    bool arm_registry()
    {
        return RegNotifyChangeKeyValue(interfaces_key_, TRUE, REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_NAME,
                                       registry_changed_, TRUE) == ERROR_SUCCESS;
    }

    void note(std::uint64_t luid)
    {
        if (luid != adapter_) {
            SetEvent(changed_);
        }
    }

    static VOID NETIOAPI_API_ on_interface(PVOID context, PMIB_IPINTERFACE_ROW row, MIB_NOTIFICATION_TYPE)
    {
        static_cast<win_network_watch*>(context)->note(row != nullptr ? row->InterfaceLuid.Value : 0);
    }
    static VOID NETIOAPI_API_ on_address(PVOID context, PMIB_UNICASTIPADDRESS_ROW row, MIB_NOTIFICATION_TYPE)
    {
        static_cast<win_network_watch*>(context)->note(row != nullptr ? row->InterfaceLuid.Value : 0);
    }
    static VOID NETIOAPI_API_ on_route(PVOID context, PMIB_IPFORWARD_ROW2 row, MIB_NOTIFICATION_TYPE)
    {
        static_cast<win_network_watch*>(context)->note(row != nullptr ? row->InterfaceLuid.Value : 0);
    }

    void run()
    {
        change_debouncer burst;
        arm_registry();
        for (;;) {
            const std::optional<std::int64_t> wait = burst.wait_ms(clock::now());
            const DWORD timeout = wait ? static_cast<DWORD>(std::min<std::int64_t>(*wait, INFINITE - 1)) : INFINITE;
            const HANDLE handles[3] = {stop_, changed_, registry_changed_};
            const DWORD woke = WaitForMultipleObjects(3, handles, FALSE, timeout);
            if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) {
                return;
            }
            if (woke == WAIT_OBJECT_0 + 1) {
                burst.note(clock::now());
            } else if (woke == WAIT_OBJECT_0 + 2) {
                burst.note(clock::now());
                arm_registry();
            }
            burst.run_when_due(clock::now(), on_change_);
        }
    }

    const std::uint64_t adapter_;
    const std::function<bool()> on_change_;
    HANDLE stop_ = nullptr;
    HANDLE changed_ = nullptr;
    HANDLE registry_changed_ = nullptr;
    HKEY interfaces_key_ = nullptr;
    HANDLE interface_notify_ = nullptr;
    HANDLE address_notify_ = nullptr;
    HANDLE route_notify_ = nullptr;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<network_watch> start_network_watch(std::uint64_t adapter_id, const std::string&,
                                                   std::function<bool()> on_change,
                                                   std::u16string& out_message)
{
    auto watch = std::make_unique<win_network_watch>(adapter_id, std::move(on_change));
    if (!watch->open(out_message)) {
        return nullptr;
    }
    return watch;
}

}  // namespace pelto::tun
