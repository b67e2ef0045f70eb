// Workload 2 in SQLite: the same class as rows, walked, counted and looked
// up by name through the partial index on the name attribute.
#include "bench_support.h"
#include "sqlite_model.h"
#include "sqlite_walks.h"

namespace bench::sql {

sqlite3* build_walk_model(const std::string& dir, int count) {
    sqlite3* db = open_model(dir + "/walks.sqlite", mode::wal_off);
    exec(db, "BEGIN");
    {
        statement object(db, "INSERT INTO object(cls, id, changed) VALUES(?, ?, ?)");
        statement attribute(db, "INSERT INTO attribute(cls, id, num, value) VALUES(?, ?, ?, ?)");
        const int64_t changed = static_cast<int64_t>(now_seconds() * 1e6);
        for (int i = 0; i < count; ++i) {
            const int64_t id = i + 1;
            object.bind(1, object_class).bind(2, id).bind(3, changed);
            object.step();
            object.reset();
            const std::string name = object_name(i);
            const uint32_t a = attribute_a_value(i);
            unsigned char b[16];
            attribute_b_value(i, b);
            attribute.bind(1, object_class).bind(2, id).bind(3, ODB_NAME_ATTRIBUTE)
                .bind_blob(4, name.c_str(), static_cast<int>(name.size() + 1));
            attribute.step();
            attribute.reset();
            attribute.bind(1, object_class).bind(2, id).bind(3, small_attribute_a).bind_blob(4, &a, 4);
            attribute.step();
            attribute.reset();
            attribute.bind(1, object_class).bind(2, id).bind(3, small_attribute_b).bind_blob(4, b, 16);
            attribute.step();
            attribute.reset();
        }
    }
    exec(db, "COMMIT");
    exec(db, "ANALYZE");
    return db;
}

walk_queries::walk_queries(sqlite3* db)
    : plain(db, "SELECT id FROM object WHERE cls = ? AND state = 0"),
      changed(db, "SELECT id FROM object WHERE cls = ? AND state = 0 AND changed > ?"),
      matching(db,
               "SELECT o.id FROM object o JOIN attribute a ON a.cls = o.cls AND a.id = o.id AND a.num = ?"
               " WHERE o.cls = ? AND o.state = 0 AND a.value = ?"),
      count(db, "SELECT count(*) FROM object WHERE cls = ? AND state = 0"),
      lookup(db, "SELECT id FROM attribute WHERE cls = ? AND num = 138412033 AND value = ? LIMIT 1") {}

namespace {
int drain(statement& s) {
    int rows = 0;
    while (s.step()) ++rows;
    s.reset();
    return rows;
}
}  // namespace

int walk_plain(walk_queries& q) {
    q.plain.bind(1, object_class);
    return drain(q.plain);
}

int walk_changed_after(walk_queries& q) {
    q.changed.bind(1, object_class).bind(2, 0);
    return drain(q.changed);
}

int walk_matching(walk_queries& q) {
    static const uint32_t value = filter_value;
    q.matching.bind(1, small_attribute_a).bind(2, object_class).bind_blob(3, &value, 4);
    return drain(q.matching);
}

int64_t count(walk_queries& q) {
    q.count.bind(1, object_class);
    q.count.step();
    int64_t n = q.count.column_int(0);
    q.count.reset();
    return n;
}

int64_t lookup(walk_queries& q, int i) {
    const std::string name = object_name(i);
    q.lookup.bind(1, object_class).bind_blob(2, name.c_str(), static_cast<int>(name.size() + 1));
    int64_t id = q.lookup.step() ? q.lookup.column_int(0) : 0;
    q.lookup.reset();
    return id;
}

}  // namespace bench::sql
