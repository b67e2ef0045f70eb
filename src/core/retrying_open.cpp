#include "core/retrying_open.h"

#include "core/failure_trace.h"
#include "platform/extensions.h"

namespace odb {

bool open_may_succeed_later(DWORD error, const WCHAR* path) {
    switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return true;
    case ERROR_ACCESS_DENIED:
        return platform::IsDeletePendingW(path) != FALSE;
    default:
        return false;
    }
}

file_handle open_retrying(const WCHAR* path, DWORD access, DWORD share, DWORD disposition,
                          const lock_timing& timing, const open_failures& failures, bool* made,
                          DWORD flags) {
    const DWORD start = GetTickCount();
    DWORD asked = made != nullptr ? CREATE_NEW : disposition;
    for (;;) {
        HANDLE handle = CreateFileW(path, access, share, nullptr, asked, flags, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            if (made != nullptr) *made = asked == CREATE_NEW;
            return file_handle(handle);
        }
        const DWORD error = GetLastError();
        // After the first attempt the file may exist (made by it, its lock
        // then refused, or by someone else): every later one opens it.
        const bool was_new = asked == CREATE_NEW && disposition != CREATE_NEW;
        asked = disposition;
        if (was_new && error == ERROR_FILE_EXISTS) continue;
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            note_failure("open", path, error);
            raise(failures.missing);
        }
        if (!open_may_succeed_later(error, path)) {
            note_failure("open", path, error);
            raise(failures.refused);
        }
        Sleep(timing.sleep_ms);
        const DWORD waited = GetTickCount() - start;
        if (waited >= timing.timeout_ms) {
            note_failure("open", path, error, waited);
            raise(failures.timed_out);
        }
    }
}

file_handle open_with_retry(const WCHAR* path, DWORD access, DWORD share, DWORD disposition,
                            odb_status missing, DWORD flags) {
    return open_retrying(path, access, share, disposition, process_lock_timing(),
                         {ODB_E_LOCK_TIMEOUT, missing, ODB_E_FILE_ACCESS}, nullptr, flags);
}

}  // namespace odb
