#include "tun/default_route.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>

namespace pelto {

default_route_interface find_default_route_interface()
{
    default_route_interface out;
    PMIB_IPFORWARD_TABLE2 table = nullptr;
    if (::GetIpForwardTable2(AF_INET, &table) != NO_ERROR || table == nullptr) {
        return out;
    }
    route_candidate best;
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& route = table->Table[i];
        if (route.DestinationPrefix.PrefixLength != 0 ||
            route.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr != 0) {
            continue;
        }
        MIB_IF_ROW2 row{};
        row.InterfaceLuid = route.InterfaceLuid;
        if (::GetIfEntry2(&row) != NO_ERROR || row.OperStatus != IfOperStatusUp ||
            row.MediaConnectState == MediaConnectStateDisconnected) {
            continue;
        }
        const ULONG type = row.Type;
        if (type != 6 && type != 23 && type != 71 && type != 243 && type != 244) {
            continue;
        }
        route_candidate c;
        c.hardware = row.InterfaceAndOperStatusFlags.HardwareInterface != FALSE;
        c.ethernet = type == 6;
        // The route metric alone: the interface metric (GetIpInterfaceEntry) is left out, as Wine
        // aborts the process in that call.
        c.cost = route.Metric;
        c.id = route.InterfaceLuid.Value;
        if (!out.found || replaces(best, c)) {
            best = c;
            out.found = true;
        }
    }
    ::FreeMibTable(table);
    out.wired = out.found && best.hardware && best.ethernet;
    out.luid = best.id;
    return out;
}

}  // namespace pelto
