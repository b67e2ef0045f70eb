// A database of its own for each core and store test, and the few things
// those tests do around it: raw DBCFG.INI text, object directory names,
// directory listings, and a copy of the helper that runs beside a
// QMFILEDB.INI of the test's choosing (the lock timing is read once per
// process, from beside the executable, so a different timing needs a
// different executable directory).
// Free of the test framework, so the helper can use it too.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "qmfiledb.h"
#include "support/temp_dir.h"
#include "support/wide.h"

namespace odb::test {

inline const odb_wchar* odb_text(const wide_string& path) {
    return reinterpret_cast<const odb_wchar*>(path.c_str());
}

// "%08x"
std::string hex_name(uint32_t value);

struct database_closer {
    void operator()(odb_database* db) const noexcept { ODB_close(db); }
};
using database_ptr = std::unique_ptr<odb_database, database_closer>;

struct ctx_closer {
    void operator()(odb_obj_ctx* ctx) const noexcept { ODB_obj_close_ctx(ctx); }
};
using ctx_ptr = std::unique_ptr<odb_obj_ctx, ctx_closer>;

// ODB_init_w without flags; null when it fails (status in *status).
database_ptr open_database(const wide_string& root, odb_status* status = nullptr);

// Creates a database at root holding one object of class cls, all closed
// again; the object's identifier, or 0 when any step failed.
uint32_t create_database_with_object(const wide_string& root, uint32_t cls);

// A database created under a fresh temporary directory, at <temp>/db.
class scratch_database {
public:
    // settings: DBCFG.INI text, written after the creation (which clears the
    // root) and before the handle is opened.
    explicit scratch_database(const std::string& settings = std::string());

    odb_database* db() const { return db_.get(); }
    const wide_string& root() const { return root_; }
    const temp_dir& dir() const { return dir_; }

    // Replaces DBCFG.INI and opens a new handle (the old one is closed;
    // its contexts must be closed first).
    void reopen(const std::string& settings);
    // Another handle on the same database.
    database_ptr second_handle() const { return open_database(root_); }

    // <root>\<class>, <class>\<bucket>, and the object directory with an
    // optional suffix (".RMV", ".WPE").
    wide_string class_dir(uint32_t cls) const;
    wide_string bucket_dir(uint32_t cls, uint32_t id) const;
    wide_string object_dir(uint32_t cls, uint32_t id, const char* suffix = "") const;
    // Creates the class, bucket and object directories by hand.
    void make_object_dir(uint32_t cls, uint32_t id, const char* suffix = "") const;

private:
    temp_dir dir_;
    wide_string root_;
    database_ptr db_;
};

// Writes DBCFG.INI of a root (CRLF line ends added to each "\n").
void write_settings(const wide_string& root, const std::string& text);

// Names in a directory, without "." and "..", sorted.
std::vector<std::string> list_directory(const wide_string& path);

// Creates one directory; false when it cannot.
bool make_dir(const wide_string& path);

// A second name for an existing file, and a symbolic link to a file or
// directory (POSIX only; false on Windows, where the tests that need them
// skip those checks).
bool make_hard_link(const wide_string& existing, const wide_string& link);
bool make_symbolic_link(const wide_string& target, const wide_string& link);

// The test helper copied into a fresh directory beside a QMFILEDB.INI with
// this Timeout (hundredths of a second) and Sleep (milliseconds). run()
// starts it with the arguments and an empty input, waits for it, stores
// what it wrote in *output and returns its exit code. Several runs may go
// on at once from different threads.
class relocated_helper {
public:
    relocated_helper(unsigned timeout, unsigned sleep);
    int run(const std::vector<std::string>& arguments, std::string* output = nullptr) const;
    const temp_dir& dir() const { return dir_; }

private:
    temp_dir dir_;
    wide_string executable_;
};

// Waits until a file appears (a helper's signal that it has reached a
// point); false if it has not appeared after a minute.
bool await_file(const wide_string& path);

}  // namespace odb::test
