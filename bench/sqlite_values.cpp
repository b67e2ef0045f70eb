// Workload 3 in SQLite: the value as a blob; pieces through incremental
// blob I/O, one blob handle (and so one transaction) per piece.
#include <cstring>
#include <stdexcept>

#include "values.h"

namespace bench::sql {

value_model::value_model(std::size_t bytes, const unsigned char* data, std::vector<mode> modes)
    : dir_(std::make_unique<scratch_dir>("sqlite-values")), bytes_(bytes) {
    for (mode m : modes) {
        sqlite3* db = open_model(dir_->sub(std::string(mode_name(m)) + ".sqlite"), m);
        dbs_[m] = db;
        exec(db, "CREATE TABLE value(id INTEGER PRIMARY KEY, data BLOB)");
        statement insert(db, "INSERT INTO value(id, data) VALUES(1, ?)");
        insert.bind_blob(1, data, static_cast<int>(bytes));
        insert.step();
    }
}

value_model::~value_model() {
    for (auto& entry : dbs_) close_model(entry.second);
}

void value_model::write_whole(mode m, const unsigned char* data) {
    statement update(db(m), "UPDATE value SET data = ? WHERE id = 1");
    update.bind_blob(1, data, static_cast<int>(bytes_));
    update.step();
}

void value_model::read_whole(mode m, unsigned char* out) {
    statement select(db(m), "SELECT data FROM value WHERE id = 1");
    if (!select.step()) throw std::runtime_error("sqlite: no value");
    std::memcpy(out, select.column_blob(0), static_cast<std::size_t>(select.column_bytes(0)));
}

void value_model::write_pieces(mode m, const unsigned char* data) {
    for (std::size_t at = 0; at < bytes_; at += piece_size) {
        sqlite3_blob* blob = nullptr;
        if (sqlite3_blob_open(db(m), "main", "value", "data", 1, 1, &blob) != SQLITE_OK)
            throw std::runtime_error("sqlite blob open");
        sqlite3_blob_write(blob, data + at, piece_size, static_cast<int>(at));
        sqlite3_blob_close(blob);
    }
}

void value_model::read_pieces(mode m, unsigned char* out) {
    for (std::size_t at = 0; at < bytes_; at += piece_size) {
        sqlite3_blob* blob = nullptr;
        if (sqlite3_blob_open(db(m), "main", "value", "data", 1, 0, &blob) != SQLITE_OK)
            throw std::runtime_error("sqlite blob open");
        sqlite3_blob_read(blob, out + at, piece_size, static_cast<int>(at));
        sqlite3_blob_close(blob);
    }
}

}  // namespace bench::sql
