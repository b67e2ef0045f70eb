#include "store/object_ids.h"

#include <cstring>
#include <utility>

#include "core/disk_format.h"
#include "core/durability.h"
#include "core/failure_trace.h"
#include "core/file_io.h"
#include "core/settings.h"
#include "core/tree_ops.h"
#include "core/wide_text.h"
#include "store/object_path.h"

namespace odb {

namespace {

bool is_scanf_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The text after the literal part of "Next ID=%08x", matched as scanf
// matches it: the space takes any run of white space, none included, and
// every other character must be there as it is. Null when it does not match.
const char* after_next_id_prefix(const char* text) {
    for (const char* wanted = disk::next_id_prefix; *wanted != 0; ++wanted) {
        if (is_scanf_space(*wanted)) {
            while (is_scanf_space(*text)) ++text;
        } else if (*text++ != *wanted) {
            return nullptr;
        }
    }
    return text;
}

// Claims an object directory by creating it (false when it exists). Its
// bucket is made only when the creation finds it missing: every other
// object of the bucket finds it there, and a look first would cost each of
// them a call. `new_bucket` is set when this made the bucket.
bool make_object_directory(const WCHAR* root, uint32_t cls, uint32_t id, bool& new_bucket) {
    const path_buffer directory = object_path(root, cls, id, 0);
    for (int attempt = 0;; ++attempt) {
        if (CreateDirectoryW(directory, nullptr)) return true;
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS) return false;
        // A bucket deleted again between the two creations is made again,
        // once: a second miss is a failure like any other.
        if (error != ERROR_PATH_NOT_FOUND || attempt > 0) {
            note_failure("create directory", directory, error);
            raise(ODB_E_MAKE_DIRECTORY);
        }
        new_bucket |= make_directory(object_path(root, cls, id, 0, true)) == 0;
    }
}

}  // namespace

named_file open_id_file(const WCHAR* root, uint32_t cls) {
    path_buffer path = class_path(root, cls);
    path.component(disk::id_file);
    file_handle handle = open_with_retry(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);
    return {std::move(handle), path};
}

void write_next_id(const named_file& id_file, uint32_t value) {
    char text[disk::next_id_size + 1];
    std::memcpy(text, disk::next_id_prefix, 8);
    for (int digit = 0; digit < 8; ++digit)
        text[8 + digit] = "0123456789abcdef"[(value >> (28 - 4 * digit)) & 0xF];
    file_ref(id_file, id_file_failures).write_exactly_at(0, text, disk::next_id_size);
}

uint32_t allocate_object_id(odb_database& db, uint32_t cls, uint32_t last_id,
                            const named_file& id_file) {
    char text[257] = {};
    const uint32_t read = file_ref(id_file, id_file_failures).read(text, 256);

    uint32_t candidate;
    if (read > 0) {
        // A damaged counter restarts the class at 1; existing identifiers
        // are skipped by the existence test below.
        const char* digits = after_next_id_prefix(text);
        if (digits == nullptr || !scan_hex8(digits, candidate)) candidate = 1;
    } else {
        candidate = read_first_id(db);
    }

    bool new_bucket = false;  // and an empty counter is a new OBJID.FDB
    for (;; ++candidate) {
        if (candidate > last_id) raise(ODB_E_NO_FREE_ID);
        // Creating the directory is the claim: one that appeared between the
        // test and the creation (an import in progress) is skipped.
        if (!object_exists(db.root, cls, candidate) &&
            make_object_directory(db.root, cls, candidate, new_bucket))
            break;
        // The counter wraps with the identifier: past 0xFFFFFFFF lies 0.
        if (candidate == 0xFFFFFFFFu) raise(ODB_E_NO_FREE_ID);
    }
    try {
        write_next_id(id_file, candidate + 1);
        // The counter and the new directory are on disk before the
        // identifier is handed out: after a power cut neither is handed out
        // again (an object directory alone is skipped as taken).
        flush_file(db, id_file);
        flush_new_object(db, cls, candidate, new_bucket || read == 0);
    } catch (...) {
        abandon_object(db.root, cls, candidate);
        throw;
    }
    return candidate;
}

void abandon_object(const WCHAR* root, uint32_t cls, uint32_t id) noexcept {
    // Nobody else knows the identifier yet; should someone have opened the
    // directory all the same, it stays, an empty object rather than a lost one.
    try {
        delete_tree(object_path(root, cls, id, 0), true);
    } catch (...) {
    }
}

void claim_object_id(const odb_database& db, uint32_t cls, uint32_t id) {
    const named_file id_file = open_id_file(db.root, cls);
    bool new_bucket = false;
    if (object_exists(db.root, cls, id) || !make_object_directory(db.root, cls, id, new_bucket))
        raise(ODB_E_OBJECT_EXISTS);
    try {
        // The open may have made OBJID.FDB: the class directory goes too.
        flush_new_object(db, cls, id, true);
    } catch (...) {
        abandon_object(db.root, cls, id);
        throw;
    }
}

void flush_new_object(const odb_database& db, uint32_t cls, uint32_t id, bool class_changed) {
    flush_parent(db, object_path(db.root, cls, id, 0));  // the bucket: the object's entry
    if (class_changed) flush_parent(db, object_path(db.root, cls, id, 0, true));
}

}  // namespace odb
