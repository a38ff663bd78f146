#include "tun/host_routes.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>

namespace pelto::tun {

namespace {

class ip_helper_routes final : public host_routes {
public:
    explicit ip_helper_routes(std::uint64_t luid) { luid_.Value = luid; }

    bool add(std::uint32_t address, std::uint32_t& out_error) override
    {
        MIB_IPFORWARD_ROW2 row;
        fill(row, address);
        const DWORD result = CreateIpForwardEntry2(&row);
        out_error = result == ERROR_OBJECT_ALREADY_EXISTS ? 0 : result;
        return out_error == 0;
    }
    bool remove(std::uint32_t address, std::uint32_t& out_error) override
    {
        MIB_IPFORWARD_ROW2 row;
        fill(row, address);
        const DWORD result = DeleteIpForwardEntry2(&row);
        out_error = result == ERROR_NOT_FOUND ? 0 : result;
        return out_error == 0;
    }

private:
    void fill(MIB_IPFORWARD_ROW2& row, std::uint32_t address) const
    {
        InitializeIpForwardEntry(&row);
        row.InterfaceLuid = luid_;
        row.DestinationPrefix.Prefix.si_family = AF_INET;
        row.DestinationPrefix.Prefix.Ipv4.sin_family = AF_INET;
        row.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr = address;
        row.DestinationPrefix.PrefixLength = 32;
        row.NextHop.si_family = AF_INET;  // on-link: 0.0.0.0
        row.Metric = 0;
        row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(MIB_IPPROTO_NETMGMT);
    }

    NET_LUID luid_{};
};

}  // namespace

std::unique_ptr<host_routes> make_system_host_routes(std::uint64_t interface_id)
{
    return std::make_unique<ip_helper_routes>(interface_id);
}

}  // namespace pelto::tun
