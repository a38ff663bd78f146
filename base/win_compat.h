#pragma once
// Declarations the MinGW-w64 headers lack, in one place. Include only from *_win.cpp files.
//
// The functions declared here are not linked by name: a Windows build may run where they are
// missing (older systems, compatibility layers), so callers look them up with GetProcAddress and
// keep a real fallback for when the lookup fails.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace pelto::win_compat {

// ws2_32: cancels an overlapped GetAddrInfoExW through the handle it returned.
using get_addr_info_ex_cancel_fn = INT(WSAAPI*)(LPHANDLE cancel_handle);
// ws2_32: the result code of a completed overlapped GetAddrInfoExW.
using get_addr_info_ex_overlapped_result_fn = INT(WSAAPI*)(LPOVERLAPPED overlapped);

}  // namespace pelto::win_compat
