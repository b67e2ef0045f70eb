// Time in the forms the files store.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace odb {

// Seconds since 1992-01-01 00:00:00 UTC, milliseconds dropped, by the
// stored files' own calendar rule (every fourth year a leap year).
inline uint32_t seconds_since_1992(const SYSTEMTIME& time) {
    static const uint32_t days_before_month[12] = {0,   31,  59,  90,  120, 151,
                                                   181, 212, 243, 273, 304, 334};
    const uint32_t years = static_cast<uint32_t>(time.wYear) - 1992u;
    const uint32_t month = time.wMonth >= 1 && time.wMonth <= 12 ? time.wMonth : 1;
    uint32_t days = 365u * years + (years + 3u) / 4u + days_before_month[month - 1] + time.wDay - 1u;
    if (years % 4u == 0 && month > 2) days += 1;
    return ((days * 24u + time.wHour) * 60u + time.wMinute) * 60u + time.wSecond;
}

inline uint32_t seconds_since_1992_now() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    return seconds_since_1992(now);
}

}  // namespace odb
