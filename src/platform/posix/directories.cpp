// Creating and removing directories, one level at a time, with the error
// codes Windows gives.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/extensions.h"
#include "platform/posix/internal.h"

using namespace odb::posix;

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES /*security*/) {
    if (!admit_call()) return FALSE;
    thread_local std::string directory;  // reused: see CreateFileW
    if (!to_posix_path(path, directory)) return FALSE;
    if (::mkdir(directory.c_str(), 0777) == 0) {
        note_created(directory);
        return TRUE;
    }
    switch (errno) {
        case EEXIST: return fail(ERROR_ALREADY_EXISTS);  // a file or a directory
        case ENOENT:
        case ENOTDIR: return fail(ERROR_PATH_NOT_FOUND);  // only a parent can be missing
        default: return fail(error_from_errno(errno));
    }
}

BOOL RemoveDirectoryW(LPCWSTR path) {
    if (!admit_call()) return FALSE;
    std::string directory;
    if (!to_posix_path(path, directory)) return FALSE;
    if (::rmdir(directory.c_str()) == 0) {
        note_removed(directory);
        return TRUE;
    }
    int error = errno;
    switch (error) {
        case ENOTEMPTY:
        case EEXIST: return fail(ERROR_DIR_NOT_EMPTY);
        case ENOTDIR: {
            // The name itself being a file is ERROR_DIRECTORY; a file on
            // the way to it is a missing path.
            struct stat st;
            if (::lstat(directory.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
                return fail(ERROR_DIRECTORY);
            return fail(ERROR_PATH_NOT_FOUND);
        }
        default: return fail_path(error, directory);
    }
}

namespace odb::platform {

BOOL FlushDirectoryW(LPCWSTR path) {
    if (!admit_call()) return FALSE;
    std::string directory;
    if (!to_posix_path(path, directory)) return FALSE;
    descriptor_scope scope;
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return fail_path(errno, directory);
    const int error = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    if (error != 0) return fail(error == EIO ? ERROR_WRITE_FAULT : error_from_errno(error));
    note_directory_flushed(directory);
    return TRUE;
}

}  // namespace odb::platform
