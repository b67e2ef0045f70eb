// The database handle: what ODB_init hands out, and the few routines every
// other part of the library uses on it.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/path_buffer.h"
#include "platform/win32.h"

constexpr uint16_t odb_magic = 0x5B5B;

// What a record behind a handle is, held in the 16 bits after the magic
// (padding before the first pointer in every layout). Every record begins
// with the same magic, so the kind is what keeps a handle of one kind given
// where another is expected from being read as that other record.
constexpr uint16_t odb_kind_database = 0x4244;  // "DB"
constexpr uint16_t odb_kind_object = 0x424F;    // "OB"
constexpr uint16_t odb_kind_walk = 0x4B57;      // "WK"

// The record behind an odb_database pointer. Allocated cleared to zero, never
// changed after the open completes except by close/destroy (the marker
// handle) and by the name index, which switches itself off for the rest of
// the handle's life when an update fails.
struct odb_database {
    uint16_t magic;
    uint16_t kind;                              // odb_kind_database
    uint32_t generation;                        // process generation at the open: a forked child's copy is refused
    HANDLE marker;                              // QMFILEDB.FDB held open: the in-use token
    std::atomic<uint32_t> name_index_enabled;   // NameIndex/Enabled, cleared on a failed update
    uint32_t index_lock_timeout;                // NameIndex/LockTimeout x 10, milliseconds
    uint32_t index_lock_sleep;                  // NameIndex/LockSleep, milliseconds
    uint32_t hash_count;                        // NameIndex/HashCount, 1..256
    uint32_t lifetime;                          // NameIndex/LifeTime, seconds; 0 = never stale
    uint16_t min_entry_size;                    // NameIndex/MinEntrySize, 1..256
    uint32_t single_file;                       // Attribs/SingleFile
    uint32_t auto_convert;                      // Attribs/AutoConvert (only with SingleFile)
    uint32_t track_attribute_changes;           // Tracking/AttributeChanges
    uint32_t track_object_changes;              // Tracking/ObjectChanges
    uint32_t durable;                           // Durability/Flush: see core/durability.h
    WCHAR root[odb::path_capacity];             // resolved root, no trailing separator
};

namespace odb {

// Raises ODB_E_INVALID_DATABASE unless db is an open database handle of this
// process: a child made by fork has a copy of the record but none of the
// files behind it, and must not act on the parent's locks.
odb_database& validate_database(odb_database* db);

// Applies the root rules to a path given to ODB_init: a bare name lives
// beside the executable; one trailing separator goes.
void resolve_root(path_buffer& root);

// The directory of the running program's executable, with its separator.
path_buffer executable_directory();

}  // namespace odb
