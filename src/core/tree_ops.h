// Directory and file routines shared by the whole library: one level of
// directory creation, recursive deletion and wiping.
#pragma once

#include "platform/win32.h"

namespace odb {

// Creates one directory level: 0 when created, 1 when it already existed;
// any other failure raises ODB_E_MAKE_DIRECTORY.
int make_directory(const WCHAR* path);

// Deletes everything below path (files wiped first, those whose names the
// listing cannot show by their own names), and path itself when
// remove_root is set. A file that cannot be wiped, a listing that fails or
// a directory that stays ends it with ODB_E_WIPE; a missing path is empty.
// With `keep`, the file of that name directly inside path stays (and
// remove_root must be false): a caller that holds it deletes it itself.
void delete_tree(const WCHAR* path, bool remove_root, const WCHAR* keep = nullptr);

// Removes an empty directory; a missing one is no failure, anything else
// (a directory something is still in) ODB_E_WIPE.
void remove_empty_directory(const WCHAR* path);

// Deletes everything below a database root, as delete_tree does, and then
// the root itself if it can: a root that stays (a mount point, a plain
// file) is not a failure; anything below it that stays is.
void clear_root(const WCHAR* path);

// Overwrites the whole file, then deletes it; ODB_E_WIPE when it cannot be
// opened exclusively or not deleted. `flags` is the open's
// dwFlagsAndAttributes.
void wipe_file(const WCHAR* path, DWORD flags = FILE_ATTRIBUTE_NORMAL);

}  // namespace odb
