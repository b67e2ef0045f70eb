#include "store/class_walk.h"

#include <cstring>

#include "store/object_path.h"

namespace odb {

void open_cursor(object_cursor& cursor) noexcept {
    cursor.bucket = 0;
    cursor.bucket_search = INVALID_HANDLE_VALUE;
    cursor.object_search = INVALID_HANDLE_VALUE;
    cursor.bucket_dir[0] = 0;
}

void close_cursor(object_cursor& cursor) noexcept {
    close_search(cursor.bucket_search);
    close_search(cursor.object_search);
}

bool next_object(const odb_database& db, uint32_t cls, uint32_t kinds, object_cursor& cursor,
                 uint32_t& id, WCHAR* name) {
    for (;;) {
        if (cursor.object_search == INVALID_HANDLE_VALUE) {
            if (!next_numbered_dir(cursor.bucket_search, class_path(db.root, cls), ODB_ENUM_LIVE,
                                   name))
                return false;
            cursor.bucket = parse_hex_name(name);
            const path_buffer bucket_dir = object_path(db.root, cls, cursor.bucket << 9, 0, true);
            std::memcpy(cursor.bucket_dir, bucket_dir.c_str(),
                        (bucket_dir.length() + 1) * sizeof(WCHAR));
        }
        if (!next_numbered_dir(cursor.object_search, cursor.bucket_dir, kinds, name)) continue;
        id = (cursor.bucket << 9) + parse_hex_name(name);
        return true;
    }
}

}  // namespace odb
