#include "tun/wake_handle.h"

#include <windows.h>

#include <system_error>

namespace pelto::tun {

wake_handle::wake_handle()
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "CreateEvent");
    }
    native_ = event;
}

wake_handle::~wake_handle() { CloseHandle(static_cast<HANDLE>(native_)); }

void wake_handle::signal() { SetEvent(static_cast<HANDLE>(native_)); }

bool wake_handle::consume() { return WaitForSingleObject(static_cast<HANDLE>(native_), 0) == WAIT_OBJECT_0; }

void wait_for_work(void* device_event, wake_handle& wake, std::int32_t timeout_ms)
{
    HANDLE handles[2] = {static_cast<HANDLE>(wake.native()), static_cast<HANDLE>(device_event)};
    const DWORD count = device_event != nullptr ? 2 : 1;
    // The wake event is auto-reset: a wait that returns for it has consumed the signal.
    WaitForMultipleObjects(count, handles, FALSE, static_cast<DWORD>(timeout_ms));
}

}  // namespace pelto::tun
