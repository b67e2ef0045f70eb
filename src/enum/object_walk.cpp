#include "enum/object_walk.h"

#include <cstring>

#include "core/allocator.h"
#include "core/settings.h"
#include "platform/handle.h"
#include "store/context.h"
#include "store/object_path.h"

namespace odb {

namespace {

bool has_suffix(const WCHAR* name, const char* suffix) {
    for (int i = 0; i < 4; ++i) {
        WCHAR unit = name[8 + i];
        if (unit >= 'A' && unit <= 'Z') unit = static_cast<WCHAR>(unit + ('a' - 'A'));
        if (unit != static_cast<WCHAR>(suffix[i])) return false;
    }
    return true;
}

bool is_hex_digit(WCHAR unit) {
    return (unit >= '0' && unit <= '9') || (unit >= 'a' && unit <= 'f') ||
           (unit >= 'A' && unit <= 'F');
}

bool qualifies(const WIN32_FIND_DATAW& entry, uint32_t kinds) {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    // Only eight hexadecimal digits name a class, bucket or object: any
    // other name (planted, or left by a tool) read as a number would yield
    // identifier 0, or a bucket walked twice.
    for (int i = 0; i < 8; ++i)
        if (!is_hex_digit(entry.cFileName[i])) return false;
    std::size_t length = 0;
    while (length < 13 && entry.cFileName[length] != 0) ++length;
    if (length == 8) return (kinds & ODB_ENUM_LIVE) != 0;
    if (length != 12) return false;
    return ((kinds & ODB_ENUM_REMOVED) && has_suffix(entry.cFileName, ".rmv")) ||
           ((kinds & ODB_ENUM_WIPED) && has_suffix(entry.cFileName, ".wpe"));
}

void close_search(HANDLE& search) {
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    search = INVALID_HANDLE_VALUE;
}

// The end of a listing, or a listing that failed: a walk that took a
// failure for its end would pass for complete, and a name index rebuilt
// from it would be valid and wrong.
bool listing_ended(DWORD error) {
    if (error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND ||
        error == ERROR_PATH_NOT_FOUND)
        return false;
    raise(ODB_E_FILE_ACCESS);
}

odb_status walk_step(odb_enum_ctx& walk, uint32_t* id) {
    WCHAR name[MAX_PATH];
    for (;;) {
        if (walk.object_search == INVALID_HANDLE_VALUE) {
            if (!next_numbered_dir(walk.bucket_search, class_path(walk.db->root, walk.cls),
                                   ODB_ENUM_LIVE, name))
                return ODB_E_NO_MORE_ITEMS;
            walk.bucket = parse_hex_name(name);
        }
        const path_buffer bucket_dir =
            object_path(walk.db->root, walk.cls, walk.bucket << 9, 0, true);
        if (!next_numbered_dir(walk.object_search, bucket_dir, walk.flags, name)) continue;

        const uint32_t candidate = (walk.bucket << 9) + parse_hex_name(name);
        *id = candidate;

        if (walk.flags & ODB_ENUM_CHANGED_AFTER) {
            FILETIME after = {}, written = {};
            SYSTEMTIME changed_after;
            std::memcpy(&changed_after, &walk.filter.changed_after, sizeof changed_after);
            // A date that does not convert passes nothing.
            if (!SystemTimeToFileTime(&changed_after, &after)) continue;
            path_buffer object_dir = bucket_dir;
            object_dir.component(name);
            // An object without a lock file has no time of change to pass
            // the filter with: one being created that has not taken its
            // lock yet, or a wiped one.
            try {
                read_lock_file_times(object_dir, nullptr, nullptr, &written);
            } catch (odb_status status) {
                if (status != ODB_E_NO_OBJECT) throw;
                continue;
            }
            if (CompareFileTime(&written, &after) <= 0) continue;
        }
        if ((walk.flags & ODB_ENUM_MATCH) && !match_criteria(walk, candidate)) continue;
        return ODB_OK;
    }
}

}  // namespace

bool next_numbered_dir(HANDLE& search, const WCHAR* dir, uint32_t kinds, WCHAR* name) {
    if (kinds == 0) kinds = ODB_ENUM_LIVE;
    WIN32_FIND_DATAW entry;
    for (;;) {
        if (search == INVALID_HANDLE_VALUE) {
            path_buffer pattern(dir);
            pattern.component(ODB_W("????????.*"));
            search = FindFirstFileW(pattern, &entry);
            if (search == INVALID_HANDLE_VALUE) return listing_ended(GetLastError());
        } else if (!FindNextFileW(search, &entry)) {
            const DWORD error = GetLastError();
            close_search(search);
            return listing_ended(error);
        }
        if (qualifies(entry, kinds)) {
            std::memcpy(name, entry.cFileName, sizeof entry.cFileName);
            return true;
        }
    }
}

void read_lock_file_times(const WCHAR* object_dir, FILETIME* created, FILETIME* accessed,
                          FILETIME* written) {
    path_buffer path(object_dir);
    path.component(ODB_W("OBJLOCK.FDB"));
    file_handle lock =
        open_with_retry(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, ODB_E_NO_OBJECT);
    GetFileTime(lock.get(), created, accessed, written);
}

}  // namespace odb

using namespace odb;

extern "C" {

ODB_API odb_status ODB_CALL ODB_obj_enum_init(odb_database* db, uint32_t cls, uint32_t flags,
                                              const odb_enum_filter* filter,
                                              odb_enum_ctx** handle) {
    return guarded([&] {
        odb_database& database = validate_database(db);
        if (handle == nullptr) raise(ODB_E_INVALID_PARAMETER);
        zeroed_ptr<odb_enum_ctx> walk = make_zeroed<odb_enum_ctx>();
        walk->magic = odb_magic;
        walk->kind = odb_kind_walk;
        walk->db = &database;
        walk->cls = cls;
        walk->open_mode = ODB_MODE_READ;
        walk->bucket_search = INVALID_HANDLE_VALUE;
        walk->object_search = INVALID_HANDLE_VALUE;
        // Flags of exactly 0 visit live objects.
        walk->flags = flags == 0 ? ODB_ENUM_LIVE : flags;
        if (filter != nullptr) std::memcpy(&walk->filter, filter, sizeof walk->filter);
        if (flags & ODB_ENUM_REMOVED) walk->open_mode |= ODB_MODE_REMOVED;
        if (flags & ODB_ENUM_WIPED) walk->open_mode |= ODB_MODE_WIPED;
        *handle = walk.release();
    });
}

ODB_API odb_status ODB_CALL ODB_obj_enum_ids(odb_enum_ctx* handle, uint32_t* id) {
    return guarded_status([&] {
        odb_enum_ctx& walk = validate_context(handle);
        if (id == nullptr) raise(ODB_E_INVALID_PARAMETER);
        return walk_step(walk, id);
    });
}

ODB_API odb_status ODB_CALL ODB_obj_enum_close(odb_enum_ctx* handle) {
    return guarded([&] {
        odb_enum_ctx& walk = validate_context(handle);
        close_search(walk.bucket_search);
        close_search(walk.object_search);
        zero_free(&walk, sizeof walk);
    });
}

ODB_API odb_status ODB_CALL ODB_obj_enum(odb_database* db, odb_enum_ctx** handle, uint32_t cls,
                                         uint32_t* id) {
    if (handle == nullptr) return ODB_E_INVALID_PARAMETER;
    if (*handle == nullptr) {
        odb_status status = ODB_obj_enum_init(db, cls, ODB_ENUM_LIVE, nullptr, handle);
        if (status != ODB_OK) return status;
    }
    if (id == nullptr) return ODB_obj_enum_close(*handle);
    return ODB_obj_enum_ids(*handle, id);
}

}  // extern "C"
