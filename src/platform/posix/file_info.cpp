// What Win32 reports about a file (attributes, size, three times), read with
// one statx so the birth time is used where the file system keeps one.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/extensions.h"
#include "platform/posix/internal.h"

namespace odb::posix {
namespace {

FILETIME from_statx(const struct statx_timestamp& time) {
    struct timespec value;
    value.tv_sec = time.tv_sec;
    value.tv_nsec = time.tv_nsec;
    return filetime_from_timespec(value);
}

}  // namespace

int query_file(int dir_fd, const char* name, int flags, file_info& info) {
    struct statx sx;
    unsigned mask = STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_ATIME | STATX_MTIME | STATX_CTIME |
                    STATX_BTIME;
    if (::statx(dir_fd, name, flags, mask, &sx) == 0) {
        info.directory = S_ISDIR(sx.stx_mode);
        info.symbolic_link = S_ISLNK(sx.stx_mode);
        info.read_only = (sx.stx_mode & S_IWUSR) == 0;
        info.size = sx.stx_size;
        info.creation = from_statx((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime);
        info.access = from_statx(sx.stx_atime);
        info.write = from_statx(sx.stx_mtime);
        return 0;
    }
    if (errno != ENOSYS) return errno;
    struct stat st;  // kernels before statx
    if (::fstatat(dir_fd, name, &st, flags) != 0) return errno;
    info.directory = S_ISDIR(st.st_mode);
    info.symbolic_link = S_ISLNK(st.st_mode);
    info.read_only = (st.st_mode & S_IWUSR) == 0;
    info.size = static_cast<uint64_t>(st.st_size);
    info.creation = filetime_from_timespec(st.st_ctim);
    info.access = filetime_from_timespec(st.st_atim);
    info.write = filetime_from_timespec(st.st_mtim);
    return 0;
}

}  // namespace odb::posix

namespace odb::platform {

BOOL PathExistsW(LPCWSTR path) {
    if (!odb::posix::admit_call()) return FALSE;
    thread_local std::string name;  // reused: see CreateFileW
    if (!odb::posix::to_posix_path(path, name)) return FALSE;
    struct stat st;
    if (::fstatat(AT_FDCWD, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return TRUE;
    if (errno == ENOENT || errno == ENOTDIR) return odb::posix::fail(ERROR_FILE_NOT_FOUND);
    return odb::posix::fail(odb::posix::error_from_errno(errno));
}

}  // namespace odb::platform
