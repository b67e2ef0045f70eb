// Where objects live: root\class\bucket\slot[.RMV|.WPE], all numbers as
// "%08x". No table maps identifiers to places; the path is computed.
#pragma once

#include <cstdint>

#include "core/path_buffer.h"
#include "qmfiledb.h"

namespace odb {

// root\class
path_buffer class_path(const WCHAR* root, uint32_t cls);

// The object directory of id in the form the location flags of mode name
// (".RMV" for ODB_MODE_REMOVED, which wins over ".WPE" for ODB_MODE_WIPED),
// or with bucket_only its bucket directory.
path_buffer object_path(const WCHAR* root, uint32_t cls, uint32_t id, uint32_t mode,
                        bool bucket_only = false);

// The object directory followed by ATTRIBS.FDB.
path_buffer attributes_file_path(const WCHAR* root, uint32_t cls, uint32_t id, uint32_t mode);

// 0 when a file or directory of exactly that name exists, else the Win32
// error of the failed probe: ERROR_FILE_NOT_FOUND for a missing name or a
// missing directory on the way to it alike. Never raises.
DWORD probe_path(const WCHAR* path);

// Whether a file or directory of exactly that name exists. A search that
// fails for another reason than a missing name raises `failure`: an
// answer of "absent" would send a write to the wrong storage form or hand
// out an identifier that is in use.
bool path_exists(const WCHAR* path, odb_status failure);

// True when any form of the object directory exists (live, removed, wiped);
// ODB_E_OBJECT_PROBE when that cannot be told.
bool object_exists(const WCHAR* root, uint32_t cls, uint32_t id);

// Steps a search over dir\????????.* to the next directory of the kinds
// asked for (ODB_ENUM_LIVE eight-character names, ODB_ENUM_REMOVED ".rmv",
// ODB_ENUM_WIPED ".wpe"; 0 means live). search is in/out:
// INVALID_HANDLE_VALUE starts a new search and is left there when the
// listing ends. name receives the entry's name. A listing that fails
// rather than ends raises ODB_E_FILE_ACCESS.
bool next_numbered_dir(HANDLE& search, const WCHAR* dir, uint32_t kinds, WCHAR* name);

// Closes a search of next_numbered_dir, if open, and marks it closed.
void close_search(HANDLE& search) noexcept;

// The number the first eight characters of a name spell in hexadecimal
// ("%08x"); 0 when nothing can be read.
uint32_t parse_hex_name(const WCHAR* name);

}  // namespace odb
