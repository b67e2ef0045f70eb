// The one fixture routine that needs the operating system itself.
#include "support/walk_fixture_files.h"

#include "platform/handle.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace odb::test {

bool set_last_write_time(const wide_string& path, const FILETIME& time) {
#ifdef _WIN32
    file_handle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && SetFileTime(file.get(), nullptr, nullptr, &time);
#else
    // FILETIME counts 100 ns from 1601; the Unix epoch is 11644473600 s later.
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    const uint64_t since_1970 = ticks - 116444736000000000ull;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(since_1970 / 10000000u);
    times[1].tv_nsec = static_cast<long>(since_1970 % 10000000u) * 100;
    return ::utimensat(AT_FDCWD, narrow(path).c_str(), times, 0) == 0;
#endif
}

}  // namespace odb::test
