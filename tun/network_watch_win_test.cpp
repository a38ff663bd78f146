// The Windows network watch under Wine (or Windows): a change of an interface's DNS servers in the
// registry is reported once per burst, and a handler that cannot run yet is called again.

#include "tun/network_watch.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

const wchar_t* const test_interface =
    L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\{pelto-watch-test}";

void set_name_server(const wchar_t* value)
{
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, test_interface, L"NameServer", REG_SZ, value,
                              static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

bool wait_for(const std::atomic<int>& calls, int count, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (calls.load() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    return calls.load() >= count;
}

TEST(network_watch_win, a_burst_of_dns_server_changes_is_one_call_and_a_busy_handler_is_called_again)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, test_interface, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);

    std::atomic<int> calls{0};
    std::atomic<int> refusals{1};  // the first call finds the lock taken
    std::u16string message;
    auto watch = pelto::tun::start_network_watch(1, "", [&] {
        if (refusals.fetch_sub(1) > 0) {
            return false;
        }
        ++calls;
        return true;
    }, message);
    if (watch == nullptr) {
        // An emulator without the IP Helper notifications: the failure says so.
        EXPECT_FALSE(message.empty());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, test_interface);
        GTEST_SKIP() << std::string(message.begin(), message.end());
    }
    // The watch's thread arms the registry request; give it a moment before the first change.
    std::this_thread::sleep_for(100ms);
    const auto start = std::chrono::steady_clock::now();
    for (const wchar_t* server : {L"192.0.2.1", L"192.0.2.2", L"192.0.2.3"}) {
        set_name_server(server);
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(wait_for(calls, 1, 3s)) << "no call within 3 s";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_LT(refusals.load(), 0);  // refused once, then called again
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(calls.load(), 1);

    // A later change is a new burst.
    set_name_server(L"192.0.2.4");
    EXPECT_TRUE(wait_for(calls, 2, 3s));

    // Once the watch is gone nothing calls the handler.
    watch.reset();
    const int settled = calls.load();
    set_name_server(L"192.0.2.5");
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(calls.load(), settled);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, test_interface);
}

}  // namespace
