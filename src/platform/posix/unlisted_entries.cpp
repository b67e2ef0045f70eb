// The entries a listing passes over (see platform/extensions.h): wiped and
// deleted by their own names, through directory descriptors, so that a wipe
// that reports success has left nothing readable behind.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/extensions.h"
#include "platform/posix/internal.h"

namespace {

using namespace odb::posix;

bool is_dot_name(const char* name) {
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Overwrites a regular file over its whole length, then deletes it, as
// wipe_file does through a path. Held open by a handle of this layer, it is
// refused (ERROR_SHARING_VIOLATION). Returns 0 or a Win32 error.
DWORD wipe_file_at(int dir_fd, const char* name) {
    int fd = ::openat(dir_fd, name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return errno == ENOENT ? 0 : error_from_errno(errno);
    int error = take_share_lock(fd, share_lock_kind::exclusive);
    struct stat st;
    if (error == 0 && ::fstat(fd, &st) != 0) error = errno;
    if (error != 0) {
        ::close(fd);
        return error == EAGAIN ? ERROR_SHARING_VIOLATION : error_from_errno(error);
    }
    static const char zeros[65536] = {};
    for (off_t done = 0; done < st.st_size;) {
        const off_t left = st.st_size - done;
        const size_t chunk = left < static_cast<off_t>(sizeof zeros) ? static_cast<size_t>(left)
                                                                      : sizeof zeros;
        const ssize_t written = ::pwrite(fd, zeros, chunk, done);
        if (written <= 0) break;
        done += written;
    }
    ::close(fd);
    if (::unlinkat(dir_fd, name, 0) != 0 && errno != ENOENT) return error_from_errno(errno);
    return 0;
}

// Deletes the entries of an open directory (the descriptor is taken over):
// every entry, or with `unlisted_only` those with no Win32 name. Returns 0
// or the Win32 error of the first entry that stays.
DWORD wipe_entries(int dir_fd, bool unlisted_only) {
    DIR* dir = ::fdopendir(dir_fd);
    if (dir == nullptr) {
        int error = errno;
        ::close(dir_fd);
        return error_from_errno(error);
    }
    DWORD result = 0;
    WCHAR wide[MAX_PATH];
    std::size_t length = 0;
    errno = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (is_dot_name(name) || (unlisted_only && win32_name(name, wide, length))) {
            errno = 0;
            continue;
        }
        struct stat st;
        if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) result = error_from_errno(errno);
        } else if (S_ISDIR(st.st_mode)) {
            int child = ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            result = child < 0 ? error_from_errno(errno) : wipe_entries(child, false);
            if (result == 0 && ::unlinkat(::dirfd(dir), name, AT_REMOVEDIR) != 0 && errno != ENOENT)
                result = error_from_errno(errno);
        } else if (S_ISREG(st.st_mode)) {
            result = wipe_file_at(::dirfd(dir), name);
        } else if (::unlinkat(::dirfd(dir), name, 0) != 0 && errno != ENOENT) {
            result = error_from_errno(errno);  // a link or special file: only its name goes
        }
        if (result != 0) break;
        errno = 0;
    }
    if (result == 0 && errno != 0) result = error_from_errno(errno);
    ::closedir(dir);
    return result;
}

}  // namespace

namespace odb::platform {

BOOL WipeUnlistedEntriesW(LPCWSTR directory) {
    if (!admit_call()) return FALSE;
    std::string path;
    if (!to_posix_path(directory, path)) return FALSE;
    forget_cached_profiles(path);
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? TRUE : fail_path(errno, path);
    const DWORD error = wipe_entries(fd, true);
    return error == 0 ? TRUE : fail(error);
}

BOOL IsDeletePendingW(LPCWSTR /*path*/) { return FALSE; }

}  // namespace odb::platform
