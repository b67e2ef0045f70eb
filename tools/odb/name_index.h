// The name index files of a class (names.dat and the bucket files
// names.000 ...), read by the tool itself and never written.
//
// The library rebuilds an index that is missing, stale or damaged as soon
// as a lookup or count looks at it, and creates any index file it opens
// that is not there. Commands that only read therefore inspect the files
// here first and hand a lookup or count to the library only when it will
// read nothing but sound, current files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/settings_table.h"
#include "database.h"

namespace odbtool {

struct index_header {
    enum state_t {
        absent,   // no index file at all: never built
        reset,    // names.dat empty or zeroed: the library dropped it
        missing,  // names.dat gone, bucket files left behind
        damaged,  // names.dat holds something the library never writes
        stale,    // valid, but older than NameIndex.LifeTime
        fresh     // valid and current
    } state = absent;
    uint32_t built = 0;    // seconds since 1992 (valid headers)
    uint32_t buckets = 0;  // 1..256 (valid headers)
    std::string problem;   // for damaged
};

struct index_entry {
    uint32_t id;
    std::u16string name;
};

struct index_bucket {
    enum state_t { missing, empty, sound, damaged } state = missing;
    uint32_t stated = 0;  // the entry count of the header
    std::vector<index_entry> entries;  // live entries, in file order
    std::string problem;               // for damaged
};

// Seconds since 1992-01-01 UTC, the clock of the index header.
uint32_t index_clock_now();
// NameIndex.LifeTime of the settings file, in seconds (0: never stale).
uint32_t index_lifetime(const database& db);

// An index counts as fresh only with `margin` seconds of life left, so that
// the library does not find it stale a moment later and rebuild it.
index_header read_index_header(const fs::path& class_dir, uint32_t lifetime, uint32_t margin = 60);
fs::path index_bucket_path(const fs::path& class_dir, uint32_t bucket);
index_bucket read_index_bucket(const fs::path& class_dir, uint32_t bucket);

// The bucket a name belongs to, by the library's rule.
uint32_t index_bucket_of(const std::u16string& name, uint32_t buckets);
// Names compare with A-Z folded to a-z, as the index compares them.
bool same_name(const std::u16string& a, const std::u16string& b);
// The longest name an entry holds with its terminator; a longer name is
// never found in the index.
const std::size_t longest_indexed_name = odb::settings::largest_entry_room - 1;

// Whether the library can look a name up (or count, for all buckets)
// reading only: the header is fresh and the bucket files concerned exist
// and are sound.
bool index_readable_for_name(const fs::path& class_dir, uint32_t lifetime, const std::u16string& name);
bool index_readable_for_count(const fs::path& class_dir, uint32_t lifetime);

// "missing", "stale" ... for messages.
std::string index_state_text(const index_header& header);

}  // namespace odbtool
