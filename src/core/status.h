// Failures travel inside the library as the bare 32-bit status, thrown by
// the routine that detects them and caught once, at the export.
#pragma once

#include <new>

#include "qmfiledb.h"

namespace odb {

[[noreturn]] inline void raise(odb_status status) { throw status; }

// Every export is one guarded body; a thrown odb_status becomes the result.
// Whatever the body owns is released by its destructors on the way out.
template <class Body>
odb_status guarded(Body&& body) noexcept {
    try {
        body();
        return ODB_OK;
    } catch (odb_status status) {
        return status;
    } catch (const std::bad_alloc&) {
        return ODB_E_NO_MEMORY;
    }
}

// The same for routines that steer a loop by their result.
template <class Body>
odb_status guarded_status(Body&& body) noexcept {
    try {
        return body();
    } catch (odb_status status) {
        return status;
    } catch (const std::bad_alloc&) {
        return ODB_E_NO_MEMORY;
    }
}

}  // namespace odb
