#include "system/instance_lock.h"

#include <windows.h>

#include "base/obfuscated.h"

namespace pelto {

instance_lock::instance_lock(int wait_ms)
{
    const HANDLE mutex = ::CreateMutexW(nullptr, TRUE, PELTO_TEXT(L"Local\\pelto-single-instance").c_str());
    if (mutex == nullptr) {
        return;
    }
    handle_ = reinterpret_cast<std::intptr_t>(mutex);
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
        held_ = true;
        return;
    }
    const DWORD waited = ::WaitForSingleObject(mutex, wait_ms > 0 ? static_cast<DWORD>(wait_ms) : 0);
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

instance_lock::~instance_lock()
{
    if (handle_ != -1) {
        const HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
        if (held_) {
            ::ReleaseMutex(mutex);
        }
        ::CloseHandle(mutex);
    }
}

}  // namespace pelto
