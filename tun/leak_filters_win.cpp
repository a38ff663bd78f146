// Leak-protection filters in a dynamic filtering session: the platform removes every filter of
// the session when it is closed or the process ends. One block filter per address: IPv4 unless
// it leaves through the adapter, IPv6 always.
//
// The filters sit at the ALE connect authorisation layers (FWPM_LAYER_ALE_AUTH_CONNECT_V4/_V6),
// not at the outbound transport layers: a block there at the transport layer silently discards
// each SYN, so a program forced around the adapter would wait out its connect time-out. The
// platform's contract for the ALE connect layer is that it authorises connect requests for
// outgoing TCP connections and outgoing non-TCP traffic by its first packet; a block verdict
// fails the request itself, so connect (and the first send of a datagram socket) fails at once
// with WSAEACCES. The remote-address and local-interface conditions are both available there.

#include "tun/tun_system.h"

#include "base/obfuscated.h"

#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>
#include <rpc.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace pelto::tun {

namespace {

// The platform's identifiers, which this toolchain's headers do not define.
constexpr GUID layer_ale_auth_connect_v4 = {0xc38d57d1, 0x05a7, 0x4c33, {0x90, 0x4f, 0x7f, 0xbc, 0xee, 0xe6, 0x0e, 0x82}};
constexpr GUID layer_ale_auth_connect_v6 = {0x4a72393b, 0x319f, 0x44bc, {0x84, 0xc3, 0xba, 0x54, 0xdc, 0xb3, 0xb6, 0xb4}};
constexpr GUID sublayer_universal = {0xeebecc03, 0xced4, 0x4380, {0x81, 0x9a, 0x27, 0x34, 0x39, 0x7b, 0x2b, 0x74}};
constexpr GUID condition_remote_address = {0xb235ae9a, 0x1d64, 0x49b8, {0xa4, 0x4c, 0x5f, 0xf3, 0xd9, 0x09, 0x50, 0x45}};
constexpr GUID condition_local_interface = {0x4cd62a49, 0x59c3, 0x4969, {0xb7, 0xf3, 0xbd, 0xa5, 0xd3, 0x28, 0x90, 0xa4}};
constexpr UINT32 session_flag_dynamic = 0x00000001;

std::wstring wide(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }

class wfp_filters final : public leak_filters {
public:
    explicit wfp_filters(std::uint64_t adapter_luid) : luid_(adapter_luid) {}
    ~wfp_filters() override
    {
        if (engine_ != nullptr) {
            FwpmEngineClose0(engine_);
        }
    }

    DWORD open()
    {
        std::wstring name = wide(PELTO_TEXT(u"pelto TUN leak protection").str());
        FWPM_SESSION0 session{};
        session.flags = session_flag_dynamic;
        session.displayData.name = name.data();
        return FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, &engine_);
    }

    bool add(byte_span address, bool ipv6) override
    {
        if (address.size() != (ipv6 ? 16u : 4u)) {
            return false;
        }
        const std::string key(reinterpret_cast<const char*>(address.data()), address.size());
        std::lock_guard hold(lock_);
        if (engine_ == nullptr) {
            return false;
        }
        if (ids_.count(key) != 0) {
            return true;
        }
        std::wstring name = wide(PELTO_TEXT(u"pelto TUN: routed address").str());
        FWPM_FILTER0 filter{};
        filter.displayData.name = name.data();
        filter.layerKey = ipv6 ? layer_ale_auth_connect_v6 : layer_ale_auth_connect_v4;
        filter.subLayerKey = sublayer_universal;
        filter.weight.type = FWP_UINT8;
        filter.weight.uint8 = 15;
        filter.action.type = FWP_ACTION_BLOCK;

        FWPM_FILTER_CONDITION0 conditions[2]{};
        FWP_V4_ADDR_AND_MASK v4{};
        FWP_V6_ADDR_AND_MASK v6{};
        UINT64 luid = luid_;
        conditions[0].fieldKey = condition_remote_address;
        conditions[0].matchType = FWP_MATCH_EQUAL;
        if (ipv6) {
            std::memcpy(v6.addr, address.data(), 16);
            v6.prefixLength = 128;
            conditions[0].conditionValue.type = FWP_V6_ADDR_MASK;
            conditions[0].conditionValue.v6AddrMask = &v6;
            filter.numFilterConditions = 1;
        } else {
            std::uint32_t network = 0;
            std::memcpy(&network, address.data(), 4);
            v4.addr = ntohl(network);
            v4.mask = 0xFFFFFFFFu;
            conditions[0].conditionValue.type = FWP_V4_ADDR_MASK;
            conditions[0].conditionValue.v4AddrMask = &v4;
            conditions[1].fieldKey = condition_local_interface;
            conditions[1].matchType = FWP_MATCH_NOT_EQUAL;
            conditions[1].conditionValue.type = FWP_UINT64;
            conditions[1].conditionValue.uint64 = &luid;
            filter.numFilterConditions = 2;
        }
        filter.filterCondition = conditions;
        UINT64 id = 0;
        if (FwpmFilterAdd0(engine_, &filter, nullptr, &id) != ERROR_SUCCESS) {
            return false;
        }
        ids_[key] = id;
        return true;
    }

    void remove(byte_span address, bool ipv6) override
    {
        if (address.size() != (ipv6 ? 16u : 4u)) {
            return;
        }
        const std::string key(reinterpret_cast<const char*>(address.data()), address.size());
        std::lock_guard hold(lock_);
        const auto it = ids_.find(key);
        if (engine_ != nullptr && it != ids_.end()) {
            FwpmFilterDeleteById0(engine_, it->second);
            ids_.erase(it);
        }
    }

private:
    std::uint64_t luid_;
    HANDLE engine_ = nullptr;
    std::mutex lock_;
    std::map<std::string, UINT64> ids_;
};

}  // namespace

std::unique_ptr<leak_filters> open_leak_filters(std::uint64_t adapter_id, std::u16string& out_message)
{
    auto filters = std::make_unique<wfp_filters>(adapter_id);
    const DWORD error = filters->open();
    if (error != ERROR_SUCCESS) {
        out_message = PELTO_TEXT(u"the leak-protection filters could not be enabled: the filtering engine "
                                 u"did not open, error ").str();
        for (char c : std::to_string(error)) {
            out_message.push_back(static_cast<char16_t>(c));
        }
        return nullptr;
    }
    return filters;
}

}  // namespace pelto::tun
