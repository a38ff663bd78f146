#include "engine/local_time.h"

#include <time.h>

namespace pelto {

time_of_day local_time_now()
{
    time_of_day out;
    const time_t now = time(nullptr);
    struct tm parts {};
    if (now != static_cast<time_t>(-1) && localtime_r(&now, &parts) != nullptr) {
        out.hour = parts.tm_hour;
        out.minute = parts.tm_min;
        out.second = parts.tm_sec;
    }
    return out;
}

}  // namespace pelto
