// The platform extensions on Windows (see platform/extensions.h).
#include "platform/extensions.h"

namespace odb::platform {

BOOL WipeUnlistedEntriesW(LPCWSTR /*directory*/) { return TRUE; }

BOOL MoveDirectoryHoldingW(LPCWSTR from, LPCWSTR to, LPCWSTR /*held_name*/, HANDLE* held) {
    if (*held != INVALID_HANDLE_VALUE) CloseHandle(*held);
    *held = INVALID_HANDLE_VALUE;
    return MoveFileW(from, to);
}

BOOL ConfirmLockHeldW(HANDLE file) {
    FILETIME written;
    return GetFileTime(file, nullptr, nullptr, &written);
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

BOOL FlushDirectoryW(LPCWSTR directory) {
    HANDLE handle = CreateFileW(directory, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A file system or a caller that may not flush a directory: its
        // entries reach the disk on the file system's own schedule.
        return error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_FUNCTION ||
               error == ERROR_NOT_SUPPORTED;
    }
    BOOL flushed = FlushFileBuffers(handle);
    const DWORD error = flushed ? ERROR_SUCCESS : GetLastError();
    CloseHandle(handle);
    if (!flushed && (error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_FUNCTION ||
                     error == ERROR_NOT_SUPPORTED))
        flushed = TRUE;
    SetLastError(error);
    return flushed;
}

namespace {

BOOL flush_profile(LPCWSTR file) {
    HANDLE handle = CreateFileW(file, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return FALSE;
    const BOOL flushed = FlushFileBuffers(handle);
    const DWORD error = flushed ? ERROR_SUCCESS : GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    return flushed;
}

}  // namespace

BOOL WritePrivateProfileStringFlushedW(LPCWSTR section, LPCWSTR key, LPCWSTR value,
                                       LPCWSTR file) {
    return WritePrivateProfileStringW(section, key, value, file) && flush_profile(file);
}

BOOL WritePrivateProfileStructFlushedW(LPCWSTR section, LPCWSTR key, LPVOID buffer, UINT size,
                                       LPCWSTR file) {
    return WritePrivateProfileStructW(section, key, buffer, size, file) && flush_profile(file);
}

}  // namespace odb::platform
