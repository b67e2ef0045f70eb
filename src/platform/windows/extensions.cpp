// The platform extensions on Windows (see platform/extensions.h).
#include "platform/extensions.h"

namespace odb::platform {

BOOL WipeUnlistedEntriesW(LPCWSTR /*directory*/) { return TRUE; }

// A file whose deletion is pending cannot even be asked for its attributes
// (the query opens it, and is refused alike); a file the caller merely may
// not open still answers, as its directory's listing grants that.
BOOL IsDeletePendingW(LPCWSTR path) {
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES &&
           GetLastError() == ERROR_ACCESS_DENIED;
}

}  // namespace odb::platform
