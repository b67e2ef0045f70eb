// The class's identifier file OBJID.FDB: "Next ID=%08x", 16 bytes, no line
// end. Its exclusive open is also the class's allocation lock.
#pragma once

#include <cstdint>

#include "core/database.h"
#include "core/file_io.h"

namespace odb {

// Opens OBJID.FDB of a class exclusively (open-always), waiting as the
// process-wide lock timing allows.
named_file open_id_file(const WCHAR* root, uint32_t cls);

// Rewinds the file and writes "Next ID=%08x" of value (id_file_failures of
// file_io.h). The file is not truncated.
void write_next_id(const named_file& id_file, uint32_t value);

// Claims the next free identifier of a class, at most last_id, by creating
// its object directory; writes the new counter to id_file, the class's
// OBJID.FDB that the caller holds open (the allocation lock) until the new
// object is complete. ODB_E_NO_FREE_ID past last_id.
uint32_t allocate_object_id(odb_database& db, uint32_t cls, uint32_t last_id,
                            const named_file& id_file);

// Removes the directory of an object whose creation failed after its
// identifier was claimed, so a failed creation leaves no half-made object.
void abandon_object(const WCHAR* root, uint32_t cls, uint32_t id) noexcept;

// Claims a given identifier under the allocation lock; ODB_E_OBJECT_EXISTS
// when any form of its object directory exists.
void claim_object_id(const odb_database& db, uint32_t cls, uint32_t id);

// Makes a new object directory durable (core/durability.h): its bucket's
// entries, and with class_changed the class directory's (a new bucket, a
// new OBJID.FDB).
void flush_new_object(const odb_database& db, uint32_t cls, uint32_t id, bool class_changed);

}  // namespace odb
