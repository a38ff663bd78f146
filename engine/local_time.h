#pragma once
// The local wall-clock time of day, for the prefix of log lines.

namespace pelto {

struct time_of_day {
    int hour = 0;    // 0..23
    int minute = 0;  // 0..59
    int second = 0;  // 0..59 (60 only in a leap second the platform reports)
};

// Never fails: a platform that cannot tell the local time gives midnight.
time_of_day local_time_now();

}  // namespace pelto
