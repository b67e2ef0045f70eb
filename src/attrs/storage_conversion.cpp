// Moving an object from one .DAT file per attribute into one ATTRIBS.FDB,
// on its first write once AutoConvert is on. It never fails the write: a
// conversion that cannot complete removes what it built, and the write goes
// to the per-attribute form as before.
#include "attrs/attribute_io.h"
#include "attrs/record_file.h"
#include "core/allocator.h"
#include "core/database.h"
#include "core/disk_format.h"
#include "core/durability.h"
#include "core/tree_ops.h"
#include "core/wide_text.h"
#include "platform/extensions.h"
#include "platform/handle.h"
#include "store/context.h"
#include "store/object_path.h"

namespace odb {

namespace {

void copy_values_into(object_facts& object, record_file& attributes) {
    path_buffer pattern = object.directory();
    pattern.component(ODB_W("*.dat"));
    WIN32_FIND_DATAW entry;
    find_handle search(FindFirstFileW(pattern, &entry));
    if (!search) {
        // Only a listing that found nothing means no values: any other
        // failure would have the wipe below take values never copied.
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return;
        raise(ODB_E_FILE_ACCESS);
    }
    do {
        const uint32_t attribute = parse_hex_name(entry.cFileName);
        // A value whose file name reads as 0 or 0xFFFFFFFF cannot be held
        // as a record; converting would lose it, so the object stays as it is.
        if (attribute == 0 || attribute == 0xFFFFFFFFu) raise(ODB_E_INVALID_PARAMETER);
        // Nor is a file whose name only begins like an attribute's ("00000001
        // - Copy.DAT"): read as that attribute it would add a second record
        // of the same number, and the wipe would take the stray file.
        path_buffer name(13);
        name.hex(attribute, 8).append(disk::attribute_file_suffix);
        if (!equal_ignoring_ascii_case(entry.cFileName, name)) raise(ODB_E_INVALID_PARAMETER);
        zeroed_buffer value(entry.nFileSizeLow);
        uint32_t size = entry.nFileSizeLow;
        FILETIME created, modified;
        read_attribute_file(object, attribute, 0, value.data(), size, &created, &modified);
        // The file may have changed since the listing; never more than read.
        if (size > entry.nFileSizeLow) size = entry.nFileSizeLow;
        attributes.append_record(attribute, value.data(), size, &created, &modified);
    } while (FindNextFileW(search.get(), &entry));
    if (GetLastError() != ERROR_NO_MORE_FILES) raise(ODB_E_FILE_ACCESS);
}

void wipe_values(const path_buffer& directory, DWORD flags) {
    path_buffer pattern = directory;
    pattern.component(ODB_W("*.dat"));
    WIN32_FIND_DATAW entry;
    find_handle search(FindFirstFileExW(pattern, FindExInfoBasic, &entry, FindExSearchNameMatch,
                                        nullptr,
                                        FIND_FIRST_EX_LARGE_FETCH |
                                            platform::FIND_FIRST_EX_NAMES_AND_KINDS));
    if (!search) return;
    do {
        try {
            path_buffer file = directory;
            file.component(entry.cFileName);
            wipe_file(file, flags);
        } catch (odb_status) {
            // Left behind; the single-file form takes precedence from now on.
        }
    } while (FindNextFileW(search.get(), &entry));
}

}  // namespace

void convert_attribute_storage(object_facts& object) noexcept {
    const path_buffer& directory = object.directory();
    // Built under a temporary name and renamed when complete: a conversion
    // cut short by a crash must not leave a partial ATTRIBS.FDB hiding the
    // .DAT files it has not copied yet. The rename never replaces an
    // existing ATTRIBS.FDB, which holds the values already.
    path_buffer temporary = directory;
    temporary.component(disk::record_file_temporary);
    record_file attributes;
    bool created = false;
    try {
        attributes.create(temporary, object.open_flags());
        created = true;
        copy_values_into(object, attributes);
        created = false;  // publish deletes it itself when it fails
        // Invisible until published, the copy is flushed once, before its
        // rename, and the rename before the .DAT files go.
        attributes.flush_for(*object.context().db);
        attributes.publish(temporary, object.record_file_path());
    } catch (...) {
        attributes.close();
        if (created) DeleteFileW(temporary);
        return;
    }
    // From here on the new file stays.
    try {
        wipe_values(directory, object.open_flags());
        flush_directory(*object.context().db, directory);
    } catch (...) {
    }
}

}  // namespace odb
