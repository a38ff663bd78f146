#pragma once
// Declarations the MinGW-w64 headers lack, in one place. Include only from *_win.cpp files.
//
// The functions declared here are not linked by name: a Windows build may run where they are
// missing (older systems, compatibility layers), so callers look them up with GetProcAddress and
// keep a real fallback for when the lookup fails.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <d2d1_1.h>
#include <objidl.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "base/text.h"

namespace pelto::win_compat {

// UTF-8 text (host and server names) as the wide string the W entry points take.
inline std::wstring utf8_to_wide(std::string_view utf8)
{
    const std::u16string text = utf8_to_utf16(utf8);
    return std::wstring(text.begin(), text.end());
}

// ws2_32: cancels an overlapped GetAddrInfoExW through the handle it returned.
using get_addr_info_ex_cancel_fn = INT(WSAAPI*)(LPHANDLE cancel_handle);
// ws2_32: the result code of a completed overlapped GetAddrInfoExW.
using get_addr_info_ex_overlapped_result_fn = INT(WSAAPI*)(LPOVERLAPPED overlapped);

// dwmapi: window attributes newer than the MinGW-w64 headers, and their values.
inline constexpr DWORD dwm_use_immersive_dark_mode = 20;
inline constexpr DWORD dwm_window_corner_preference = 33;
inline constexpr DWORD dwm_border_color = 34;
inline constexpr DWORD dwm_system_backdrop_type = 38;
inline constexpr int dwm_corner_round = 2;
inline constexpr int dwm_backdrop_transient_window = 3;

// dcomp: DCompositionCreateDevice, looked up at run time (absent on some systems and layers).
using dcomposition_create_device_fn = HRESULT(WINAPI*)(IUnknown* dxgi_device, REFIID iid, void** device);

// d2d1_3.h: ID2D1DeviceContext5, the version-5 device context that parses and draws SVG. Only
// the two SVG slots are used; they are reached through a vtable declared here slot by slot,
// counted along the interface chain (IUnknown, ID2D1Resource, ID2D1RenderTarget,
// ID2D1DeviceContext, then versions 1 to 4).
inline constexpr GUID iid_d2d_device_context5 = {0x7836d248, 0x68cc, 0x4df6, {0xb9, 0xe8, 0xde, 0x99, 0x1b, 0xf6, 0x2e, 0xb7}};

struct d2d_device_context5;
struct d2d_device_context5_vtable {
    void* unknown[3];          // QueryInterface, AddRef, Release
    void* resource[1];         // GetFactory
    void* render_target[53];   // CreateBitmap ... IsSupported
    void* device_context[35];  // CreateBitmap (v1 properties) ... FillOpacityMask
    void* device_context1[3];  // geometry realizations
    void* device_context2[11]; // ink, gradient meshes, image sources, lookup tables
    void* device_context3[2];  // sprite batches
    void* device_context4[7];  // SVG glyphs, colour glyph runs
    HRESULT(STDMETHODCALLTYPE* create_svg_document)(d2d_device_context5* self, IStream* xml, D2D1_SIZE_F viewport,
                                                    IUnknown** document);
    void(STDMETHODCALLTYPE* draw_svg_document)(d2d_device_context5* self, IUnknown* document);
};
struct d2d_device_context5 {
    const d2d_device_context5_vtable* vtable;
};
static_assert(offsetof(d2d_device_context5_vtable, device_context) == 57 * sizeof(void*),
              "ID2D1RenderTarget ends at slot 57");
static_assert(offsetof(d2d_device_context5_vtable, device_context1) == 92 * sizeof(void*),
              "ID2D1DeviceContext ends at slot 92");
static_assert(offsetof(d2d_device_context5_vtable, create_svg_document) == 115 * sizeof(void*),
              "CreateSvgDocument is slot 115");
static_assert(offsetof(d2d_device_context5_vtable, draw_svg_document) == 116 * sizeof(void*),
              "DrawSvgDocument is slot 116");

}  // namespace pelto::win_compat
