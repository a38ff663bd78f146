#pragma once
// Points the system proxy of the default connection at the loopback listener and puts the user's
// own settings back afterwards, unless somebody changed them in the meantime.
//
// `set_system_proxy` saves the current settings (only the first time; a second call while ours
// are applied keeps the settings saved before the first one), writes ours and returns true. On a
// failed write it puts the saved settings back at once and returns false; if that fails too, what
// the platform then holds counts as ours, so a later restore still puts the saved settings back.
// The first call that leaves settings of ours in place registers an exit-time handler that calls
// `restore_system_proxy`.
//
// `restore_system_proxy` returns true at once when ours are not applied. Otherwise it reads the
// current settings: if they are no longer exactly what reading them back after our write gave,
// the user (or another program) changed them, and they are left alone; else the saved settings
// are written. It returns false only when reading or writing failed; ours then stay marked as
// applied, so a later call tries again.
//
// Both are serialised by one mutex and may be called from any thread. Windows: WinINet
// per-connection options. Linux: the GNOME proxy settings through GSettings.

#include <cstdint>
#include <string>

namespace pelto {

// Bits of `proxy_settings::flags`, with the values the Windows per-connection options use.
inline constexpr std::uint32_t proxy_type_direct = 0x1;
inline constexpr std::uint32_t proxy_type_proxy = 0x2;
inline constexpr std::uint32_t proxy_type_auto_proxy_url = 0x4;
inline constexpr std::uint32_t proxy_type_auto_detect = 0x8;

struct proxy_settings {
    std::uint32_t flags = 0;
    std::u16string server;          // "host:port", or "http=host:port;https=host:port"
    std::u16string bypass;          // entries separated by ';'
    std::u16string autoconfig_url;

    bool operator==(const proxy_settings&) const = default;
};

bool set_system_proxy(int port);
bool restore_system_proxy();

// For a front end that runs the loopback proxy without touching the system's settings: while
// on, `set_system_proxy` and `restore_system_proxy` succeed without reading or writing anything.
// Set it before the engine starts.
void keep_system_proxy_untouched(bool on);

// Platform backend. Reading gives the settings as the platform holds them; a platform may drop or
// normalise parts of what was written (Wine keeps no bypass list), so a caller that must recognise
// its own settings later compares against what it read back, not what it wrote.
bool read_proxy_settings(proxy_settings& out, std::u16string& out_error);
bool write_proxy_settings(const proxy_settings& settings, std::u16string& out_error);

// The addresses that stay direct while the loopback proxy is the system proxy, in the platform's
// own bypass syntax.
std::u16string loopback_bypass_list();

}  // namespace pelto
