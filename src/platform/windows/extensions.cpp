// The platform extensions on Windows (see platform/extensions.h).
#include "platform/extensions.h"

namespace odb::platform {

BOOL WipeUnlistedEntriesW(LPCWSTR /*directory*/) { return TRUE; }

BOOL MoveDirectoryHoldingW(LPCWSTR from, LPCWSTR to, LPCWSTR /*kept_name*/, HANDLE* kept) {
    *kept = INVALID_HANDLE_VALUE;
    return MoveFileW(from, to);
}

// The search of the exact name, as callers made it before they had this.
BOOL PathExistsW(LPCWSTR path) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(path, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
        return TRUE;
    }
    const DWORD error = GetLastError();
    SetLastError(error == ERROR_PATH_NOT_FOUND || error == 0 ? ERROR_FILE_NOT_FOUND : error);
    return FALSE;
}

// A file whose deletion is pending cannot even be asked for its attributes
// (the query opens it, and is refused alike); a file the caller merely may
// not open still answers, as its directory's listing grants that.
BOOL IsDeletePendingW(LPCWSTR path) {
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES &&
           GetLastError() == ERROR_ACCESS_DENIED;
}

}  // namespace odb::platform
