// CreateFileW: an open(2) that takes the share lock before it changes
// anything. The protocol, and why each step is where it is, is described at
// the top of share_lock.cpp.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <new>

#include "platform/extensions.h"
#include "platform/posix/internal.h"

namespace odb::posix {

int open_locked(const std::string& file, int mode, share_lock_kind kind, DWORD disposition,
                bool& created, DWORD& error, uint64_t* size, bool path_held,
                bool* on_block_device) {
    mode |= O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    for (int attempt = 0; attempt < share_open_attempts; ++attempt) {
        created = false;
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
            // Under the caller's hold the directory the file would be in is
            // there (see FILE_FLAG_PATH_HELD): a missing name is the file,
            // and the parent needs no look to tell.
            error = errno == EEXIST                 ? ERROR_FILE_EXISTS
                    : (errno == ENOENT && path_held) ? ERROR_FILE_NOT_FOUND
                                                     : path_error_from_errno(errno, file);
            return -1;
        }

        // The lock comes before the fstat: nothing is changed before the
        // lock either way, and a status taken under the lock also shows an
        // unlink made before it was granted (st_nlink 0), which is what a
        // path the caller holds still needs (see share_lock.cpp).
        pause_between_open_and_lock();
        const int refused = take_share_lock(fd, kind);
        struct stat st;
        error = ::fstat(fd, &st) != 0     ? error_from_errno(errno)
                : !S_ISREG(st.st_mode) ? ERROR_ACCESS_DENIED
                : (refused != 0 && refused != EAGAIN) ? error_from_errno(refused)
                                                      : ERROR_SUCCESS;
        if (error != ERROR_SUCCESS) {
            ::close(fd);
            return -1;
        }
        // Deleted, or (unless the caller holds the path) renamed, between
        // open and lock.
        if (st.st_nlink == 0 || (!path_held && !same_file(file, st))) {
            ::close(fd);
            continue;
        }
        if (refused == EAGAIN) {
            error = ERROR_SHARING_VIOLATION;
            ::close(fd);
            return -1;
        }

        const bool truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
        if (truncate && !created && st.st_size != 0) {
            if (::ftruncate(fd, 0) != 0) {
                error = error_from_errno(errno);
                ::close(fd);
                return -1;
            }
            note_file_resized(fd, 0);
        }
        if (created) note_created(file);
        if (size != nullptr) *size = truncate ? 0 : static_cast<uint64_t>(st.st_size);
        if (on_block_device != nullptr) *on_block_device = major(st.st_dev) != 0;
        return fd;
    }
    error = ERROR_SHARING_VIOLATION;
    return -1;
}

}  // namespace odb::posix

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES /*security*/,
                   DWORD disposition, DWORD flags, HANDLE /*template_file*/) {
    using namespace odb::posix;
    if (!admit_call()) return INVALID_HANDLE_VALUE;
    // The converted path goes into a buffer of the thread that keeps its
    // capacity, so an open allocates nothing for it (CreateFileW never
    // calls itself while the buffer is in use).
    thread_local std::string file;
    if (!to_posix_path(path, file)) return INVALID_HANDLE_VALUE;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    const bool read = (access & GENERIC_READ) != 0;
    const bool write = (access & GENERIC_WRITE) != 0;
    if (disposition == TRUNCATE_EXISTING && !write) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const share_lock_kind kind = (!write && (share_mode & FILE_SHARE_READ) != 0)
                                     ? share_lock_kind::shared
                                     : share_lock_kind::exclusive;
    int mode = O_RDONLY;
    if (write)
        mode = read ? O_RDWR : O_WRONLY;
    else if (kind == share_lock_kind::exclusive)
        mode = O_RDWR;  // F_WRLCK needs a writable descriptor

    descriptor_scope scope;
    bool created = false;
    DWORD error = ERROR_SUCCESS;
    uint64_t size = 0;
    bool on_block_device = false;
    const bool path_held = (flags & odb::platform::FILE_FLAG_PATH_HELD) != 0;
    int fd = open_locked(file, mode, kind, disposition, created, error, &size, path_held,
                         &on_block_device);
    if (fd < 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto* object = new (std::nothrow) file_object(fd, read, write);
    if (object == nullptr) {
        ::close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    object->size = size;
    if (on_block_device) object->keeper = lock_keeper::kernel;
    bool opened_existing = !created && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS);
    SetLastError(opened_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return register_handle(object);
}
