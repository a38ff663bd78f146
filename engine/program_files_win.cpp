// The program's directory, the embedded endpoint document (resource RCDATA 503) and small file
// reads on Windows.

#include <windows.h>

#include <string>
#include <vector>

#include "base/program_resource_win.h"
#include "engine/node_loader.h"

namespace pelto {

bool program_directory(std::u16string& out_directory)
{
    std::vector<wchar_t> buffer(32768);
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) {
        return false;
    }
    std::u16string path(buffer.begin(), buffer.begin() + n);
    const std::size_t cut = path.find_last_of(u"\\/");
    if (cut == std::u16string::npos) {
        return false;
    }
    out_directory = path.substr(0, cut + 1);
    return true;
}

std::string embedded_endpoint_document()
{
    return std::string(program_resource(503));
}

int read_small_file(const std::u16string& path, std::size_t limit, std::string& out_bytes)
{
    const std::wstring native(path.begin(), path.end());
    if (::GetFileAttributesW(native.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? 1 : 2;
    }
    const HANDLE file = ::CreateFileW(native.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 2;
    }
    LARGE_INTEGER size{};
    int result = 2;
    if (::GetFileSizeEx(file, &size) && size.QuadPart >= 1 && static_cast<unsigned long long>(size.QuadPart) <= limit) {
        out_bytes.assign(static_cast<std::size_t>(size.QuadPart), '\0');
        DWORD got = 0;
        if (::ReadFile(file, out_bytes.data(), static_cast<DWORD>(out_bytes.size()), &got, nullptr) &&
            got == out_bytes.size()) {
            result = 0;
        } else {
            out_bytes.clear();
        }
    }
    ::CloseHandle(file);
    return result;
}

}  // namespace pelto
