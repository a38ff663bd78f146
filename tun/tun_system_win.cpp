#include "tun/tun_system.h"

#include "base/obfuscated.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <windows.h>

#include <cstring>
#include <utility>
#include <vector>

namespace pelto::tun {

namespace {

std::u16string with_code(std::u16string label, std::uint32_t code)
{
    for (char c : std::to_string(code)) {
        label.push_back(static_cast<char16_t>(c));
    }
    return label;
}

// The name-resolution policy rule: its key is also the marker that a rule of ours exists. The key
// is volatile, so a crash or a power loss cannot leave name resolution pointing at an address
// nothing serves beyond the next boot; the start of the next run removes it before that.
std::wstring policy_parent_key()
{
    const std::u16string text =
        PELTO_TEXT(u"SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters\\DnsPolicyConfig").str();
    return std::wstring(text.begin(), text.end());
}

std::wstring policy_key() { return policy_parent_key() + L"\\{pelto-tun}"; }

std::wstring wide(std::u16string_view s) { return std::wstring(s.begin(), s.end()); }

void flush_resolver_cache()
{
    HMODULE dns = LoadLibraryExW(L"dnsapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (dns == nullptr) {
        return;
    }
    using flush_fn = BOOL(WINAPI*)();
    const auto flush =
        reinterpret_cast<flush_fn>(reinterpret_cast<void*>(GetProcAddress(dns, "DnsFlushResolverCache")));
    if (flush != nullptr) {
        flush();
    }
    FreeLibrary(dns);
}

// Wine 8 lacks InitializeIpInterfaceEntry and ends the process when it is called, so there the
// interface metric is not read and the route metric alone ranks routes.
bool running_under_wine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, PELTO_TEXT("wine_get_version").c_str()) != nullptr;
}

// Ethernet, PPP, 802.11 and the two mobile broadband types (243, 244: missing from MinGW's headers).
bool is_accepted_type(ULONG type)
{
    return type == IF_TYPE_ETHERNET_CSMACD || type == IF_TYPE_PPP || type == IF_TYPE_IEEE80211 || type == 243 ||
           type == 244;
}

// Whether a key lives in memory only. A volatile key refuses a non-volatile subkey
// (ERROR_CHILD_MUST_BE_VOLATILE), which is the one check the registry interface offers for it; the
// probe, if it was made at all, is deleted again.
bool key_is_volatile(HKEY key)
{
    const wchar_t* probe = L"volatility-probe";
    HKEY child = nullptr;
    DWORD disposition = 0;
    const LSTATUS result = RegCreateKeyExW(key, probe, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ, nullptr,
                                           &child, &disposition);
    if (result == ERROR_SUCCESS) {
        RegCloseKey(child);
        if (disposition == REG_CREATED_NEW_KEY) {
            RegDeleteKeyW(key, probe);
        }
        return false;
    }
    return result == ERROR_CHILD_MUST_BE_VOLATILE;
}

}  // namespace

bool may_configure_network()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != 0;
    CloseHandle(token);
    return ok && elevation.TokenIsElevated != 0;
}

default_interface find_default_interface()
{
    PMIB_IPFORWARD_TABLE2 table = nullptr;
    if (GetIpForwardTable2(AF_INET, &table) != NO_ERROR || table == nullptr) {
        return {};
    }
    const bool wine = running_under_wine();
    std::vector<default_route_candidate> candidates;
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& route = table->Table[i];
        if (route.DestinationPrefix.PrefixLength != 0 ||
            route.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr != 0) {
            continue;
        }
        MIB_IF_ROW2 row{};
        row.InterfaceLuid = route.InterfaceLuid;
        if (GetIfEntry2(&row) != NO_ERROR || row.OperStatus != IfOperStatusUp ||
            row.MediaConnectState == MediaConnectStateDisconnected || !is_accepted_type(row.Type)) {
            continue;
        }
        default_route_candidate c;
        c.id = route.InterfaceLuid.Value;
        c.cost = route.Metric;
        if (!wine) {
            MIB_IPINTERFACE_ROW ip;
            InitializeIpInterfaceEntry(&ip);
            ip.Family = AF_INET;
            ip.InterfaceLuid = route.InterfaceLuid;
            if (GetIpInterfaceEntry(&ip) != NO_ERROR) {
                continue;
            }
            c.cost += ip.Metric;
        }
        c.hardware = row.InterfaceAndOperStatusFlags.HardwareInterface != FALSE;
        c.ethernet = row.Type == IF_TYPE_ETHERNET_CSMACD;
        candidates.push_back(c);
    }
    FreeMibTable(table);
    return choose_default_interface(candidates);
}

bool read_interface_addresses(const default_interface& iface, std::uint32_t virtual_dns,
                              std::uint32_t fallback_dns, interface_addresses& out)
{
    out = {};
    ULONG size = 16384;
    std::vector<unsigned char> buffer(size);
    ULONG status = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && status == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        status = GetAdaptersAddresses(AF_INET,
                                      GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_INCLUDE_PREFIX,
                                      nullptr, reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data()), &size);
    }
    if (status == NO_ERROR) {
        for (auto* a = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data()); a != nullptr; a = a->Next) {
            if (a->Luid.Value != iface.id) {
                continue;
            }
            for (auto* u = a->FirstUnicastAddress; u != nullptr && out.local_bind == 0; u = u->Next) {
                const auto* in = reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr);
                if (in->sin_family == AF_INET && (ntohl(in->sin_addr.s_addr) >> 16) != 0xA9FE) {
                    out.local_bind = in->sin_addr.s_addr;
                }
            }
            std::vector<std::uint32_t> servers;
            for (auto* d = a->FirstDnsServerAddress; d != nullptr; d = d->Next) {
                const auto* in = reinterpret_cast<const sockaddr_in*>(d->Address.lpSockaddr);
                if (in->sin_family == AF_INET) {
                    servers.push_back(in->sin_addr.s_addr);
                }
            }
            // A loopback server (a local DNS proxy) would send our queries back to us.
            out.upstream_dns = choose_upstream_dns(servers, virtual_dns);
            break;
        }
    }
    if (out.upstream_dns == 0) {
        out.upstream_dns = fallback_dns;
    }
    return out.local_bind != 0;
}

void delete_adapter_routes(std::uint64_t adapter_id)
{
    PMIB_IPFORWARD_TABLE2 table = nullptr;
    if (GetIpForwardTable2(AF_INET, &table) != NO_ERROR || table == nullptr) {
        return;
    }
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        if (table->Table[i].InterfaceLuid.Value == adapter_id) {
            DeleteIpForwardEntry2(&table->Table[i]);
        }
    }
    FreeMibTable(table);
}

std::uint32_t assign_address(std::uint64_t adapter_id, std::uint32_t address)
{
    MIB_UNICASTIPADDRESS_ROW row;
    InitializeUnicastIpAddressEntry(&row);
    row.InterfaceLuid.Value = adapter_id;
    ConvertInterfaceLuidToIndex(&row.InterfaceLuid, &row.InterfaceIndex);
    row.Address.Ipv4.sin_family = AF_INET;
    row.Address.Ipv4.sin_addr.s_addr = address;
    row.OnLinkPrefixLength = 32;
    row.DadState = IpDadStatePreferred;
    row.PrefixOrigin = IpPrefixOriginManual;
    row.SuffixOrigin = IpSuffixOriginManual;
    DeleteUnicastIpAddressEntry(&row);
    const DWORD result = CreateUnicastIpAddressEntry(&row);
    return (result == ERROR_ALREADY_EXISTS || result == ERROR_OBJECT_ALREADY_EXISTS) ? 0 : result;
}

std::uint32_t set_interface_parameters(std::uint64_t adapter_id)
{
    MIB_IPINTERFACE_ROW row;
    InitializeIpInterfaceEntry(&row);
    row.Family = AF_INET;
    row.InterfaceLuid.Value = adapter_id;
    DWORD result = GetIpInterfaceEntry(&row);
    if (result != NO_ERROR) {
        return result;
    }
    row.SitePrefixLength = 0;
    row.NlMtu = 1500;
    row.UseAutomaticMetric = FALSE;
    row.Metric = 1;
    return SetIpInterfaceEntry(&row);
}

bool write_dns_policy(std::uint64_t, std::uint32_t virtual_dns, std::u16string& out_message)
{
    // RegCreateKeyExW: REG_OPTION_VOLATILE keeps the key in memory only; it is lost when the
    // system restarts. A volatile key may not get non-volatile subkeys, and the option is ignored
    // when the key already exists: so the parent, which the DNS client's other rules share, is made
    // (or opened) as a normal key first, and a key of ours left non-volatile by an earlier version
    // is deleted before ours is made.
    HKEY key = nullptr;
    LSTATUS opened = RegCreateKeyExW(HKEY_LOCAL_MACHINE, policy_parent_key().c_str(), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_CREATE_SUB_KEY, nullptr, &key, nullptr);
    if (opened == ERROR_SUCCESS) {
        RegCloseKey(key);
        key = nullptr;
        DWORD disposition = 0;
        opened = RegCreateKeyExW(HKEY_LOCAL_MACHINE, policy_key().c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                                 KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, &key, &disposition);
        if (opened == ERROR_SUCCESS && disposition == REG_OPENED_EXISTING_KEY && !key_is_volatile(key)) {
            RegCloseKey(key);
            key = nullptr;
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, policy_key().c_str());
            opened = RegCreateKeyExW(HKEY_LOCAL_MACHINE, policy_key().c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                                     KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, &key, nullptr);
        }
    }
    if (opened != ERROR_SUCCESS) {
        out_message = with_code(PELTO_TEXT(u"cannot write the name-resolution policy, error ").str(),
                                static_cast<std::uint32_t>(opened));
        return false;
    }
    in_addr a{};
    a.s_addr = virtual_dns;
    char dotted[16] = {};
    inet_ntop(AF_INET, &a, dotted, sizeof dotted);
    const std::wstring server(dotted, dotted + std::strlen(dotted));
    const std::wstring comment = wide(PELTO_TEXT(u"pelto TUN mode").str());
    const std::wstring empty;
    const wchar_t names[] = L".\0";  // one entry, then the double terminator
    const DWORD version = 2, options = 8;
    const auto sz = [&](const std::wstring& name, const std::wstring& value) {
        return RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    };
    LSTATUS result = RegSetValueExW(key, wide(PELTO_TEXT(u"Version").str()).c_str(), 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&version), sizeof version);
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExW(key, wide(PELTO_TEXT(u"ConfigOptions").str()).c_str(), 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&options), sizeof options);
    }
    if (result == ERROR_SUCCESS) {
        result = sz(wide(PELTO_TEXT(u"Comment").str()), comment);
    }
    if (result == ERROR_SUCCESS) {
        result = sz(wide(PELTO_TEXT(u"GenericDNSServers").str()), server);
    }
    if (result == ERROR_SUCCESS) {
        result = sz(wide(PELTO_TEXT(u"IPSECCARestriction").str()), empty);
    }
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExW(key, wide(PELTO_TEXT(u"Name").str()).c_str(), 0, REG_MULTI_SZ,
                                reinterpret_cast<const BYTE*>(names), sizeof names);
    }
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        delete_dns_policy();
        out_message = with_code(PELTO_TEXT(u"cannot write the name-resolution policy, error ").str(),
                                static_cast<std::uint32_t>(result));
        return false;
    }
    flush_resolver_cache();
    return true;
}

void delete_dns_policy()
{
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, policy_key().c_str());
    flush_resolver_cache();
}

dns_policy_check reassert_dns_policy(std::uint64_t adapter_id, std::uint32_t virtual_dns,
                                     std::u16string& out_message)
{
    const std::wstring key = policy_key();
    wchar_t server[64] = {};
    DWORD size = sizeof server - sizeof(wchar_t);
    bool present = RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), wide(PELTO_TEXT(u"GenericDNSServers").str()).c_str(),
                                RRF_RT_REG_SZ, nullptr, server, &size) == ERROR_SUCCESS;
    for (const auto& [name, wanted] : {std::pair{PELTO_TEXT(u"Version").str(), DWORD{2}},
                                       std::pair{PELTO_TEXT(u"ConfigOptions").str(), DWORD{8}}}) {
        DWORD value = 0;
        DWORD value_size = sizeof value;
        present = present && RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), wide(name).c_str(), RRF_RT_REG_DWORD,
                                          nullptr, &value, &value_size) == ERROR_SUCCESS && value == wanted;
    }
    in_addr a{};
    a.s_addr = virtual_dns;
    char dotted[16] = {};
    inet_ntop(AF_INET, &a, dotted, sizeof dotted);
    const std::wstring ours(dotted, dotted + std::strlen(dotted));
    if (present && ours == server) {
        return dns_policy_check::kept;
    }
    return write_dns_policy(adapter_id, virtual_dns, out_message) ? dns_policy_check::restored
                                                                   : dns_policy_check::failed;
}

std::string dns_resolver_file_path() { return std::string(); }

std::uint32_t interface_index(const default_interface& iface)
{
    NET_LUID luid;
    luid.Value = iface.id;
    NET_IFINDEX index = 0;
    // ConvertInterfaceLuidToIndex: NO_ERROR with the local index of the interface, or an error
    // (ERROR_FILE_NOT_FOUND once the interface is gone).
    return iface.found && ConvertInterfaceLuidToIndex(&luid, &index) == NO_ERROR ? index : 0;
}

bool dns_policy_journal_exists()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, policy_key().c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// The registry key is the marker on Windows: there are no paths to replace.
void set_dns_policy_paths_for_testing(const std::string&, const std::string&) {}

}  // namespace pelto::tun
