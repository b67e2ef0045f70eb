// Time conversion, text conversion, the module name and the per-thread
// last error.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/wide.h"

namespace {

using namespace odb::test;

uint64_t ticks(const FILETIME& t) { return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; }
FILETIME filetime(uint64_t ticks) {
    FILETIME t;
    t.dwLowDateTime = DWORD(ticks);
    t.dwHighDateTime = DWORD(ticks >> 32);
    return t;
}
SYSTEMTIME systemtime(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0,
                      WORD second = 0, WORD ms = 0) {
    SYSTEMTIME t{};
    t.wYear = year, t.wMonth = month, t.wDay = day, t.wHour = hour, t.wMinute = minute,
    t.wSecond = second;
    t.wMilliseconds = ms;
    return t;
}

TEST(Time, KnownInstantsConvertBothWays) {
    struct known {
        SYSTEMTIME time;
        uint64_t ticks;
        WORD day_of_week;
    } const cases[] = {
        {systemtime(1601, 1, 1), 0, 1},
        {systemtime(1970, 1, 1), 0x19DB1DED53E8000ull, 4},
        {systemtime(2000, 2, 29, 12, 34, 56, 789), 0x1BF82B162C9FC50ull, 2},
        {systemtime(9999, 12, 31, 23, 59, 59, 999), 0x24C85A5ED1C018F0ull, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.time.wYear);
        FILETIME file_time;
        ASSERT_TRUE(SystemTimeToFileTime(&c.time, &file_time));
        EXPECT_EQ(ticks(file_time), c.ticks);
        SYSTEMTIME back;
        ASSERT_TRUE(FileTimeToSystemTime(&file_time, &back));
        EXPECT_EQ(back.wYear, c.time.wYear);
        EXPECT_EQ(back.wMonth, c.time.wMonth);
        EXPECT_EQ(back.wDay, c.time.wDay);
        EXPECT_EQ(back.wHour, c.time.wHour);
        EXPECT_EQ(back.wMinute, c.time.wMinute);
        EXPECT_EQ(back.wSecond, c.time.wSecond);
        EXPECT_EQ(back.wMilliseconds, c.time.wMilliseconds);
        EXPECT_EQ(back.wDayOfWeek, c.day_of_week);
    }
    // Sub-millisecond ticks are dropped, not rounded.
    SYSTEMTIME cut;
    FILETIME almost = filetime(9999);
    ASSERT_TRUE(FileTimeToSystemTime(&almost, &cut));
    EXPECT_EQ(cut.wMilliseconds, 0);
}

TEST(Time, OutOfRangeFieldsAreRefused) {
    const SYSTEMTIME invalid[] = {
        systemtime(1600, 12, 31),
        systemtime(2001, 0, 1),
        systemtime(2001, 13, 1),
        systemtime(2001, 1, 0),
        systemtime(2001, 2, 29),
        systemtime(1900, 2, 29),
        systemtime(2000, 4, 31),
        systemtime(2000, 1, 1, 24),
        systemtime(2000, 1, 1, 0, 60),
        systemtime(2000, 1, 1, 0, 0, 60),
        systemtime(2000, 1, 1, 0, 0, 0, 1000),
    };
    for (const auto& t : invalid) {
        // Wine takes February 29 of any year; Windows only of leap years.
        if (running_under_wine() && t.wMonth == 2 && t.wDay == 29) continue;
        SCOPED_TRACE(std::to_string(t.wYear) + "-" + std::to_string(t.wMonth) + "-" +
                     std::to_string(t.wDay));
        FILETIME out;
        EXPECT_FALSE(SystemTimeToFileTime(&t, &out));
    }
    SYSTEMTIME leap = systemtime(2000, 2, 29), ignored_weekday = systemtime(2000, 1, 1);
    ignored_weekday.wDayOfWeek = 6;
    FILETIME out;
    EXPECT_TRUE(SystemTimeToFileTime(&leap, &out));
    EXPECT_TRUE(SystemTimeToFileTime(&ignored_weekday, &out));
    FILETIME too_big = filetime(0x8000000000000000ull);
    SYSTEMTIME back;
    EXPECT_FALSE(FileTimeToSystemTime(&too_big, &back));
}

TEST(Time, CompareAndClocks) {
    FILETIME a = filetime(5), b = filetime(0x100000004ull);
    EXPECT_EQ(CompareFileTime(&a, &b), -1);
    EXPECT_EQ(CompareFileTime(&b, &a), 1);
    EXPECT_EQ(CompareFileTime(&a, &a), 0);

    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME as_file;
    EXPECT_TRUE(SystemTimeToFileTime(&now, &as_file));
    EXPECT_GE(now.wYear, 2020);
    EXPECT_LE(now.wDayOfWeek, 6);
    SYSTEMTIME again;
    ASSERT_TRUE(FileTimeToSystemTime(&as_file, &again));
    EXPECT_EQ(again.wDayOfWeek, now.wDayOfWeek);

    DWORD first = GetTickCount();
    Sleep(20);
    EXPECT_GE(DWORD(GetTickCount() - first),
              15u);  // never goes back; a sleep is at least its length
}

TEST(Text, Utf8ConvertsBothWaysAndRefusesMalformedInput) {
    const char text[] = "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // h, e-acute, euro, U+1F600
    const WCHAR wide[] = {'h', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0};
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0), 6);
    WCHAR out[8];
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, 8), 6);
    EXPECT_EQ(wide_string(out), wide_string(wide));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, 3, out, 8),
              2);  // no terminator

    char back[16];
    EXPECT_EQ(
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, nullptr, 0, nullptr, nullptr),
        11);
    ASSERT_EQ(
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, back, 16, nullptr, nullptr),
        11);
    EXPECT_EQ(std::string(back), text);

    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, 3), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, back, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    for (const char* bad :
         {"\xC3\x28", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, -1, out, 8), 0);
        EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    }
    const WCHAR lone[] = {'a', 0xD800, 'b', 0};
    EXPECT_EQ(
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, back, 16, nullptr, nullptr),
        0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

TEST(Process, ModuleFileNameIsTheExecutableAndIsCutLikeWindows) {
    WCHAR name[1024];
    DWORD length = GetModuleFileNameW(nullptr, name, 1024);
    ASSERT_GT(length, 0u);
    std::string path = narrow(name);
    EXPECT_EQ(path.size(), length);
    EXPECT_NE(path.find("platform_tests"), std::string::npos);

    WCHAR small[6];
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 6), 6u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(wide_string(small, 5), wide_string(name, 5));
    // Windows since Vista ends the cut name with a NUL; Wine fills the
    // buffer as Windows XP did.
    if (!running_under_wine()) {
        EXPECT_EQ(small[5], WCHAR(0));
    }
}

// Two threads set their own error, meet (by spinning on an atomic, which
// calls nothing that could set an error), and read their own back.
TEST(LastError, EachThreadHasItsOwn) {
    std::atomic<int> arrived{0};
    DWORD seen[2] = {};
    auto body = [&](int index) {
        SetLastError(1000u + DWORD(index));
        arrived.fetch_add(1);
        while (arrived.load() < 2) {
        }
        seen[index] = GetLastError();
    };
    std::thread first(body, 0), second(body, 1);
    first.join();
    second.join();
    EXPECT_EQ(seen[0], 1000u);
    EXPECT_EQ(seen[1], 1001u);
}

}  // namespace
