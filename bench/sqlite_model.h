// The library's logical data in SQLite: objects (class, identifier, state,
// time of last change), attributes (class, identifier, number, value) and the
// name index (a partial index over the name attribute's values).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "objects.h"

namespace bench::sql {

class statement {
public:
    statement(sqlite3* db, const char* text);
    ~statement();
    statement(const statement&) = delete;
    statement& operator=(const statement&) = delete;
    statement& bind(int index, int64_t value);
    statement& bind_blob(int index, const void* data, int size);
    // Steps once; true when a row is there.
    bool step();
    int64_t column_int(int index);
    const void* column_blob(int index);
    int column_bytes(int index);
    void reset();
    sqlite3_stmt* get() { return stmt_; }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// Opens (creating) the database file with the pragmas of the mode and the
// schema.
sqlite3* open_model(const std::string& file, mode m);
void exec(sqlite3* db, const char* text);
void close_model(sqlite3* db);

}  // namespace bench::sql
