// Workload 1: objects with a name and two small attributes are created;
// opened, their three attributes read, closed; one attribute rewritten; and
// removed. The same steps on three sides: the library, the floor (the same
// system calls, raw), and SQLite.
#pragma once

#include <cstdint>
#include <string>

#include "qmfiledb.h"

namespace bench {

constexpr uint32_t object_class = 7;
constexpr uint32_t small_attribute_a = 0x10;  // 4 bytes: a number
constexpr uint32_t small_attribute_b = 0x11;  // 16 bytes

// Seconds spent in each step, over all objects: elapsed, and CPU time of
// the process (user and system), which a loaded machine disturbs less.
struct object_phases {
    double create = 0, read = 0, rewrite = 0, remove = 0;
    double create_cpu = 0, read_cpu = 0, rewrite_cpu = 0, remove_cpu = 0;
};

// Times one step into a pair of fields.
class step_timer {
public:
    step_timer(double& wall, double& cpu);
    ~step_timer();

private:
    double& wall_;
    double& cpu_;
    double wall_start_, cpu_start_;
};

// The name of object number i and its attribute values.
std::string object_name(int i);
uint32_t attribute_a_value(int i);
void attribute_b_value(int i, unsigned char out[16]);

namespace lib {
// One object each; ids are the library's answers.
uint32_t create_object(odb_database* db, int i);
void read_object(odb_database* db, uint32_t id);
void rewrite_object(odb_database* db, uint32_t id, int i);
void remove_object(odb_database* db, uint32_t id);
object_phases run_objects(const std::string& root, int count, bool single_file,
                          bool durable = false);
}  // namespace lib

namespace floor {
// The floor's view of a database: its root and the settings the library
// would have taken from DBCFG.INI.
struct database {
    std::string root;
    bool single_file = false;
};
void create_database(const database& db);
uint32_t create_object(const database& db, int i);
void read_object(const database& db, uint32_t id);
void rewrite_object(const database& db, uint32_t id, int i);
void remove_object(const database& db, uint32_t id);
// durable: with the flushes the library makes under Durability.Flush.
object_phases run_objects(const std::string& root, int count, bool single_file, bool durable = false);
}  // namespace floor

namespace sql {
// autocommit_full: rollback journal, synchronous FULL; wal_full: WAL,
// synchronous FULL; object_full: rollback journal, synchronous FULL, each
// object's step in one transaction; wal_off and rollback_off: synchronous OFF.
enum class mode { autocommit_full, wal_off, one_transaction, wal_full, rollback_off, object_full };
const char* mode_name(mode m);
// With autocommit_full only the last `durable_sample` objects are timed (the
// rest are loaded untimed in one transaction): every statement waits for the
// disk, so the per-object figure does not need the whole run.
object_phases run_objects(const std::string& dir, int count, mode m, int durable_sample);
}  // namespace sql

}  // namespace bench
