// Walks over the objects of a class: resumable, one identifier per call,
// two directory searches held open between calls so memory stays constant.
#pragma once

#include <cstdint>

#include "core/database.h"
#include "platform/win32.h"
#include "store/class_walk.h"

// The record behind an odb_enum_ctx pointer. Its first fields match an
// object context's, so validate_context serves both; the kind tells them
// apart.
struct odb_enum_ctx {
    static constexpr uint16_t kind_tag = odb_kind_walk;
    uint16_t magic;
    uint16_t kind;            // odb_kind_walk
    odb_database* db;
    uint32_t cls;
    uint32_t id;              // unused; keeps the shared layout
    uint32_t open_mode;       // how the attribute filter opens a candidate
    odb::object_cursor cursor;
    uint32_t flags;
    odb_enum_filter filter;   // the caller's filter block, copied whole
};

namespace odb {

// The body of ODB_obj_enum_init: a new walk record, owned by the caller
// until close_walk.
odb_enum_ctx* open_walk(odb_database& db, uint32_t cls, uint32_t flags,
                        const odb_enum_filter* filter);

// The next object that passes the walk's flags: ODB_OK with its identifier
// in *id, or ODB_E_NO_MORE_ITEMS at the end (*id then holds the last
// candidate looked at, if any).
odb_status walk_step(odb_enum_ctx& walk, uint32_t* id);

// Ends the walk's searches and frees its record.
void close_walk(odb_enum_ctx* walk) noexcept;

// Owns a walk made inside the library.
struct walk_closer {
    void operator()(odb_enum_ctx* walk) const noexcept { close_walk(walk); }
};

// The creation, last-access and last-write times of dir\OBJLOCK.FDB, where
// asked for; ODB_E_NO_OBJECT at once when there is no such file,
// ODB_E_LOCK_TIMEOUT when a writer holds it past the lock time-out.
void read_lock_file_times(const WCHAR* object_dir, FILETIME* created, FILETIME* accessed,
                          FILETIME* written);

// True when the candidate satisfies the walk's criteria list.
bool match_criteria(const odb_enum_ctx& walk, uint32_t id) noexcept;

// The walk's single-pass wildcard matcher over zero-terminated byte strings.
bool match_wildcard(const char* pattern, const char* text);

}  // namespace odb
