// CreateFileW: an open(2) that takes the share lock before it changes
// anything. The protocol, and why each step is where it is, is described at
// the top of share_lock.cpp.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "platform/posix/internal.h"

namespace {

using namespace odb::posix;

HANDLE fail_open(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

HANDLE fail_open_fd(int fd, DWORD error) {
    ::close(fd);
    return fail_open(error);
}

}  // namespace

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES /*security*/,
                   DWORD disposition, DWORD /*flags*/, HANDLE /*template_file*/) {
    if (!admit_call()) return INVALID_HANDLE_VALUE;
    std::string file;
    if (!to_posix_path(path, file)) return INVALID_HANDLE_VALUE;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return fail_open(ERROR_INVALID_PARAMETER);

    const bool read = (access & GENERIC_READ) != 0;
    const bool write = (access & GENERIC_WRITE) != 0;
    if (disposition == TRUNCATE_EXISTING && !write) return fail_open(ERROR_INVALID_PARAMETER);
    const share_lock_kind kind = (!write && (share_mode & FILE_SHARE_READ) != 0)
                                     ? share_lock_kind::shared
                                     : share_lock_kind::exclusive;
    int mode = O_RDONLY;
    if (write)
        mode = read ? O_RDWR : O_WRONLY;
    else if (kind == share_lock_kind::exclusive)
        mode = O_RDWR;  // F_WRLCK needs a writable descriptor
    mode |= O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

    for (int attempt = 0; attempt < share_open_attempts; ++attempt) {
        bool created = false;
        int fd;
        if (disposition == CREATE_NEW) {
            fd = ::open(file.c_str(), mode | O_CREAT | O_EXCL, 0666);
            created = fd >= 0;
        } else {
            fd = ::open(file.c_str(), mode);
            if (fd < 0 && errno == ENOENT &&
                (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)) {
                fd = ::open(file.c_str(), mode | O_CREAT | O_EXCL, 0666);
                if (fd < 0 && errno == EEXIST) continue;  // another creator won; open theirs
                created = fd >= 0;
            }
        }
        if (fd < 0) {
            if (errno == EEXIST) return fail_open(ERROR_FILE_EXISTS);
            return fail_open(path_error_from_errno(errno, file));
        }

        struct stat st;
        if (::fstat(fd, &st) != 0) return fail_open_fd(fd, error_from_errno(errno));
        if (!S_ISREG(st.st_mode)) return fail_open_fd(fd, ERROR_ACCESS_DENIED);

        int error = take_share_lock(fd, kind);
        if (error != 0 && error != EAGAIN) return fail_open_fd(fd, error_from_errno(error));
        if (!same_file(file, st)) {  // deleted or renamed between open and lock
            ::close(fd);
            continue;
        }
        if (error == EAGAIN) return fail_open_fd(fd, ERROR_SHARING_VIOLATION);

        if ((disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) && !created &&
            st.st_size != 0 && ::ftruncate(fd, 0) != 0)
            return fail_open_fd(fd, error_from_errno(errno));

        auto* object = new (std::nothrow) file_object(fd, read, write);
        if (object == nullptr) return fail_open_fd(fd, ERROR_NOT_ENOUGH_MEMORY);
        bool opened_existing =
            !created && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS);
        SetLastError(opened_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return register_handle(object);
    }
    return fail_open(ERROR_SHARING_VIOLATION);
}
