// QMFILEDB_TRACE: with the variable set (to 1 for standard error, to any
// other text for a file to append to), every export that fails writes one
// line saying which export, which status, and, where a file operation
// failed, which operation on which file, the system's reason and how long
// it waited:
//   qmfiledb: ODB_obj_create_ctx: ODB_E_OBJECT_LOCK (0xdb010002): open
//   /data/db/00000005/00000000/00000007/OBJLOCK.FDB: sharing violation (waited 30.0 s)
// Statuses still travel as the bare thrown value; the detail is a note of
// the calling thread, recorded where a file operation fails and written by
// the export's boundary. Off, the only cost is one test of a flag read once.
#pragma once

#include <cstdint>

#include "core/status.h"
#include "platform/win32.h"

namespace odb {

// Whether the variable asks for failures to be written; read once per process.
bool tracing() noexcept;

// Notes the file operation that failed: operation ("open", "read",
// "create directory"...), the file, the system's error code, and the time
// spent waiting for it (waited_ms) when it was retried. The last note of a
// call is the one written. Nothing happens when tracing is off.
void note_failure(const char* operation, const WCHAR* path, DWORD error,
                  uint32_t waited_ms = 0xFFFFFFFFu) noexcept;

// The same for a file the system read without fault but whose contents are
// damaged: what is wrong takes the place of the system's reason.
void note_damage(const char* operation, const WCHAR* path, const char* what) noexcept;

void clear_failure_note() noexcept;
void write_failure_line(const char* export_name, odb_status status) noexcept;

// The boundary of an export: runs its body (which returns the status) and,
// when tracing, writes the line for a failure. The end of a walk
// (ODB_E_NO_MORE_ITEMS) is its normal outcome, not a failure.
template <class Body>
odb_status traced(const char* export_name, Body&& body) noexcept {
    if (!tracing()) return body();
    clear_failure_note();
    const odb_status status = body();
    if (status != ODB_OK && status != ODB_E_NO_MORE_ITEMS) write_failure_line(export_name, status);
    return status;
}

// An export that is one guarded body, traced under its name.
template <class Body>
odb_status guarded(const char* export_name, Body&& body) noexcept {
    return traced(export_name, [&] { return guarded(body); });
}

// The same for an export whose body returns its status.
template <class Body>
odb_status guarded_status(const char* export_name, Body&& body) noexcept {
    return traced(export_name, [&] { return guarded_status(body); });
}

}  // namespace odb
