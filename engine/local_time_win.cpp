#include "engine/local_time.h"

#include <windows.h>

namespace pelto {

time_of_day local_time_now()
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return {now.wHour, now.wMinute, now.wSecond};
}

}  // namespace pelto
