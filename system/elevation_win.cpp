// Elevation on Windows: the token's elevation flag, and a relaunch through the shell's "runas".

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "system/elevation.h"
#include "base/obfuscated.h"

namespace pelto {

bool is_elevated()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool ok = ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != 0;
    ::CloseHandle(token);
    return ok && elevation.TokenIsElevated != 0;
}

bool relaunch_elevated()
{
    std::vector<wchar_t> path(32768);
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) {
        return false;
    }
    std::wstring program(path.data(), n);
    const std::wstring::size_type cut = program.find_last_of(L"\\/");
    if (cut == std::wstring::npos) {
        return false;
    }
    const std::wstring directory = program.substr(0, cut);
    // TUN mode is why the new instance is wanted: it gets the elevate switch with the hand-over.
    const std::string switches = handover_switch() + " " + elevate_switch();
    const std::wstring parameters(switches.begin(), switches.end());
    return ::ShellExecuteW(nullptr, PELTO_TEXT(L"runas").c_str(), program.c_str(), parameters.c_str(),
                           directory.c_str(), SW_SHOWNORMAL) > reinterpret_cast<HINSTANCE>(32);
}

std::string handover_switch()
{
    return PELTO_TEXT("--handover").str();
}

std::string elevate_switch()
{
    return PELTO_TEXT("--tun").str();
}

void confirm_handover(const std::string&) {}

void set_pkexec_path_for_testing(const std::string&) {}

}  // namespace pelto
