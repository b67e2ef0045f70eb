// Workload 2 through the public interface.
#include <cstring>

#include "bench_support.h"
#include "walks.h"

namespace bench::lib {

odb_database* build_walk_database(const std::string& root, int count, bool single_file) {
    db_settings settings;
    settings.single_file = single_file;
    settings.name_index = true;
    odb_database* db = create_database(root, settings);
    // The index must exist before names are set, or the first update
    // switches it off for this handle; a count builds it.
    uint32_t none = 0;
    check(ODB_obj_count(db, object_class, 0, &none), "ODB_obj_count");
    for (int i = 0; i < count; ++i) create_object(db, i);
    return db;
}

namespace {

int walk(odb_database* db, uint32_t flags, const odb_enum_filter* filter) {
    odb_enum_ctx* walk = nullptr;
    check(ODB_obj_enum_init(db, object_class, flags, filter, &walk), "ODB_obj_enum_init");
    int found = 0;
    uint32_t id = 0;
    odb_status status;
    while ((status = ODB_obj_enum_ids(walk, &id)) == ODB_OK) ++found;
    if (status != ODB_E_NO_MORE_ITEMS) check(status, "ODB_obj_enum_ids");
    check(ODB_obj_enum_close(walk), "ODB_obj_enum_close");
    return found;
}

}  // namespace

int walk_plain(odb_database* db) { return walk(db, ODB_ENUM_LIVE, nullptr); }

int walk_changed_after(odb_database* db) {
    odb_enum_filter filter;
    std::memset(&filter, 0, sizeof filter);
    filter.changed_after = {2000, 1, 6, 1, 0, 0, 0, 0};  // every object passes, each is opened
    return walk(db, ODB_ENUM_LIVE | ODB_ENUM_CHANGED_AFTER, &filter);
}

int walk_matching(odb_database* db) {
    static const uint32_t value = filter_value;
    static const odb_enum_criterion criterion = {small_attribute_a, ODB_MATCH_EQUAL, 4, &value};
    odb_enum_filter filter;
    std::memset(&filter, 0, sizeof filter);
    filter.criteria = &criterion;
    filter.criteria_count = 1;
    return walk(db, ODB_ENUM_LIVE | ODB_ENUM_MATCH, &filter);
}

uint32_t count_by_index(odb_database* db) {
    uint32_t count = 0;
    check(ODB_obj_count(db, object_class, 0, &count), "ODB_obj_count(index)");
    return count;
}

uint32_t count_by_enumeration(odb_database* db) {
    uint32_t count = 0;
    check(ODB_obj_count(db, object_class, ODB_ENUM_LIVE, &count), "ODB_obj_count(enumeration)");
    return count;
}

uint32_t lookup(odb_database* db, int i) {
    const std::string name = object_name(i);
    uint32_t id = 0;
    check(ODB_obj_lookup_ex(db, object_class, ODB_NAME_ATTRIBUTE, ODB_NAME_ANSI, name.c_str(),
                            static_cast<uint32_t>(name.size() + 1), &id),
          "ODB_obj_lookup_ex");
    return id;
}

uint32_t rebuild_index(odb_database* db, const std::string& root) {
    invalidate_name_index(root);
    return count_by_index(db);
}

}  // namespace bench::lib
