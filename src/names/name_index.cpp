// The name index files of a class.
//
//   names.dat   12 bytes: magic 0x5B5B0004, built (seconds since 1992),
//               bucket count (1..256). Any other magic means invalid.
//   names.%03x  bucket files: magic 0x5B5B0004, live entry count, then
//               entries: length u16 (whole entry, at most 263), object
//               identifier u32 (0 = free), UTF-16LE name, zero-padded.
//
// A name goes to the bucket of the sum of its folded units modulo the
// bucket count. Entries keep their length for ever and are reused in place.
// Lock order: names.dat before any bucket file.
#include "names/name_index.h"

#include <cstring>
#include <memory>
#include <utility>

#include "attrs/attribute_io.h"
#include "core/clock.h"
#include "core/database.h"
#include "core/durability.h"
#include "core/failure_trace.h"
#include "core/file_io.h"
#include "core/retrying_open.h"
#include "core/tree_ops.h"
#include "core/wide_text.h"
#include "platform/extensions.h"
#include "platform/handle.h"
#include "store/class_walk.h"
#include "store/context.h"
#include "store/object_facts.h"
#include "store/object_path.h"

namespace odb {

namespace {

constexpr int header_bucket = -1;
constexpr uint32_t index_header_size = disk::name_index_header_size;
constexpr uint32_t bucket_header_size = disk::name_bucket_header_size;
constexpr uint32_t entry_buffer_size = 264;
// Units a name field can hold without its terminator: an entry of at most
// 263 bytes keeps 126 units, a terminator and one spare unit. Longer names
// are stored cut to 127 units with no terminator, which no lookup matches.
constexpr uint32_t longest_indexed_name = 126;
constexpr uint32_t cut_name_units = 127;

path_buffer index_file_path(const odb_obj_ctx& ctx, int bucket) {
    path_buffer path = class_path(ctx.db->root, ctx.cls);
    if (bucket == header_bucket) {
        path.component(disk::name_index_file);
        return path;
    }
    path.component(disk::name_bucket_prefix);
    path.hex(static_cast<uint32_t>(bucket), 3);
    return path;
}

// Every bucket file is opened while names.dat is held (lock order), and
// that hold refuses every rename that could move a bucket's path: a rename
// of the class directory or one above must hold every file below it, and
// no one renames a bucket file (they are written in place, and deleted only
// by a reset under names.dat or by a failed rebuild, which the open still
// sees as a link count of 0). So a bucket's open skips the look-up of its
// path that follows the lock (FILE_FLAG_PATH_HELD, see the share-lock essay).
DWORD bucket_open_flags(int bucket) {
    return bucket == header_bucket ? FILE_ATTRIBUTE_NORMAL
                                   : FILE_ATTRIBUTE_NORMAL | platform::FILE_FLAG_PATH_HELD;
}

// An index file, open, with its name for failure notes. A read opens it
// shared; a write, or a read of a file that is missing (reading a missing
// index file creates it empty), opens it exclusive. The open comes first and
// a missing file or class directory is learnt from its failure: every use of
// the index opens several files, and a probe before each would cost a call
// per file to learn what the open tells anyway.
named_file open_index_file(const odb_obj_ctx& ctx, int bucket, bool write) {
    const odb_database& db = *ctx.db;
    const path_buffer path = index_file_path(ctx, bucket);
    const lock_timing timing{db.index_lock_timeout, db.index_lock_sleep};
    const DWORD flags = bucket_open_flags(bucket);
    // ODB_E_NO_OBJECT stands for "missing" here and never leaves.
    const open_failures missing_told{ODB_E_INDEX_LOCK_TIMEOUT, ODB_E_NO_OBJECT, ODB_E_FILE_ACCESS};
    if (!write) {
        try {
            return {open_retrying(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, timing,
                                  missing_told, nullptr, flags),
                    path};
        } catch (odb_status status) {
            if (status != ODB_E_NO_OBJECT) throw;
            clear_failure_note();
        }
    }
    const DWORD access = GENERIC_READ | GENERIC_WRITE;
    try {
        return {open_retrying(path, access, 0, OPEN_ALWAYS, timing, missing_told, nullptr, flags),
                path};
    } catch (odb_status status) {
        if (status != ODB_E_NO_OBJECT) throw;
        clear_failure_note();
    }
    make_directory(class_path(db.root, ctx.cls));
    return {open_retrying(path, access, 0, OPEN_ALWAYS, timing,
                          {ODB_E_INDEX_LOCK_TIMEOUT, ODB_E_FILE_ACCESS, ODB_E_FILE_ACCESS}, nullptr,
                          flags),
            path};
}

// A bucket file emptied for a rebuild, open for writing. The rebuild holds
// names.dat for writing, which every user of a bucket holds first (lock
// order), and names.dat lies in the class directory: the bucket is truncated
// in its open, with no probe, no directory to make and no deletion first.
named_file open_emptied_bucket(const odb_obj_ctx& ctx, int bucket) {
    const odb_database& db = *ctx.db;
    const path_buffer path = index_file_path(ctx, bucket);
    file_handle handle = open_retrying(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS,
                                       {db.index_lock_timeout, db.index_lock_sleep},
                                       {ODB_E_INDEX_LOCK_TIMEOUT, ODB_E_FILE_ACCESS, ODB_E_FILE_ACCESS},
                                       nullptr, bucket_open_flags(bucket));
    return {std::move(handle), path};
}

file_ref index_ref(const named_file& file) { return {file, name_index_failures}; }

// Damage inside an index file: what is wrong takes the system's place.
[[noreturn]] void damaged(const named_file& file, const char* what) {
    note_damage("read", file.path, what);
    raise(ODB_E_FILE_ACCESS);
}

void write_bucket_header(const named_file& file, uint32_t count) {
    unsigned char header[bucket_header_size];
    put32(header, name_index_magic);
    put32(header + 4, count);
    index_ref(file).write_exactly_at(0, header, bucket_header_size);
}

// The bucket file's size, which must be 0 or hold a whole header.
uint64_t bucket_size(const named_file& file) {
    const uint64_t size = index_ref(file).size();
    if (size > 0 && size < bucket_header_size) damaged(file, "bucket header cut short");
    return size;
}

uint32_t read_bucket_header(const named_file& file) {
    unsigned char header[bucket_header_size];
    index_ref(file).read_exactly_at(0, header, bucket_header_size);
    if (get32(header) != name_index_magic) damaged(file, "not a name index bucket (wrong magic)");
    return get32(header + 4);
}

// How a name is stored: its units (cut to 127 when longer than an entry
// can hold) and the least entry length that holds it.
struct stored_name {
    uint32_t units;
    uint32_t needed_length;
};

stored_name measure(const WCHAR* name) {
    std::size_t length = wide_length(name);
    if (length > longest_indexed_name) return {cut_name_units, 8 + 2 * cut_name_units};
    return {static_cast<uint32_t>(length), 8 + 2 * (static_cast<uint32_t>(length) + 1)};
}

uint32_t new_entry_length(const odb_database& db, const stored_name& stored) {
    uint32_t min_units = db.min_entry_size < cut_name_units ? db.min_entry_size : cut_name_units;
    uint32_t length = 8 + 2 * min_units;
    return stored.needed_length > length ? stored.needed_length : length;
}

// Writes the name (and its terminator, when it has room) from byte 6 of an
// entry; the bytes after it keep what they held.
void put_name(unsigned char* entry, const WCHAR* name, const stored_name& stored) {
    for (uint32_t i = 0; i < stored.units; ++i)
        put16(entry + 6 + 2 * i, static_cast<uint16_t>(name[i]));
    if (stored.units < cut_name_units) put16(entry + 6 + 2 * stored.units, 0);
}

// Reads the entries of a bucket file through one window, so a scan costs a
// few large reads instead of two small ones per entry.
class entry_scanner {
public:
    entry_scanner(const named_file& file, uint64_t size) : file_(file), size_(size) {}

    // The entry at offset, in place in the window; null when fewer than 8
    // bytes remain. An entry length below 8 or above 263 is damage and
    // raises ODB_E_FILE_ACCESS.
    const unsigned char* view_at(uint64_t offset, uint32_t& length) {
        if (size_ - offset < 8) return nullptr;
        const unsigned char* head = bytes(offset, 8);
        length = get16(head);
        if (length >= entry_buffer_size || length < 8) damaged(file_, "entry length out of range");
        return bytes(offset, length);
    }

    // Calls visit(entry, length) for each entry from offset on, in place in
    // the window, until it returns true (then true) or the entries end
    // (false). Lengths are checked as view_at checks them; the window is
    // walked with no call per entry, since a lookup visits thousands.
    template <class Visit>
    bool each_entry(uint64_t offset, Visit&& visit) {
        while (size_ - offset >= 8) {
            const unsigned char* run = bytes(offset, 8);
            const uint64_t available = start_ + filled_ - offset;
            uint64_t at = 0;
            while (available - at >= 8) {
                const unsigned char* entry = run + at;
                const uint32_t length = get16(entry);
                if (length >= entry_buffer_size || length < 8) damaged(file_, "entry length out of range");
                if (length > available - at) break;
                if (visit(entry, length)) return true;
                at += length;
            }
            // An entry that runs past the window: the next one starts there.
            if (at == 0) bytes(offset, get16(run));
            offset += at;
        }
        return false;
    }

    // The bucket header (the file is at least that long), checked, from
    // the first window: a lookup reads a small bucket whole in one call.
    uint32_t header_count() {
        const unsigned char* header = bytes(0, bucket_header_size);
        if (get32(header) != name_index_magic) damaged(file_, "not a name index bucket (wrong magic)");
        return get32(header + 4);
    }

private:
    const unsigned char* bytes(uint64_t offset, uint32_t count) {
        if (offset < start_ || offset + count > start_ + filled_) {
            // No more than the file holds: a read past its end would only
            // come back empty, one call later.
            const uint64_t left = size_ - offset;
            const uint32_t wanted = left < sizeof window_ ? static_cast<uint32_t>(left) : sizeof window_;
            filled_ = index_ref(file_).read_at(offset, window_, wanted);
            start_ = offset;
            if (filled_ < count) damaged(file_, "entry cut short");
        }
        return window_ + (offset - start_);
    }

    const named_file& file_;
    uint64_t size_;
    uint64_t start_ = 0;
    uint32_t filled_ = 0;
    unsigned char window_[65536];
};

bool entry_fits(uint32_t length, const stored_name& stored) {
    return length >= stored.needed_length;
}

// False for a header that is short, unreadable or invalid; otherwise sets
// the context's bucket count (and *built to the time of the build).
bool take_index_header(odb_obj_ctx& ctx, const named_file& file, uint32_t* built = nullptr) {
    unsigned char header[index_header_size];
    if (index_ref(file).read(header, index_header_size) != index_header_size) return false;
    const uint32_t buckets = get32(header + 8);
    // A bucket count the index never writes is damage, like a wrong magic.
    if (get32(header) != name_index_magic || buckets == 0 || buckets > 256) return false;
    ctx.bucket_count = buckets;
    if (built != nullptr) *built = get32(header + 4);
    return true;
}

// Unnamed objects all share bucket 0, which in a large class holds
// thousands of entries, and a full scan of it per object made and per
// object named made both O(n). A new object needs none: its identifier
// was claimed just now by the creation of its directory, so no entry can
// hold it, and the scan for free room is needed only when there can be any.
// Every entry written under the current MinEntrySize is at least as long as
// an unnamed one, so a bucket whose entries fill exactly count unnamed
// lengths has no free entry, and the new one goes at the end (entries left
// by an older, smaller MinEntrySize can make a bucket with free room look
// packed: the room then stays unused, the bucket as valid). The context
// keeps where, and when it names the object (or removes it unnamed) it
// frees that entry in place, cutting it off when it is still the last, so
// the bucket is as it was before the object came.
bool bucket_is_packed(const odb_database& db, uint64_t size, uint32_t count) {
    static const WCHAR empty_name[1] = {0};
    const uint64_t unnamed_length = new_entry_length(db, measure(empty_name));
    return size - bucket_header_size == unnamed_length * count;
}

// Frees the unnamed entry the context added, where it keeps it; false when
// that is not known or no longer there (a rebuild since, or damage), and
// the bucket must be scanned.
bool free_own_unnamed_entry(odb_obj_ctx& ctx, const named_file& bucket, uint64_t size,
                            uint32_t built) {
    const uint64_t kept = ctx.unnamed_entry;
    ctx.unnamed_entry = 0;
    if (kept == 0 || ctx.unnamed_entry_built != built) return false;
    const uint64_t offset = kept - 1;
    unsigned char entry[entry_buffer_size];
    if (offset < bucket_header_size || size < offset + 10) return false;
    const uint32_t available =
        size - offset < entry_buffer_size ? static_cast<uint32_t>(size - offset) : entry_buffer_size;
    if (index_ref(bucket).read_at(offset, entry, available) != available) return false;
    const uint32_t length = get16(entry);
    if (length < 10 || length > available || get32(entry + 2) != ctx.id) return false;
    for (uint32_t i = 6; i < length; ++i)
        if (entry[i] != 0) return false;
    if (offset + length == size) {
        index_ref(bucket).cut_at(offset);
    } else {
        std::memset(entry + 2, 0, length - 2);  // a free entry keeps its length
        index_ref(bucket).write_exactly_at(offset, entry, length);
    }
    return true;
}

void read_index_header(odb_obj_ctx& ctx, const named_file& file) {
    if (!take_index_header(ctx, file)) damaged(file, "invalid index header");
}

// The object's name as the index keeps it: the first 514 bytes of its name
// attribute as text, or the empty name.
void read_object_name(odb_obj_ctx& ctx, uint32_t id, WCHAR* name) {
    std::unique_ptr<odb_obj_ctx, context_closer> object(
        create_context(*ctx.db, ctx.cls, id, ctx.mode | ODB_MODE_READ));
    object_facts facts(*object);
    read_object_name_attribute(facts, name);
}

// With only_if_indexed, a missing or invalid names.dat ends the update
// before anything is written; otherwise it is damage.
void update_bucket(odb_obj_ctx& ctx, uint32_t id, const WCHAR* name, bool remove,
                   bool only_if_indexed, bool new_object = false) {
    if (only_if_indexed && probe_path(index_file_path(ctx, header_bucket)) != 0) return;
    const named_file header = open_index_file(ctx, header_bucket, false);
    uint32_t built = 0;
    if (!take_index_header(ctx, header, &built)) {
        if (only_if_indexed) return;
        damaged(header, "invalid index header");
    }
    const stored_name stored = measure(name);
    const named_file bucket = open_index_file(ctx, static_cast<int>(name_hash(ctx, name)), true);

    uint64_t size = bucket_size(bucket);
    const bool new_bucket = size == 0;
    uint32_t count = 0;
    if (size == 0) {
        write_bucket_header(bucket, 0);
        size = bucket_header_size;
    } else {
        count = read_bucket_header(bucket);
    }
    const uint32_t original_count = count;

    const bool unnamed = name[0] == 0;
    if (unnamed && remove && id == ctx.id && free_own_unnamed_entry(ctx, bucket, size, built)) {
        write_bucket_header(bucket, count - 1);
        return;
    }
    if (unnamed && !remove && new_object && id == ctx.id &&
        bucket_is_packed(*ctx.db, size, count)) {
        unsigned char entry[entry_buffer_size] = {};
        const uint32_t length = new_entry_length(*ctx.db, stored);
        put16(entry, static_cast<uint16_t>(length));
        put32(entry + 2, id);
        index_ref(bucket).write_exactly_at(size, entry, length);
        write_bucket_header(bucket, count + 1);
        ctx.unnamed_entry = size + 1;
        ctx.unnamed_entry_built = built;
        return;
    }

    entry_scanner scanner(bucket, size);
    unsigned char entry[entry_buffer_size];
    uint32_t length = 0;
    uint64_t free_offset = 0;
    uint32_t free_length = 0;
    bool done = false;
    // Entries are looked at in the scanner's window and copied out only to
    // be changed: unnamed objects share bucket 0, which grows large, and
    // every object made or removed scans it.
    for (uint64_t offset = bucket_header_size; !done; offset += length) {
        const unsigned char* view = scanner.view_at(offset, length);
        if (view == nullptr) break;
        const uint32_t entry_id = get32(view + 2);
        if (entry_id == id) {
            std::memset(entry, 0, entry_buffer_size);
            std::memcpy(entry, view, length);
            if (!remove && entry_fits(length, stored)) {
                put_name(entry, name, stored);
                done = true;
            } else {
                std::memset(entry + 2, 0, length - 2);  // a free entry keeps its length
                --count;
                done = remove;
            }
            index_ref(bucket).write_exactly_at(offset, entry, length);
        } else if (entry_id == 0 && !remove && entry_fits(length, stored)) {
            free_offset = offset;  // the last fitting free entry wins
            free_length = length;
        }
    }
    if (!remove && !done) {
        uint64_t target = free_offset;
        uint32_t target_length = free_length;
        if (free_length == 0) {
            target = size;
            target_length = new_entry_length(*ctx.db, stored);
        }
        std::memset(entry, 0, entry_buffer_size);
        put16(entry, static_cast<uint16_t>(target_length));
        put32(entry + 2, id);
        put_name(entry, name, stored);
        index_ref(bucket).write_exactly_at(target, entry, target_length);
        ++count;
    }
    if (count != original_count) write_bucket_header(bucket, count);
    flush_file(*ctx.db, bucket);
    if (new_bucket) flush_parent(*ctx.db, bucket.path);
}

}  // namespace

bool name_index_on(const odb_database& db) { return db.name_index_enabled.load() != 0; }

uint32_t name_hash(const odb_obj_ctx& ctx, const WCHAR* name) {
    uint32_t sum = 0;
    for (; *name != 0; ++name) sum += fold_ascii(static_cast<uint16_t>(*name));
    return ctx.bucket_count == 0 ? 0 : sum % ctx.bucket_count;
}

bool open_current_index(odb_obj_ctx& ctx, named_file& header) noexcept {
    try {
        const uint32_t now = seconds_since_1992_now();
        header = open_index_file(ctx, header_bucket, false);
        unsigned char bytes[index_header_size];
        if (index_ref(header).read(bytes, index_header_size) == index_header_size) {
            const uint32_t built = get32(bytes + 4), buckets = get32(bytes + 8);
            if (get32(bytes) == name_index_magic && buckets != 0 && buckets <= 256 &&
                (ctx.db->lifetime == 0 || now <= built + ctx.db->lifetime)) {
                ctx.bucket_count = buckets;
                return true;
            }
        }
    } catch (...) {
    }
    // Let go: the rebuild that follows needs names.dat for itself.
    header.handle.reset();
    return false;
}

bool rebuild_name_index(odb_obj_ctx& ctx, uint32_t* total) noexcept {
    odb_database& db = *ctx.db;
    named_file header;
    // Up to 256 files open at once, each with its name: too much for a stack.
    std::unique_ptr<named_file[]> buckets;
    uint32_t counts[256] = {};
    try {
        header = open_index_file(ctx, header_bucket, true);
        ctx.bucket_count = db.hash_count;
        buckets.reset(new named_file[ctx.bucket_count]);
        // Invalid until the rebuild completes.
        const unsigned char zeros[index_header_size] = {};
        index_ref(header).write_exactly(zeros, index_header_size);
        // The index is invalid on disk before any bucket changes, and every
        // bucket is complete on disk before the header makes it valid.
        flush_file(db, header);
        for (uint32_t b = 0; b < ctx.bucket_count; ++b) {
            buckets[b] = open_emptied_bucket(ctx, static_cast<int>(b));
            write_bucket_header(buckets[b], 0);
        }
        visit_objects(db, ctx.cls, ODB_ENUM_LIVE, [&](uint32_t id) {
            WCHAR name[name_units] = {};
            try {
                read_object_name(ctx, id, name);
            } catch (odb_status status) {
                // An object whose record file is damaged has no name to
                // give, now or later; failing the rebuild for it would leave
                // the whole class without an index for good. Any other
                // failure (a lock held) passes, and the next use tries again.
                if (status != ODB_E_BAD_HEADER && status != ODB_E_UNSUPPORTED_VERSION) throw;
                for (WCHAR& unit : name) unit = 0;
            }
            name[name_units - 1] = 0;
            const uint32_t b = name_hash(ctx, name);
            const stored_name stored = measure(name);
            const uint32_t length = new_entry_length(db, stored);
            unsigned char entry[entry_buffer_size] = {};
            put16(entry, static_cast<uint16_t>(length));
            put32(entry + 2, id);
            put_name(entry, name, stored);
            index_ref(buckets[b]).write_exactly(entry, length);
            ++counts[b];
        });
        for (uint32_t b = 0; b < ctx.bucket_count; ++b) {
            write_bucket_header(buckets[b], counts[b]);
            flush_file(db, buckets[b]);
            buckets[b].handle.reset();
        }
        flush_parent(db, header.path);
        unsigned char bytes[index_header_size];
        put32(bytes, name_index_magic);
        put32(bytes + 4, seconds_since_1992_now());
        put32(bytes + 8, db.hash_count);
        index_ref(header).write_exactly_at(0, bytes, index_header_size);
        flush_file(db, header);
        if (total != nullptr) {
            *total = 0;
            for (uint32_t b = 0; b < ctx.bucket_count; ++b) *total += counts[b];
        }
        return true;
    } catch (...) {
        header.handle.reset();
        buckets.reset();
        DeleteFileW(index_file_path(ctx, header_bucket));
        for (uint32_t b = 0; b < db.hash_count; ++b)
            DeleteFileW(index_file_path(ctx, static_cast<int>(b)));
        return false;
    }
}

void update_name_index(odb_obj_ctx& ctx, uint32_t id, const WCHAR* name, bool remove) noexcept {
    try {
        update_bucket(ctx, id, name, remove, false);
    } catch (...) {
        reset_name_index(ctx);
        ctx.db->name_index_enabled = 0;
    }
}

void update_unnamed_entry(odb_obj_ctx& ctx, uint32_t id, bool remove, bool new_object) noexcept {
    static const WCHAR empty_name[1] = {0};
    try {
        update_bucket(ctx, id, empty_name, remove, true, new_object);
    } catch (...) {
        reset_name_index(ctx);
        ctx.db->name_index_enabled = 0;
    }
}

void reset_name_index(odb_obj_ctx& ctx) noexcept {
    try {
        const named_file header = open_index_file(ctx, header_bucket, true);
        // Invalid first: a header that still read as valid over deleted
        // buckets would answer lookups wrongly.
        const unsigned char zeros[index_header_size] = {};
        index_ref(header).write_exactly(zeros, index_header_size);
        flush_file(*ctx.db, header);
        for (uint32_t b = 0; b < ctx.bucket_count && b < 256; ++b)
            DeleteFileW(index_file_path(ctx, static_cast<int>(b)));
        flush_parent(*ctx.db, header.path);
    } catch (...) {
    }
}

uint32_t find_name(odb_obj_ctx& ctx, const WCHAR* name, named_file& header) {
    if (!header.handle) {
        header = open_index_file(ctx, header_bucket, false);
        read_index_header(ctx, header);
    }
    const named_file bucket = open_index_file(ctx, static_cast<int>(name_hash(ctx, name)), false);
    const uint64_t size = bucket_size(bucket);
    if (size == 0) raise(ODB_E_NAME_NOT_INDEXED);
    entry_scanner scanner(bucket, size);
    scanner.header_count();

    // Entries are compared where they lie in the scanner's window, never
    // copied: a lookup in a large bucket visits thousands of them. An entry
    // matches when its field holds the name's units (A to Z folded) and then
    // a terminator, or ends right after them (its last whole unit counts as
    // the terminator, whatever it held). Names longer than an entry's field
    // were stored cut, with no terminator, and match nothing. So the entry's
    // length alone passes over those too short, and the rest are compared
    // from the terminator back: names that share a bucket differ at their
    // ends more often than at their starts ("object-17", "object-71").
    const std::size_t length_wanted = wide_length(name);
    const bool matchable = length_wanted <= longest_indexed_name;
    const uint32_t units = matchable ? static_cast<uint32_t>(length_wanted) : 0;
    uint16_t folded[longest_indexed_name];
    for (uint32_t i = 0; i < units; ++i) folded[i] = static_cast<uint16_t>(fold_ascii(name[i]));
    uint32_t found = 0;
    const bool matched = scanner.each_entry(bucket_header_size, [&](const unsigned char* entry,
                                                                    uint32_t length) {
        const uint32_t last = (length - 8) / 2;
        if (!matchable || last < units) return false;
        const unsigned char* field = entry + 6;
        if (units < last && get16(field + 2 * units) != 0) return false;
        uint32_t i = units;
        while (i > 0 && fold_ascii(get16(field + 2 * (i - 1))) == folded[i - 1]) --i;
        if (i != 0) return false;
        found = get32(entry + 2);
        return true;
    });
    if (!matched) raise(ODB_E_NAME_NOT_INDEXED);
    return found;
}

uint32_t count_by_index(odb_obj_ctx& ctx) {
    // names.dat, once checked, stays open for the count: lock order wants
    // it held while the buckets are read, and opening it again would only
    // read the same header twice. A rebuild wrote every bucket's count
    // itself: reading them back would give the same sum.
    named_file header;
    if (!open_current_index(ctx, header)) {
        uint32_t rebuilt = 0;
        if (rebuild_name_index(ctx, &rebuilt)) return rebuilt;
        header = open_index_file(ctx, header_bucket, false);
        read_index_header(ctx, header);
    }
    uint32_t sum = 0;
    for (uint32_t b = 0; b < ctx.bucket_count; ++b) {
        const named_file bucket = open_index_file(ctx, static_cast<int>(b), false);
        // A bucket too short for its header counts nothing, as an empty one.
        if (index_ref(bucket).size() >= bucket_header_size) sum += read_bucket_header(bucket);
    }
    return sum;
}

}  // namespace odb
