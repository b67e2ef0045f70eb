// Identifier ranges: the free part above every identifier in use, handing a
// block of it to the caller, and moving every class into a new range.
#include "core/durability.h"
#include "core/failure_trace.h"
#include "core/settings.h"
#include "store/class_walk.h"
#include "store/object_ids.h"
#include "store/object_path.h"

using namespace odb;

namespace {

constexpr uint32_t every_form = ODB_ENUM_LIVE | ODB_ENUM_REMOVED | ODB_ENUM_WIPED;

// Calls visit(cls) for every class directory of the database.
template <class Visit>
void scan_classes(odb_database& db, Visit&& visit) {
    HANDLE search = INVALID_HANDLE_VALUE;
    WCHAR name[MAX_PATH];
    try {
        while (next_numbered_dir(search, db.root, every_form, name)) visit(parse_hex_name(name));
    } catch (...) {
        close_search(search);
        throw;
    }
}

void free_ids(odb_database& db, uint32_t& first, uint32_t& last) {
    first = read_first_id(db);
    last = read_last_id(db);
    // One past 0xFFFFFFFF would wrap to 0 and let every later identifier
    // set the start again, so the answer would depend on the walk's order.
    // With the top identifier taken nothing lies above it: the range is
    // empty, first above last.
    bool top_taken = false;
    scan_classes(db, [&](uint32_t cls) {
        visit_objects(db, cls, every_form, [&](uint32_t id) {
            if (id == 0xFFFFFFFFu) top_taken = true;
            else if (id >= first) first = id + 1;
        });
    });
    if (top_taken) {
        first = 0xFFFFFFFFu;
        if (last == 0xFFFFFFFFu) last = 0xFFFFFFFEu;
    }
}

}  // namespace

extern "C" {

ODB_API odb_status ODB_CALL ODB_get_free_ids(odb_database* db, uint32_t* first, uint32_t* last) {
    return guarded("ODB_get_free_ids", [&] {
        odb_database& database = validate_database(db);
        if (first == nullptr || last == nullptr) raise(ODB_E_INVALID_PARAMETER);
        uint32_t low = 0, high = 0;
        try {
            free_ids(database, low, high);
        } catch (odb_status) {
            *first = read_first_id(database);
            *last = read_last_id(database);
            throw;
        }
        *first = low;
        *last = high;
    });
}

ODB_API odb_status ODB_CALL ODB_steal_ids(odb_database* db, uint32_t count, uint32_t* first,
                                          uint32_t* last) {
    return guarded("ODB_steal_ids", [&] {
        odb_database& database = validate_database(db);
        if (first == nullptr || last == nullptr) raise(ODB_E_INVALID_PARAMETER);
        file_handle config_lock = open_config_lock(database.root, true);
        uint32_t low = 0, high = 0;
        free_ids(database, low, high);
        // With nothing free (an identifier at or above LastId is in use),
        // handing out a block would lower LastId below identifiers in use.
        if (low > high) raise(ODB_E_NO_FREE_ID);
        if (high - low > count) low = high - count;
        write_last_id(database, low - 1);
        *first = low;
        *last = high;
    });
}

ODB_API odb_status ODB_CALL ODB_assign_ids(odb_database* db, uint32_t first, uint32_t last) {
    return guarded("ODB_assign_ids", [&] {
        odb_database& database = validate_database(db);
        file_handle config_lock = open_config_lock(database.root, true);
        scan_classes(database, [&](uint32_t cls) {
            uint32_t next = first;
            visit_objects(database, cls, every_form, [&](uint32_t id) {
                // The top identifier in use leaves the class at the top,
                // where allocation reports that nothing is free.
                if (id >= first && id <= last && id >= next) next = id == 0xFFFFFFFFu ? id : id + 1;
            });
            const named_file id_file = open_id_file(database.root, cls);
            write_next_id(id_file, next);
            flush_file(database, id_file);
        });
        write_first_id(database, first);
        write_last_id(database, last);
    });
}

}  // extern "C"
