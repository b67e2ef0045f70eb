// Opening, creating, closing and destroying a database.
#include "core/database.h"

#include <cstring>
#include <new>

#include "core/allocator.h"
#include "core/disk_format.h"
#include "core/failure_trace.h"
#include "core/file_io.h"
#include "core/settings.h"
#include "core/status.h"
#include "core/tree_ops.h"
#include "core/wide_text.h"
#include "platform/handle.h"
#include "platform/process.h"

namespace odb {

namespace {


// The longest tail the library appends to a root:
// "\class\bucket\slot.RMV\attribute.DAT" is 9 + 9 + 13 + 13 units.
constexpr std::size_t longest_path_tail = 44;

bool is_separator(WCHAR unit) { return unit == '\\' || unit == '/'; }

// "", "." and "..": as bare names they would resolve to the executable's
// own directory or its parent, which a creation would wipe.
bool names_no_directory(const WCHAR* path) {
    return path[0] == 0 || (path[0] == '.' && (path[1] == 0 || (path[1] == '.' && path[2] == 0)));
}

path_buffer marker_path(const odb_database& db) {
    path_buffer path(db.root);
    path.component(disk::marker_file);
    return path;
}

// Opens the marker and checks its text. On success the handle stays open in
// db.marker; otherwise db.marker is not open.
bool probe_marker(odb_database& db, bool read_write) {
    DWORD access = read_write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    const path_buffer path = marker_path(db);
    file_handle marker(CreateFileW(path, access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    db.marker = INVALID_HANDLE_VALUE;
    if (!marker) {
        note_failure("open", path, GetLastError());
        return false;
    }
    char head[80] = {};
    // A marker that cannot be read is no marker; the read leaves its note.
    try {
        file_ref(marker.get(), path, marker_failures).read(head, sizeof head);
    } catch (odb_status) {
        return false;
    }
    if (std::memcmp(head, disk::marker_text, disk::marker_compared) != 0) {
        note_damage("read", path, "not a database marker");
        return false;
    }
    db.marker = marker.release();
    return true;
}

void close_marker(odb_database& db) {
    if (db.marker != INVALID_HANDLE_VALUE) CloseHandle(db.marker);
    db.marker = INVALID_HANDLE_VALUE;
}

void create_database(odb_database& db) {
    clear_root(db.root);
    make_directory(db.root);
    {
        const path_buffer path = marker_path(db);
        file_handle marker(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!marker) {
            note_failure("create", path, GetLastError());
            raise(ODB_E_MARKER_WRITE);
        }
        file_ref(marker.get(), path, marker_failures)
            .write_exactly(disk::marker_text, disk::marker_size);
    }
    if (!probe_marker(db, false)) {
        clear_root(db.root);
        raise(ODB_E_MARKER_WRITE);
    }
}

// Closes the marker of a handle that never reached its caller.
struct database_deleter {
    void operator()(odb_database* db) const noexcept {
        close_marker(*db);
        db->~odb_database();
        zero_free(db, sizeof(odb_database));
    }
};

odb_status open_database(uint32_t flags, const WCHAR* path, odb_database** database) {
    return guarded([&] {
        load_lock_settings();
        std::unique_ptr<odb_database, database_deleter> db(
            new (zero_alloc(sizeof(odb_database))) odb_database());
        db->magic = odb_magic;
        db->kind = odb_kind_database;
        db->generation = platform::process_generation();
        db->marker = INVALID_HANDLE_VALUE;

        if (names_no_directory(path)) raise(ODB_E_INVALID_PARAMETER);
        path_buffer root(path);
        resolve_root(root);
        // Every path built from the root must fit in 260 units.
        if (root.length() + longest_path_tail >= path_capacity) raise(ODB_E_INVALID_PARAMETER);
        std::memcpy(db->root, root.c_str(), (root.length() + 1) * sizeof(WCHAR));

        if (flags & ODB_INIT_CREATE) {
            if (probe_marker(*db, false)) raise(ODB_E_DATABASE_EXISTS);
            create_database(*db);
        } else if (!probe_marker(*db, false)) {
            raise(ODB_E_NO_DATABASE);
        }
        load_database_settings(*db);
        *database = db.release();
    });
}

}  // namespace

odb_database& validate_database(odb_database* db) {
    if (db == nullptr || db->magic != odb_magic || db->kind != odb_kind_database ||
        db->generation != platform::process_generation())
        raise(ODB_E_INVALID_DATABASE);
    return *db;
}

path_buffer executable_directory() {
    WCHAR module[path_capacity] = {};
    DWORD length = GetModuleFileNameW(nullptr, module, path_capacity);
    if (length >= path_capacity) length = 0;
    while (length > 0 && !is_separator(module[length - 1])) --length;
    module[length] = 0;
    return path_buffer(module);
}

void resolve_root(path_buffer& root) {
    const WCHAR* text = root.c_str();
    bool unc = text[0] == '\\' && text[1] == '\\';
    if (!unc) {
        bool has_drive = ODB_DRIVE_LETTERS && text[0] != 0 && text[1] == ':';
        bool has_directory = false;
        for (const WCHAR* unit = text; *unit != 0; ++unit)
            if (is_separator(*unit)) has_directory = true;
        if (!has_drive && !has_directory) {
            path_buffer resolved = executable_directory();
            resolved.append(text);
            root = resolved;
        }
    }
    std::size_t length = root.length();
    if (length > ODB_BARE_ROOT_LENGTH && is_separator(root.c_str()[length - 1]))
        root.truncate(length - 1);
}

}  // namespace odb

using namespace odb;

namespace {

odb_status init_wide(uint32_t flags, const WCHAR* path, uint32_t* version,
                     odb_database** database) {
    if (version == nullptr) return ODB_E_INVALID_PARAMETER;
    *version = ODB_VERSION;
    if (flags & ODB_INIT_QUERY_VERSION) return ODB_OK;
    if (path == nullptr || database == nullptr) return ODB_E_INVALID_PARAMETER;
    return open_database(flags, path, database);
}

}  // namespace

extern "C" {

ODB_API odb_status ODB_CALL ODB_init_w(uint32_t flags, const odb_wchar* path, uint32_t* version,
                                       odb_database** database, uint32_t /*reserved*/) {
    return traced("ODB_init_w", [&] {
        return init_wide(flags, reinterpret_cast<const WCHAR*>(path), version, database);
    });
}

ODB_API odb_status ODB_CALL ODB_init(uint32_t flags, const char* path, uint32_t* version,
                                     odb_database** database, uint32_t /*reserved*/) {
    return traced("ODB_init", [&] {
        if (version == nullptr) return ODB_E_INVALID_PARAMETER;
        *version = ODB_VERSION;
        if (flags & ODB_INIT_QUERY_VERSION) return ODB_OK;
        if (path == nullptr || database == nullptr) return ODB_E_INVALID_PARAMETER;
        // A path that does not convert, or does not fit in 260 units, is refused.
        WCHAR wide[path_capacity];
        const odb_status converted = guarded([&] {
            if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, path_capacity) == 0)
                raise(ODB_E_INVALID_PARAMETER);
        });
        if (converted != ODB_OK) return converted;
        return init_wide(flags, wide, version, database);
    });
}

ODB_API odb_status ODB_CALL ODB_close(odb_database* db) {
    return guarded("ODB_close", [&] {
        odb_database& database = validate_database(db);
        close_marker(database);
        database.~odb_database();
        zero_free(db, sizeof(odb_database));
    });
}

ODB_API odb_status ODB_CALL ODB_destroy(odb_database* db) {
    return guarded("ODB_destroy", [&] {
        odb_database& database = validate_database(db);
        close_marker(database);
        // Every open handle of this database, here or in another process,
        // holds the marker for reading with read sharing only, so a
        // read-write open succeeds only when no other handle is open.
        if (!probe_marker(database, true)) {
            probe_marker(database, false);
            raise(ODB_E_DATABASE_IN_USE);
        }
        close_marker(database);
        clear_root(database.root);
    });
}

}  // extern "C"
