// Workload 3: a large value through the floor and SQLite.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "objects.h"
#include "sqlite_model.h"

namespace bench {

constexpr uint32_t piece_size = 64 * 1024;

namespace floor {
// One object directory holding the value, in either storage form, with its
// lock held for writing; each call opens and closes the value's file as one
// library call does.
class value_file {
public:
    value_file(bool single_file, std::size_t bytes, const unsigned char* data);
    ~value_file();
    void write_whole(const unsigned char* data);
    void read_whole(unsigned char* out);
    void write_pieces(const unsigned char* data);
    void read_pieces(unsigned char* piece);

private:
    std::unique_ptr<scratch_dir> dir_;
    std::string object_, records_, value_;
    bool single_;
    std::size_t bytes_;
    int lock_ = -1;
};
}  // namespace floor

namespace sql {
// The value as a blob in a one-row table, one database per mode.
class value_model {
public:
    value_model(std::size_t bytes, const unsigned char* data,
                std::vector<mode> modes = {mode::autocommit_full, mode::wal_off});
    ~value_model();
    void write_whole(mode m, const unsigned char* data);
    void read_whole(mode m, unsigned char* out);
    void write_pieces(mode m, const unsigned char* data);
    void read_pieces(mode m, unsigned char* out);

private:
    sqlite3* db(mode m) { return dbs_.at(m); }
    std::unique_ptr<scratch_dir> dir_;
    std::map<mode, sqlite3*> dbs_;
    std::size_t bytes_;
};
}  // namespace sql

}  // namespace bench
