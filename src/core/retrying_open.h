// The retrying open: how every file that doubles as a lock is opened. A
// contested file is tried again after a sleep until a time-out; a file that
// cannot be opened for a reason no wait can clear is reported at once.
#pragma once

#include <cstdint>

#include "core/status.h"
#include "platform/handle.h"

namespace odb {

struct lock_timing {
    uint32_t timeout_ms;
    uint32_t sleep_ms;
};

// The statuses one kind of file is reported with.
struct open_failures {
    odb_status timed_out;  // still contested when the time-out passed
    odb_status missing;    // the file, or a directory on its path, does not exist
    odb_status refused;    // any other failure no wait can clear
};

// Whether an open that failed with `error` may succeed if tried again: a
// sharing or lock violation (another handle holds the file), or a file whose
// deletion is pending (Windows refuses those with ERROR_ACCESS_DENIED until
// the deleter lets go). Permission denied, a read-only file system, a full
// disk, a missing file or path and everything else stay as they are.
bool open_may_succeed_later(DWORD error, const WCHAR* path);

// CreateFileW of path, tried again after each failure that may clear up for
// as long as the time-out allows (at least one attempt; the last failed one
// sleeps too, so a time-out of 0 still costs one sleep).
// With `made`, for a file the caller knows cannot exist yet: the first
// attempt asks for a new file (CREATE_NEW), which costs less than a
// disposition that must first look for one, and *made says whether it made
// it. Should the file exist all the same, it is opened as `disposition` says,
// as if the first attempt had asked so. `flags` is CreateFileW's
// dwFlagsAndAttributes.
file_handle open_retrying(const WCHAR* path, DWORD access, DWORD share, DWORD disposition,
                          const lock_timing& timing, const open_failures& failures,
                          bool* made = nullptr, DWORD flags = FILE_ATTRIBUTE_NORMAL);

// The process-wide lock time-out and sleep (30,000 and 10 until
// QMFILEDB.INI is loaded; see settings.h).
lock_timing process_lock_timing();

// open_retrying with the process-wide timing: ODB_E_LOCK_TIMEOUT when still
// contested, ODB_E_FILE_ACCESS at once otherwise (or `missing` for a file
// or path that does not exist).
file_handle open_with_retry(const WCHAR* path, DWORD access, DWORD share, DWORD disposition,
                            odb_status missing = ODB_E_FILE_ACCESS,
                            DWORD flags = FILE_ATTRIBUTE_NORMAL);

}  // namespace odb
