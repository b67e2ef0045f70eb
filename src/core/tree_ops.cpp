#include "core/tree_ops.h"

#include <cstring>

#include "core/failure_trace.h"
#include "core/file_io.h"
#include "core/path_buffer.h"
#include "core/wide_text.h"
#include "platform/extensions.h"
#include "platform/handle.h"

namespace odb {

namespace {
bool is_missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}
}  // namespace

int make_directory(const WCHAR* path) {
    if (CreateDirectoryW(path, nullptr)) return 0;
    if (GetLastError() == ERROR_ALREADY_EXISTS) return 1;
    note_failure("create directory", path, GetLastError());
    raise(ODB_E_MAKE_DIRECTORY);
}

void wipe_file(const WCHAR* path, DWORD flags) {
    file_handle file(
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, flags, nullptr));
    if (!file) {
        note_failure("open", path, GetLastError());
        raise(ODB_E_WIPE);
    }
    static const unsigned char zeros[65536] = {};
    // The bytes go before the name does: a second link to the file, or a
    // disk block recovered later, holds zeros rather than the old contents.
    // Overwriting is as far as the file lets it go; the deletion below
    // decides the outcome.
    try {
        const file_ref wiped(file.get(), path, wiped_file_failures);
        // The whole length, not only its low 32 bits: a file of 4 GiB or
        // more is overwritten to its end as well.
        const uint64_t size = wiped.size();
        for (uint64_t done = 0; done < size;) {
            const uint32_t chunk = size - done < sizeof zeros ? static_cast<uint32_t>(size - done)
                                                              : static_cast<uint32_t>(sizeof zeros);
            wiped.write_exactly(zeros, chunk);
            done += chunk;
        }
    } catch (odb_status) {
    }
    file.reset();
    // A file that stays must not pass for deleted: the caller would report
    // an attribute or object gone that is still there.
    if (!DeleteFileW(path) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        note_failure("delete", path, GetLastError());
        raise(ODB_E_WIPE);
    }
}

namespace {

// Deletes everything below path. Entries the listing cannot show (names
// with no Win32 form) are wiped by their own names afterwards, so nothing
// below path is passed over.
void delete_contents(const WCHAR* path, const WCHAR* keep) {
    {
        path_buffer pattern(path);
        pattern.component(ODB_W("*.*"));
        WIN32_FIND_DATAW entry;
        // Only names and the directory and link bits are read: a file's
        // size for its wipe comes from the open file.
        find_handle search(FindFirstFileExW(pattern, FindExInfoBasic, &entry,
                                            FindExSearchNameMatch, nullptr,
                                            FIND_FIRST_EX_LARGE_FETCH |
                                                platform::FIND_FIRST_EX_NAMES_AND_KINDS));
        // A listing that fails must not pass for an empty directory: the
        // caller would report a tree deleted that is still there. A path
        // that is not a directory holds nothing to delete (Windows says so
        // with ERROR_DIRECTORY or ERROR_INVALID_NAME).
        const DWORD error = search ? ERROR_SUCCESS : GetLastError();
        if (!search && !is_missing(error) && error != ERROR_DIRECTORY && error != ERROR_INVALID_NAME)
            raise(ODB_E_WIPE);
        if (search) {
            do {
                const WCHAR* name = entry.cFileName;
                bool is_dir = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                if (is_dir && (std::memcmp(name, ODB_W("."), 2 * sizeof(WCHAR)) == 0 ||
                               std::memcmp(name, ODB_W(".."), 3 * sizeof(WCHAR)) == 0))
                    continue;
                path_buffer child(path);
                child.component(name);
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                    // A symbolic link or junction leads out of the tree:
                    // the link goes, what it points to is neither wiped
                    // nor deleted.
                    if (!DeleteFileW(child)) RemoveDirectoryW(child);
                } else if (is_dir) {
                    delete_tree(child, true);
                } else if (keep != nullptr && equal_ignoring_ascii_case(name, keep)) {
                    continue;
                } else {
                    wipe_file(child);
                }
            } while (FindNextFileW(search.get(), &entry));
            if (GetLastError() != ERROR_NO_MORE_FILES) raise(ODB_E_WIPE);
        }
    }
    if (!platform::WipeUnlistedEntriesW(path)) raise(ODB_E_WIPE);
}

}  // namespace

void delete_tree(const WCHAR* path, bool remove_root, const WCHAR* keep) {
    delete_contents(path, keep);
    if (remove_root) remove_empty_directory(path);
}

void remove_empty_directory(const WCHAR* path) {
    if (!RemoveDirectoryW(path) && !is_missing(GetLastError())) raise(ODB_E_WIPE);
}

void clear_root(const WCHAR* path) {
    delete_contents(path, nullptr);
    // A root that is a mount point (a volume of its own) cannot be removed,
    // nor can a plain file of that name; what lay inside is gone, and the
    // caller takes the root as it finds it.
    RemoveDirectoryW(path);
}

}  // namespace odb
