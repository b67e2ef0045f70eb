// The last error is per thread, as on Windows: a failure in one thread never
// overwrites what another thread is about to read.
#include "platform/posix/internal.h"

namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}

DWORD GetLastError() { return last_error; }

void SetLastError(DWORD error) { last_error = error; }

namespace odb::posix {

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace odb::posix
