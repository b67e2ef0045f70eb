// Workload 1 in SQLite, in three modes: every statement its own durable
// transaction (journal DELETE, synchronous FULL); WAL with synchronous OFF;
// and each step of the workload in one transaction.
#include <cstring>
#include <stdexcept>
#include <vector>

#include "bench_support.h"
#include "sqlite_model.h"

namespace bench::sql {

statement::statement(sqlite3* db, const char* text) : db_(db) {
    if (sqlite3_prepare_v2(db, text, -1, &stmt_, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("sqlite prepare: ") + sqlite3_errmsg(db));
}
statement::~statement() { sqlite3_finalize(stmt_); }
statement& statement::bind(int index, int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
}
statement& statement::bind_blob(int index, const void* data, int size) {
    sqlite3_bind_blob(stmt_, index, data, size, SQLITE_STATIC);
    return *this;
}
bool statement::step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) throw std::runtime_error(std::string("sqlite step: ") + sqlite3_errmsg(db_));
    return false;
}
int64_t statement::column_int(int index) { return sqlite3_column_int64(stmt_, index); }
const void* statement::column_blob(int index) { return sqlite3_column_blob(stmt_, index); }
int statement::column_bytes(int index) { return sqlite3_column_bytes(stmt_, index); }
void statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

void exec(sqlite3* db, const char* text) {
    char* error = nullptr;
    if (sqlite3_exec(db, text, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error != nullptr ? error : "?";
        sqlite3_free(error);
        throw std::runtime_error("sqlite exec: " + message);
    }
}

const char* mode_name(mode m) {
    switch (m) {
    case mode::autocommit_full: return "autocommit-full";
    case mode::wal_off: return "wal-off";
    case mode::one_transaction: return "one-transaction";
    case mode::wal_full: return "wal-full";
    case mode::rollback_off: return "rollback-off";
    case mode::object_full: return "object-full";
    }
    return "?";
}

sqlite3* open_model(const std::string& file, mode m) {
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) throw std::runtime_error("sqlite open");
    if (m == mode::wal_off)
        exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;");
    else if (m == mode::wal_full)
        exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
    else if (m == mode::rollback_off)
        exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=OFF;");
    else
        exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;");
    exec(db,
         "CREATE TABLE IF NOT EXISTS object(cls INTEGER NOT NULL, id INTEGER NOT NULL,"
         " state INTEGER NOT NULL DEFAULT 0, changed INTEGER NOT NULL, PRIMARY KEY(cls, id)) WITHOUT ROWID;"
         "CREATE TABLE IF NOT EXISTS attribute(cls INTEGER NOT NULL, id INTEGER NOT NULL,"
         " num INTEGER NOT NULL, value BLOB, PRIMARY KEY(cls, id, num)) WITHOUT ROWID;"
         "CREATE INDEX IF NOT EXISTS name_index ON attribute(cls, value) WHERE num = 138412033;");
    return db;
}

void close_model(sqlite3* db) { sqlite3_close(db); }

namespace {

int64_t now_stamp() { return static_cast<int64_t>(now_seconds() * 1e6); }

struct object_statements {
    explicit object_statements(sqlite3* db)
        : new_object(db,
                     "INSERT INTO object(cls, id, changed) VALUES(?1,"
                     " (SELECT coalesce(max(id), 0) + 1 FROM object WHERE cls = ?1), ?2) RETURNING id"),
          set_attribute(db, "INSERT OR REPLACE INTO attribute(cls, id, num, value) VALUES(?, ?, ?, ?)"),
          open_object(db, "SELECT state FROM object WHERE cls = ? AND id = ?"),
          get_attribute(db, "SELECT value FROM attribute WHERE cls = ? AND id = ? AND num = ?"),
          touch(db, "UPDATE object SET changed = ? WHERE cls = ? AND id = ?"),
          remove(db, "UPDATE object SET state = 1 WHERE cls = ? AND id = ?") {}
    statement new_object, set_attribute, open_object, get_attribute, touch, remove;
};

int64_t create(object_statements& s, int i) {
    s.new_object.bind(1, object_class).bind(2, now_stamp());
    s.new_object.step();
    int64_t id = s.new_object.column_int(0);
    while (s.new_object.step()) {
    }
    s.new_object.reset();
    const std::string name = object_name(i);
    const uint32_t a = attribute_a_value(i);
    unsigned char b[16];
    attribute_b_value(i, b);
    s.set_attribute.bind(1, object_class).bind(2, id).bind(3, ODB_NAME_ATTRIBUTE)
        .bind_blob(4, name.c_str(), static_cast<int>(name.size() + 1));
    s.set_attribute.step();
    s.set_attribute.reset();
    s.set_attribute.bind(1, object_class).bind(2, id).bind(3, small_attribute_a).bind_blob(4, &a, 4);
    s.set_attribute.step();
    s.set_attribute.reset();
    s.set_attribute.bind(1, object_class).bind(2, id).bind(3, small_attribute_b).bind_blob(4, b, 16);
    s.set_attribute.step();
    s.set_attribute.reset();
    return id;
}

void read(object_statements& s, int64_t id) {
    s.open_object.bind(1, object_class).bind(2, id);
    if (!s.open_object.step()) throw std::runtime_error("sqlite: no object");
    s.open_object.reset();
    const uint32_t attributes[3] = {ODB_NAME_ATTRIBUTE, small_attribute_a, small_attribute_b};
    unsigned char buffer[64];
    for (uint32_t attribute : attributes) {
        s.get_attribute.bind(1, object_class).bind(2, id).bind(3, attribute);
        if (!s.get_attribute.step()) throw std::runtime_error("sqlite: no attribute");
        int size = s.get_attribute.column_bytes(0);
        std::memcpy(buffer, s.get_attribute.column_blob(0), size < 64 ? size : 64);
        benchmark::DoNotOptimize(buffer);
        s.get_attribute.reset();
    }
}

void rewrite(object_statements& s, int64_t id, int i) {
    unsigned char b[16];
    attribute_b_value(i + 1, b);
    s.set_attribute.bind(1, object_class).bind(2, id).bind(3, small_attribute_b).bind_blob(4, b, 16);
    s.set_attribute.step();
    s.set_attribute.reset();
    s.touch.bind(1, now_stamp()).bind(2, object_class).bind(3, id);
    s.touch.step();
    s.touch.reset();
}

void remove(object_statements& s, int64_t id) {
    s.remove.bind(1, object_class).bind(2, id);
    s.remove.step();
    s.remove.reset();
}

}  // namespace

object_phases run_objects(const std::string& dir, int count, mode m, int durable_sample) {
    sqlite3* db = open_model(dir + "/model.sqlite", m);
    object_phases phases;
    {
        object_statements s(db);
        int first = 0;
        const bool durable = m == mode::autocommit_full || m == mode::wal_full || m == mode::object_full;
        if (durable && count > durable_sample) {
            // The untimed part of the class, loaded at once.
            first = count - durable_sample;
            exec(db, "BEGIN");
            for (int i = 0; i < first; ++i) create(s, i);
            exec(db, "COMMIT");
        }
        const bool batch = m == mode::one_transaction;
        std::vector<int64_t> ids;
        ids.reserve(static_cast<std::size_t>(count - first));

        {
            step_timer timer(phases.create, phases.create_cpu);
            if (batch) exec(db, "BEGIN");
            for (int i = first; i < count; ++i) {
                if (m == mode::object_full) exec(db, "BEGIN");
                ids.push_back(create(s, i));
                if (m == mode::object_full) exec(db, "COMMIT");
            }
            if (batch) exec(db, "COMMIT");
        }
        {
            step_timer timer(phases.read, phases.read_cpu);
            if (batch) exec(db, "BEGIN");
            for (int64_t id : ids) read(s, id);
            if (batch) exec(db, "COMMIT");
        }
        {
            step_timer timer(phases.rewrite, phases.rewrite_cpu);
            if (batch) exec(db, "BEGIN");
            for (std::size_t k = 0; k < ids.size(); ++k) rewrite(s, ids[k], static_cast<int>(k));
            if (batch) exec(db, "COMMIT");
        }
        {
            step_timer timer(phases.remove, phases.remove_cpu);
            if (batch) exec(db, "BEGIN");
            for (int64_t id : ids) remove(s, id);
            if (batch) exec(db, "COMMIT");
        }

        // Per object of the timed part.
        const double timed = static_cast<double>(ids.size());
        const double scale = static_cast<double>(count) / timed;
        phases.create *= scale;
        phases.read *= scale;
        phases.rewrite *= scale;
        phases.remove *= scale;
        phases.create_cpu *= scale;
        phases.read_cpu *= scale;
        phases.rewrite_cpu *= scale;
        phases.remove_cpu *= scale;
    }
    close_model(db);
    return phases;
}

}  // namespace bench::sql
