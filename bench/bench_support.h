// Shared pieces of the benchmark programs: scratch directories, database
// set-up through the public interface, the command-line sizes, clocks and
// memory figures. The library side uses only qmfiledb.h; the floor side uses
// only the raw POSIX helpers at the bottom.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qmfiledb.h"

namespace bench {

// ---- command line ----------------------------------------------------------

// Options every benchmark program takes before Google Benchmark's own:
//   --sizes=1000,100000   object counts (or value sizes in MiB for values)
//   --forms=file,single   attribute storage forms (SingleFile=no / yes)
//   --quick               tiny sizes, for the smoke test
struct options {
    std::vector<int> sizes;
    std::vector<bool> single_file_forms;  // false: one file per attribute
    bool quick = false;
    int rounds = 0;  // workload-specific repeat count, 0 for its default
};
// Removes the options it understands from argv.
options parse_options(int& argc, char** argv, std::vector<int> default_sizes,
                      std::vector<int> quick_sizes);

inline const char* form_name(bool single_file) { return single_file ? "single" : "file"; }

// ---- scratch space ----------------------------------------------------------

// A fresh directory under $QMFILEDB_BENCH_DIR (default /dev/shm, else /tmp), removed with
// everything in it when the object goes.
class scratch_dir {
public:
    explicit scratch_dir(const std::string& tag);
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string sub(const std::string& name) const { return path_ + "/" + name; }
    // The same directory as a second client sees it: under
    // $QMFILEDB_BENCH_OTHER_DIR (another mount of $QMFILEDB_BENCH_DIR's
    // share) when that is set, else the path itself.
    std::string other_view() const;

private:
    std::string path_;
};

void remove_tree(const std::string& path);

// ---- the library -------------------------------------------------------------

struct db_settings {
    bool single_file = false;
    bool name_index = false;
    int hash_count = 16;
    bool durable = false;  // Durability.Flush
};

// Creates a database at `root` with the given DBCFG.INI and returns it open.
// The settings are a snapshot taken at open, so the file is written between
// creation and a second open.
odb_database* create_database(const std::string& root, const db_settings& settings);
odb_database* open_database(const std::string& root);
void check(odb_status status, const char* what);

// ---- clocks and memory ---------------------------------------------------------

double now_seconds();  // monotonic
double cpu_seconds();  // CPU time of this process, user and system
// Peak resident set size of this process, in KiB (getrusage ru_maxrss).
long peak_rss_kib();
// Current resident set size, in KiB.
long current_rss_kib();

// Runs `body` in a child process and returns the figure it returns (a
// memory figure in KiB), or -1 when the child failed.
long in_child(long (*body)(void*), void* argument);

// ---- raw POSIX helpers for the floor programs -----------------------------------

// When set, the floor also does what the POSIX platform layer must add to
// give Win32 semantics: every open runs the share-mode protocol (fstat, an
// open-file-description lock, a stat of the path to see that the name
// still names the inode) and creates only exclusively after a plain open
// failed; a failed probe looks at the parent; a directory rename holds every
// file of the tree; a listed entry is stat'ed. Its cost shows as a line of
// its own.
extern bool floor_emulation;

// When set, the floor also makes the flushes the library makes with
// Durability.Flush on, raw: fdatasync of a written file, fsync of a
// directory that gained, lost or renamed an entry, at the same points.
extern bool floor_durable;
// fdatasync of `fd`, when floor_durable.
void floor_flush_file(int fd);
// open, fsync, close of the directory, when floor_durable.
void floor_flush_dir(const std::string& path);

enum class floor_lock { shared, exclusive };
// open(2) plus, with floor_emulation, the protocol; -1 on failure.
int floor_open(const char* path, int flags, floor_lock lock);
void floor_close(int fd);

// "<root>/<class>", "<root>/<class>/<bucket>", "<root>/<class>/<bucket>/<slot>".
std::string class_dir(const std::string& root, uint32_t cls);
std::string bucket_dir(const std::string& root, uint32_t cls, uint32_t id);
std::string object_dir(const std::string& root, uint32_t cls, uint32_t id);
std::string hex8(uint32_t value);

}  // namespace bench
