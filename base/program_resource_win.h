#pragma once
// The executable's own embedded data (RCDATA resources: fonts, icons, flags, the endpoint
// document, the adapter library). Include only from *_win.cpp files.
//
// A resource stays mapped for the life of the process, so the returned view never dangles. Empty
// when the program holds no such resource or it has no bytes.

#include <windows.h>

#include <cstdint>
#include <string_view>

namespace pelto {

inline std::string_view program_resource(std::int32_t id)
{
    const HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));  // RT_RCDATA
    if (found == nullptr) {
        return {};
    }
    const DWORD size = ::SizeofResource(nullptr, found);
    const HGLOBAL loaded = ::LoadResource(nullptr, found);
    const void* data = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    if (data == nullptr || size == 0) {
        return {};
    }
    return std::string_view(static_cast<const char*>(data), size);
}

}  // namespace pelto
