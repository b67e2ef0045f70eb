// Win32 time: FILETIME counts 100 ns ticks since 1601-01-01 UTC in the
// proleptic Gregorian calendar; SYSTEMTIME is its broken-down UTC form.
#include <errno.h>
#include <sched.h>
#include <time.h>

#include "platform/posix/internal.h"

namespace {

constexpr uint64_t ticks_per_second = 10000000ull;
constexpr uint64_t ticks_per_day = 86400ull * ticks_per_second;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t epoch_days_1601_to_1970 = 134774;
// FILETIME values above this do not convert to a SYSTEMTIME on Windows.
constexpr uint64_t max_convertible = 0x7FFFFFFFFFFFFFFFull;

uint64_t to_ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME from_ticks(uint64_t ticks) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

bool leap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int64_t year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap(year) ? 29 : days[month - 1];
}

// Days since 1601-01-01 of a civil date (H. Hinnant's days_from_civil,
// shifted from the Unix epoch).
int64_t days_since_1601(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<int64_t>(day_of_era) - 719468 + epoch_days_1601_to_1970;
}

void civil_from_days(int64_t days_1601, int64_t& year, unsigned& month, unsigned& day) {
    const int64_t z = days_1601 - epoch_days_1601_to_1970 + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto day_of_era = static_cast<unsigned>(z - era * 146097);
    const unsigned year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const unsigned day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned mp = (5 * day_of_year + 2) / 153;
    day = day_of_year - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int64_t>(year_of_era) + era * 400 + (month <= 2);
}

}  // namespace

namespace odb::posix {

FILETIME filetime_from_timespec(const struct timespec& time) {
    int64_t seconds = static_cast<int64_t>(time.tv_sec) + epoch_days_1601_to_1970 * 86400;
    if (seconds < 0) return from_ticks(0);  // before 1601: not representable
    return from_ticks(static_cast<uint64_t>(seconds) * ticks_per_second +
                      static_cast<uint64_t>(time.tv_nsec) / 100);
}

}  // namespace odb::posix

void GetSystemTime(LPSYSTEMTIME time) {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    FILETIME file_time = odb::posix::filetime_from_timespec(now);
    FileTimeToSystemTime(&file_time, time);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* system_time, LPFILETIME file_time) {
    const SYSTEMTIME& t = *system_time;
    // Windows checks every field (but not the day of the week) and refuses
    // the whole conversion for one out of range.
    if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
        t.wDay > days_in_month(t.wYear, t.wMonth) || t.wHour > 23 || t.wMinute > 59 ||
        t.wSecond > 59 || t.wMilliseconds > 999)
        return odb::posix::fail(ERROR_INVALID_PARAMETER);
    uint64_t days = static_cast<uint64_t>(days_since_1601(t.wYear, t.wMonth, t.wDay));
    uint64_t ms_of_day =
        ((t.wHour * 60u + t.wMinute) * 60u + t.wSecond) * 1000ull + t.wMilliseconds;
    *file_time = from_ticks(days * ticks_per_day + ms_of_day * 10000ull);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* file_time, LPSYSTEMTIME system_time) {
    uint64_t ticks = to_ticks(*file_time);
    if (ticks > max_convertible) return odb::posix::fail(ERROR_INVALID_PARAMETER);
    int64_t days = static_cast<int64_t>(ticks / ticks_per_day);
    uint64_t ms_of_day = (ticks % ticks_per_day) / 10000;
    int64_t year;
    unsigned month, day;
    civil_from_days(days, year, month, day);
    SYSTEMTIME& t = *system_time;
    t.wYear = static_cast<WORD>(year);
    t.wMonth = static_cast<WORD>(month);
    t.wDay = static_cast<WORD>(day);
    t.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    t.wHour = static_cast<WORD>(ms_of_day / 3600000);
    t.wMinute = static_cast<WORD>(ms_of_day / 60000 % 60);
    t.wSecond = static_cast<WORD>(ms_of_day / 1000 % 60);
    t.wMilliseconds = static_cast<WORD>(ms_of_day % 1000);
    return TRUE;
}

LONG CompareFileTime(const FILETIME* a, const FILETIME* b) {
    uint64_t x = to_ticks(*a), y = to_ticks(*b);
    return x < y ? -1 : x > y ? 1 : 0;
}

DWORD GetTickCount() {
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        ::sched_yield();  // Sleep(0) gives up the rest of the time slice
        return;
    }
    struct timespec rest;
    rest.tv_sec = milliseconds / 1000;
    rest.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}
