// Workload 2: walks over a class (no filter, time filter, attribute filter),
// counts (by the name index and by enumeration) and lookups by name, over a
// class built once per size and storage form with the name index enabled.
#pragma once

#include <cstdint>
#include <string>

#include "objects.h"

namespace bench {

// The attribute filter of the walks: small_attribute_a equal to this value
// (one object in ten passes; every object is opened to decide).
constexpr uint32_t filter_value = 3;

namespace lib {
// Builds the class (untimed) and returns the database, open.
odb_database* build_walk_database(const std::string& root, int count, bool single_file);
int walk_plain(odb_database* db);
int walk_changed_after(odb_database* db);
int walk_matching(odb_database* db);
uint32_t count_by_index(odb_database* db);
uint32_t count_by_enumeration(odb_database* db);
uint32_t lookup(odb_database* db, int i);
// Invalidates the class's name index and counts by it: a whole rebuild.
uint32_t rebuild_index(odb_database* db, const std::string& root);
}  // namespace lib

// Empties names.dat (raw, on both sides): the next count by the index
// rebuilds it.
void invalidate_name_index(const std::string& root);

namespace floor {
int walk_plain(const std::string& root);
int walk_changed_after(const std::string& root);
int walk_matching(const std::string& root);
uint32_t count_by_index(const std::string& root);
uint32_t lookup(const std::string& root, int i);
// The rebuild's opens, reads and writes (every live object's lock file and
// name), then the count.
uint32_t rebuild_index(const std::string& root);
}  // namespace floor

}  // namespace bench
