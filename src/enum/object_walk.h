// Walks over the objects of a class: resumable, one identifier per call,
// two directory searches held open between calls so memory stays constant.
#pragma once

#include <cstdint>

#include "core/database.h"
#include "platform/win32.h"

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
    uint32_t bucket;          // bucket directory being walked (identifier >> 9)
    HANDLE bucket_search;     // over the class directory
    HANDLE object_search;     // over the current bucket directory
    uint32_t flags;
    odb_enum_filter filter;   // the caller's filter block, copied whole
};

namespace odb {

// Steps a search over dir\????????.* to the next directory of the kinds
// asked for (bit 0 eight-character names, bit 1 ".rmv", bit 2 ".wpe").
// search is in/out: INVALID_HANDLE_VALUE starts a new search and is left
// there when the listing ends. name receives the entry's name. A listing
// that fails rather than ends raises ODB_E_FILE_ACCESS.
bool next_numbered_dir(HANDLE& search, const WCHAR* dir, uint32_t kinds, WCHAR* name);

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
