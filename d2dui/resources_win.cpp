#include <windows.h>

#include <cstdio>
#include <stdexcept>

#include "base/obfuscated.h"
#include "base/program_resource_win.h"
#include "d2dui/direct2d_context.h"

namespace d2dui {

std::string hresult_text(std::string_view step, HRESULT hr)
{
    char code[32];
    std::snprintf(code, sizeof code, " (HRESULT = 0x%08lX)", static_cast<unsigned long>(hr));
    return std::string(step) + code;
}

void throw_hresult(std::string_view step, HRESULT hr)
{
    throw std::runtime_error(hresult_text(step, hr));
}

bool try_load_resource(int id, std::vector<std::uint8_t>& out)
{
    const std::string_view found = pelto::program_resource(id);
    out.assign(found.begin(), found.end());
    return !found.empty();
}

std::vector<std::uint8_t> load_resource(int id)
{
    std::vector<std::uint8_t> bytes;
    if (!try_load_resource(id, bytes)) {
        throw std::runtime_error(PELTO_TEXT("A resource of the program is missing or empty").str());
    }
    return bytes;
}

}  // namespace d2dui
