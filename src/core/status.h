// Failures travel inside the library as the bare 32-bit status, thrown by
// the routine that detects them and caught once, at the export.
#pragma once

#include "qmfiledb.h"

namespace odb {

[[noreturn]] inline void raise(odb_status status) { throw status; }

// Every export is one guarded body; a thrown odb_status becomes the result.
// Whatever the body owns is released by its destructors on the way out.
// Anything else thrown comes from the C++ library, whose containers and
// strings the body (or the platform layer below it) uses to hold data:
// running out of memory (std::bad_alloc), or a size they cannot represent
// (std::length_error). The caller learns ODB_E_NO_MEMORY, the status of a
// buffer that could not be had, instead of the process ending.
template <class Body>
odb_status guarded(Body&& body) noexcept {
    try {
        body();
        return ODB_OK;
    } catch (odb_status status) {
        return status;
    } catch (...) {
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
    } catch (...) {
        return ODB_E_NO_MEMORY;
    }
}

}  // namespace odb
