// Durability.Flush: with it on, every export that reports success has put
// what it changed on stable storage before it returns, and orders its steps
// so that a power cut at any point leaves a database that opens and that
// some sequence of completed and unfinished calls could have left. The
// engine names every flush its order needs through these routines; they
// alone decide whether the database wants it, so with the mode off they
// make no system call at all.
//
// The rules the callers keep:
// - a file's bytes and size are flushed before anything that relies on them
//   (the rename that publishes a file built under a temporary name, the id
//   that makes a record visible, the return of the export);
// - a directory that gained, lost or renamed an entry is flushed before the
//   export returns (and before a step that relies on the entry);
// - an identifier counter is on disk before the object it names is
//   reported.
#pragma once

#include "core/database.h"
#include "core/file_io.h"

namespace odb {

// Whether the database flushes its writes.
inline bool durable(const odb_database& db) { return db.durable != 0; }

// FlushFileBuffers of a file open for writing, when durable.
// ODB_E_FILE_WRITE when the system refuses it; `path` names the file in a
// traced failure and may be null.
void flush_file(const odb_database& db, HANDLE file, const WCHAR* path = nullptr);
inline void flush_file(const odb_database& db, const named_file& file) {
    flush_file(db, file.handle.get(), file.path);
}

// The entries of `directory`, when durable; ODB_E_FILE_WRITE when refused.
void flush_directory(const odb_database& db, const WCHAR* directory);

// The entries of the directory that holds `path`.
void flush_parent(const odb_database& db, const WCHAR* path);

// WritePrivateProfileStringW and WritePrivateProfileStructW, with the file
// flushed when durable.
BOOL write_profile_string(const odb_database& db, const WCHAR* section, const WCHAR* key,
                          const WCHAR* value, const WCHAR* file);
BOOL write_profile_struct(const odb_database& db, const WCHAR* section, const WCHAR* key,
                          void* buffer, UINT size, const WCHAR* file);

}  // namespace odb
