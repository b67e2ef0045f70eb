// Reading, writing and positioning through a file handle, with Win32's
// answers: whole transfers for files, 32-bit halves for positions and sizes.
//
// The file pointer lives in the handle, not in the descriptor: a descriptor
// is never shared between handles, so the handle's own position is exact,
// and a seek costs no system call (reads and writes are pread and pwrite at
// it). The engine positions before almost every transfer, so this halves
// the calls of a record file walk. The size lives in the handle too (see
// file_object in internal.h): the engine asks for it before most reads and
// at the start of every record search.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/extensions.h"
#include "platform/posix/internal.h"

using namespace odb::posix;

namespace odb::posix {

int known_size(file_object& object, uint64_t& size) {
    if (!object.size_known) {
        struct stat st;
        if (::fstat(object.fd, &st) != 0) return errno;
        object.size = static_cast<uint64_t>(st.st_size);
        object.size_known = true;
    }
    size = object.size;
    return 0;
}

}  // namespace odb::posix

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, LPOVERLAPPED overlapped) {
    if (!admit_call()) return FALSE;
    if (read != nullptr) *read = 0;
    file_object* object = lookup_file(file);
    if (object == nullptr) return FALSE;
    if (overlapped != nullptr) return fail(ERROR_NOT_SUPPORTED);
    if (!object->can_read) return fail(ERROR_ACCESS_DENIED);
    DWORD injected_error = ERROR_SUCCESS;
    const bool fail_after = cut_transfer(to_read, injected_error);
    auto* bytes = static_cast<char*>(buffer);
    DWORD done = 0;
    // A short read from a regular file is retried, so callers get the full
    // count. The end of the file is a read of 0, or a read that reaches the
    // size the handle knows: no other handle can have made the file longer
    // (file_object::size), so no further read is made to hear it answer 0;
    // a file someone outside the layer cut shorter still ends with a 0.
    while (done < to_read) {
        ssize_t n = ::pread(object->fd, bytes + done, to_read - done,
                            static_cast<off_t>(object->position + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            object->position += done;
            if (read != nullptr) *read = done;
            return fail(errno == EIO ? ERROR_READ_FAULT : error_from_errno(errno));
        }
        if (n == 0) break;
        done += static_cast<DWORD>(n);
        if (done < to_read && object->size_known && object->position + done >= object->size)
            break;
    }
    object->position += done;
    if (read != nullptr) *read = done;
    if (fail_after) return fail(injected_error);
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
               LPOVERLAPPED overlapped) {
    if (!admit_call()) return FALSE;
    if (written != nullptr) *written = 0;
    file_object* object = lookup_file(file);
    if (object == nullptr) return FALSE;
    if (overlapped != nullptr) return fail(ERROR_NOT_SUPPORTED);
    if (!object->can_write) return fail(ERROR_ACCESS_DENIED);
    DWORD injected_error = ERROR_SUCCESS;
    const bool fail_after = cut_transfer(to_write, injected_error);
    const auto* bytes = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done < to_write) {
        ssize_t n = ::pwrite(object->fd, bytes + done, to_write - done,
                             static_cast<off_t>(object->position + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            note_file_written(object->fd, object->position, bytes, done);
            errno = error;
            object->position += done;
            if (object->size_known && object->position > object->size)
                object->size = object->position;
            if (written != nullptr) *written = done;
            return fail(errno == EIO ? ERROR_WRITE_FAULT : error_from_errno(errno));
        }
        done += static_cast<DWORD>(n);
    }
    note_file_written(object->fd, object->position, bytes, done);
    object->position += done;
    if (object->size_known && object->position > object->size) object->size = object->position;
    if (written != nullptr) *written = done;
    if (fail_after) return fail(injected_error);
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method) {
    if (!admit_call()) return INVALID_SET_FILE_POINTER;
    file_object* object = lookup_file(file);
    if (object == nullptr) return INVALID_SET_FILE_POINTER;
    // Without a high half the distance is a signed 32-bit value; with one,
    // the halves form a signed 64-bit value.
    int64_t offset =
        distance_high == nullptr
            ? static_cast<int64_t>(distance)
            : static_cast<int64_t>(
                  (static_cast<uint64_t>(static_cast<uint32_t>(*distance_high)) << 32) |
                  static_cast<uint32_t>(distance));
    int64_t base;
    switch (method) {
        case FILE_BEGIN: base = 0; break;
        case FILE_CURRENT: base = static_cast<int64_t>(object->position); break;
        case FILE_END: {
            uint64_t size = 0;
            if (int error = known_size(*object, size)) {
                fail(error_from_errno(error));
                return INVALID_SET_FILE_POINTER;
            }
            base = static_cast<int64_t>(size);
            break;
        }
        default: fail(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
    }
    // A position before the start is refused and leaves the pointer; one
    // past the end of the file is allowed, as on Windows.
    // (lseek answered both that and a position beyond the largest offset
    // with EINVAL, ERROR_NEGATIVE_SEEK here.)
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) {
        fail(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    object->position = static_cast<uint64_t>(base + offset);
    auto result = object->position;
    if (distance_high != nullptr) *distance_high = static_cast<LONG>(result >> 32);
    DWORD low = static_cast<DWORD>(result);
    // The only way to tell this position from a failure.
    if (low == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);
    return low;
}

BOOL SetEndOfFile(HANDLE file) {
    if (!admit_call()) return FALSE;
    file_object* object = lookup_file(file);
    if (object == nullptr) return FALSE;
    if (!object->can_write) return fail(ERROR_ACCESS_DENIED);
    if (::ftruncate(object->fd, static_cast<off_t>(object->position)) != 0)
        return fail(error_from_errno(errno));
    object->size = object->position;
    object->size_known = true;
    note_file_resized(object->fd, object->position);
    return TRUE;
}

// fdatasync, not fsync: it writes the data and every piece of metadata
// needed to read the data back, the size and the block map among them, and
// leaves out only the times. The engine never decides anything by a file's
// times that a lost time would make wrong (an index whose age is lost is
// rebuilt the earlier), so the cheaper call is the whole of what Windows'
// FlushFileBuffers is asked for here. A new file's name is not covered: that
// is its directory's entry (platform::FlushDirectoryW).
BOOL FlushFileBuffers(HANDLE file) {
    if (!admit_call()) return FALSE;
    file_object* object = lookup_file(file);
    if (object == nullptr) return FALSE;
    if (!object->can_write) return fail(ERROR_ACCESS_DENIED);  // as Windows refuses it
    if (::fdatasync(object->fd) != 0)
        return fail(errno == EIO ? ERROR_WRITE_FAULT : error_from_errno(errno));
    note_file_flushed(object->fd);
    return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD size_high) {
    if (!admit_call()) return INVALID_FILE_SIZE;
    file_object* object = lookup_file(file);
    if (object == nullptr) return INVALID_FILE_SIZE;
    uint64_t size = 0;
    if (int error = known_size(*object, size)) {
        fail(error_from_errno(error));
        return INVALID_FILE_SIZE;
    }
    if (size_high != nullptr) *size_high = static_cast<DWORD>(size >> 32);
    DWORD low = static_cast<DWORD>(size);
    if (low == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);
    return low;
}

namespace odb::platform {

// The stat is GetFileTime's own: the call the distributed suite sees fail
// on a handle whose lock a restarted server forgot.
BOOL ConfirmLockHeldW(HANDLE file) {
    if (!admit_call()) return FALSE;
    file_object* object = lookup_file(file);
    if (object == nullptr) return FALSE;
    if (object->keeper == lock_keeper::unknown) object->keeper = lock_keeper_of(object->fd);
    if (object->keeper == lock_keeper::kernel) return TRUE;
    file_info info;
    if (int error = query_file(object->fd, "", AT_EMPTY_PATH, info))
        return fail(error_from_errno(error));
    return TRUE;
}

}  // namespace odb::platform

BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME last_access, LPFILETIME last_write) {
    if (!admit_call()) return FALSE;
    file_object* object = lookup_file(file);
    if (object == nullptr) return FALSE;
    file_info info;
    int error = query_file(object->fd, "", AT_EMPTY_PATH, info);
    if (error != 0) return fail(error_from_errno(error));
    if (creation != nullptr) *creation = info.creation;
    if (last_access != nullptr) *last_access = info.access;
    if (last_write != nullptr) *last_write = info.write;
    return TRUE;
}
