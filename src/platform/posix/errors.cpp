// errno to Win32 error codes, with the distinctions KERNEL32 draws.
#include <errno.h>
#include <sys/stat.h>

#include "platform/posix/internal.h"

namespace odb::posix {

DWORD error_from_errno(int error) {
    switch (error) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
        case ETXTBSY: return ERROR_ACCESS_DENIED;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST: return ERROR_FILE_EXISTS;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case ENOSPC:
        case EDQUOT:
        case EFBIG: return ERROR_DISK_FULL;
        case EXDEV: return ERROR_NOT_SAME_DEVICE;
        case EAGAIN:
        case EBUSY: return ERROR_SHARING_VIOLATION;
        case EILSEQ: return ERROR_INVALID_NAME;
        case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
        default: return ERROR_GEN_FAILURE;
    }
}

DWORD path_error_from_errno(int error, const std::string& path) {
    if (error != ENOENT) return error_from_errno(error);
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;  // the current directory exists
    std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
    struct stat st;
    if (::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

BOOL fail_path(int error, const std::string& path) {
    return fail(path_error_from_errno(error, path));
}

}  // namespace odb::posix
