// The exported object walk: the class walk of the store, narrowed by the
// caller's flags (forms, a time of change, an attribute filter).
#include "enum/object_walk.h"

#include <cstring>

#include "core/allocator.h"
#include "core/disk_format.h"
#include "core/failure_trace.h"
#include "core/settings.h"
#include "platform/handle.h"
#include "store/context.h"
#include "store/object_path.h"

namespace odb {

odb_enum_ctx* open_walk(odb_database& db, uint32_t cls, uint32_t flags,
                        const odb_enum_filter* filter) {
    zeroed_ptr<odb_enum_ctx> walk = make_zeroed<odb_enum_ctx>();
    walk->magic = odb_magic;
    walk->kind = odb_kind_walk;
    walk->db = &db;
    walk->cls = cls;
    walk->open_mode = ODB_MODE_READ;
    open_cursor(walk->cursor);
    // Flags of exactly 0 visit live objects.
    walk->flags = flags == 0 ? ODB_ENUM_LIVE : flags;
    if (filter != nullptr) std::memcpy(&walk->filter, filter, sizeof walk->filter);
    if (flags & ODB_ENUM_REMOVED) walk->open_mode |= ODB_MODE_REMOVED;
    if (flags & ODB_ENUM_WIPED) walk->open_mode |= ODB_MODE_WIPED;
    return walk.release();
}

odb_status walk_step(odb_enum_ctx& walk, uint32_t* id) {
    WCHAR name[MAX_PATH];
    uint32_t candidate = 0;
    for (;;) {
        if (!next_object(*walk.db, walk.cls, walk.flags, walk.cursor, candidate, name))
            return ODB_E_NO_MORE_ITEMS;
        *id = candidate;

        if (walk.flags & ODB_ENUM_CHANGED_AFTER) {
            FILETIME after = {}, written = {};
            SYSTEMTIME changed_after;
            std::memcpy(&changed_after, &walk.filter.changed_after, sizeof changed_after);
            // A date that does not convert passes nothing.
            if (!SystemTimeToFileTime(&changed_after, &after)) continue;
            path_buffer object_dir = object_path(walk.db->root, walk.cls, candidate, 0, true);
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

void close_walk(odb_enum_ctx* walk) noexcept {
    close_cursor(walk->cursor);
    zero_free(walk, sizeof *walk);
}

void read_lock_file_times(const WCHAR* object_dir, FILETIME* created, FILETIME* accessed,
                          FILETIME* written) {
    path_buffer path(object_dir);
    path.component(disk::object_lock_file);
    file_handle lock =
        open_with_retry(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, ODB_E_NO_OBJECT);
    GetFileTime(lock.get(), created, accessed, written);
}

}  // namespace odb

using namespace odb;

namespace {

odb_status begin_walk(odb_database* db, uint32_t cls, uint32_t flags,
                      const odb_enum_filter* filter, odb_enum_ctx** handle) {
    return guarded([&] {
        odb_database& database = validate_database(db);
        if (handle == nullptr) raise(ODB_E_INVALID_PARAMETER);
        *handle = open_walk(database, cls, flags, filter);
    });
}

odb_status step_walk(odb_enum_ctx* handle, uint32_t* id) {
    return guarded_status([&] {
        odb_enum_ctx& walk = validate_context(handle);
        if (id == nullptr) raise(ODB_E_INVALID_PARAMETER);
        return walk_step(walk, id);
    });
}

odb_status end_walk(odb_enum_ctx* handle) {
    return guarded([&] { close_walk(&validate_context(handle)); });
}

}  // namespace

extern "C" {

ODB_API odb_status ODB_CALL ODB_obj_enum_init(odb_database* db, uint32_t cls, uint32_t flags,
                                              const odb_enum_filter* filter,
                                              odb_enum_ctx** handle) {
    return traced("ODB_obj_enum_init", [&] { return begin_walk(db, cls, flags, filter, handle); });
}

ODB_API odb_status ODB_CALL ODB_obj_enum_ids(odb_enum_ctx* handle, uint32_t* id) {
    return traced("ODB_obj_enum_ids", [&] { return step_walk(handle, id); });
}

ODB_API odb_status ODB_CALL ODB_obj_enum_close(odb_enum_ctx* handle) {
    return traced("ODB_obj_enum_close", [&] { return end_walk(handle); });
}

ODB_API odb_status ODB_CALL ODB_obj_enum(odb_database* db, odb_enum_ctx** handle, uint32_t cls,
                                         uint32_t* id) {
    return traced("ODB_obj_enum", [&] {
        if (handle == nullptr) return ODB_E_INVALID_PARAMETER;
        if (*handle == nullptr) {
            odb_status status = begin_walk(db, cls, ODB_ENUM_LIVE, nullptr, handle);
            if (status != ODB_OK) return status;
        }
        if (id == nullptr) return end_walk(*handle);
        return step_walk(*handle, id);
    });
}

}  // extern "C"
