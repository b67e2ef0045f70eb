// Visiting the objects of a class by their directories: the bucket
// directories of the class in listing order, the object directories of
// each in listing order. Two directory searches are held between steps, so
// memory stays constant however large the class.
#pragma once

#include <cstdint>

#include "core/database.h"
#include "platform/win32.h"

namespace odb {

// Where a walk over a class stands. Both searches start out and end as
// INVALID_HANDLE_VALUE; a walk that has ended starts again from the top.
struct object_cursor {
    uint32_t bucket;          // bucket directory being walked (identifier >> 9)
    HANDLE bucket_search;     // over the class directory
    HANDLE object_search;     // over the current bucket directory
    WCHAR bucket_dir[MAX_PATH];  // its path, made once per bucket, not per step
};

void open_cursor(object_cursor& cursor) noexcept;
void close_cursor(object_cursor& cursor) noexcept;

// Steps to the next object directory of the kinds asked for (ODB_ENUM_LIVE,
// ODB_ENUM_REMOVED, ODB_ENUM_WIPED; 0 means live): its identifier, and its
// directory's name in name (MAX_PATH units). False at the end of the
// class; a listing that fails raises ODB_E_FILE_ACCESS.
bool next_object(const odb_database& db, uint32_t cls, uint32_t kinds, object_cursor& cursor,
                 uint32_t& id, WCHAR* name);

// The engine's own walk over a class: visit(id) for every object of the
// kinds asked for. A failure to list raises; the searches are closed
// whichever way it ends.
template <class Visit>
void visit_objects(const odb_database& db, uint32_t cls, uint32_t kinds, Visit&& visit) {
    struct owned_cursor {
        object_cursor cursor;
        owned_cursor() { open_cursor(cursor); }
        ~owned_cursor() { close_cursor(cursor); }
    } walk;
    WCHAR name[MAX_PATH];
    uint32_t id = 0;
    while (next_object(db, cls, kinds, walk.cursor, id, name)) visit(id);
}

}  // namespace odb
