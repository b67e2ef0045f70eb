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

#include "attrs/attribute_io.h"
#include "core/clock.h"
#include "core/database.h"
#include "core/durability.h"
#include "core/retrying_open.h"
#include "core/tree_ops.h"
#include "core/wide_text.h"
#include "platform/handle.h"
#include "store/class_walk.h"
#include "store/context.h"
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

void put32(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t get32(const unsigned char* in) {
    return in[0] | (in[1] << 8) | (in[2] << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

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

file_handle open_index_file(const odb_obj_ctx& ctx, int bucket, bool write) {
    const odb_database& db = *ctx.db;
    const path_buffer path = index_file_path(ctx, bucket);
    DWORD access = GENERIC_READ | GENERIC_WRITE, share = 0, disposition = OPEN_ALWAYS;
    if (probe_path(path) != 0) {
        // Reading a missing index file creates it empty.
        make_directory(class_path(db.root, ctx.cls));
    } else if (!write) {
        access = GENERIC_READ;
        share = FILE_SHARE_READ;
        disposition = OPEN_EXISTING;
    }
    return open_retrying(path, access, share, disposition,
                         {db.index_lock_timeout, db.index_lock_sleep},
                         {ODB_E_INDEX_LOCK_TIMEOUT, ODB_E_FILE_ACCESS, ODB_E_FILE_ACCESS});
}

void seek_to(HANDLE file, uint64_t offset) {
    LONG high = static_cast<LONG>(offset >> 32);
    SetLastError(ERROR_SUCCESS);
    if (SetFilePointer(file, static_cast<LONG>(offset), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        GetLastError() != ERROR_SUCCESS)
        raise(ODB_E_FILE_ACCESS);
}

void read_exactly(HANDLE file, void* buffer, DWORD count) {
    DWORD read = 0;
    if (!ReadFile(file, buffer, count, &read, nullptr) || read != count) raise(ODB_E_FILE_ACCESS);
}

void write_exactly(HANDLE file, const void* buffer, DWORD count) {
    DWORD written = 0;
    if (!WriteFile(file, buffer, count, &written, nullptr) || written != count)
        raise(ODB_E_FILE_WRITE);
}

void write_bucket_header(HANDLE file, uint32_t count) {
    unsigned char header[bucket_header_size];
    put32(header, name_index_magic);
    put32(header + 4, count);
    seek_to(file, 0);
    write_exactly(file, header, bucket_header_size);
}

// The bucket file's size, which must be 0 or hold a whole header.
uint64_t bucket_size(HANDLE file) {
    DWORD high = 0;
    SetLastError(ERROR_SUCCESS);
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) raise(ODB_E_FILE_ACCESS);
    uint64_t size = (static_cast<uint64_t>(high) << 32) | low;
    if (size > 0 && size < bucket_header_size) raise(ODB_E_FILE_ACCESS);
    return size;
}

uint32_t read_bucket_header(HANDLE file) {
    unsigned char header[bucket_header_size];
    seek_to(file, 0);
    read_exactly(file, header, bucket_header_size);
    if (get32(header) != name_index_magic) raise(ODB_E_FILE_ACCESS);
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
    for (uint32_t i = 0; i < stored.units; ++i) {
        entry[6 + 2 * i] = static_cast<unsigned char>(name[i]);
        entry[7 + 2 * i] = static_cast<unsigned char>(name[i] >> 8);
    }
    if (stored.units < cut_name_units) {
        entry[6 + 2 * stored.units] = 0;
        entry[7 + 2 * stored.units] = 0;
    }
}

// Reads the entries of a bucket file through one window, so a scan costs a
// few large reads instead of two small ones per entry.
class entry_scanner {
public:
    entry_scanner(HANDLE file, uint64_t size) : file_(file), size_(size) {}

    // The entry at offset, in place in the window; null when fewer than 8
    // bytes remain. An entry length below 8 or above 263 is damage and
    // raises ODB_E_FILE_ACCESS.
    const unsigned char* view_at(uint64_t offset, uint32_t& length) {
        if (size_ - offset < 8) return nullptr;
        const unsigned char* head = bytes(offset, 8);
        length = static_cast<uint32_t>(head[0] | (head[1] << 8));
        if (length >= entry_buffer_size || length < 8) raise(ODB_E_FILE_ACCESS);
        return bytes(offset, length);
    }

private:
    const unsigned char* bytes(uint64_t offset, uint32_t count) {
        if (offset < start_ || offset + count > start_ + filled_) {
            seek_to(file_, offset);
            DWORD read = 0;
            if (!ReadFile(file_, window_, sizeof window_, &read, nullptr)) raise(ODB_E_FILE_ACCESS);
            start_ = offset;
            filled_ = read;
            if (filled_ < count) raise(ODB_E_FILE_ACCESS);
        }
        return window_ + (offset - start_);
    }

    HANDLE file_;
    uint64_t size_;
    uint64_t start_ = 0;
    uint32_t filled_ = 0;
    unsigned char window_[65536];
};

bool entry_fits(uint32_t length, const stored_name& stored) {
    return length >= stored.needed_length;
}

// False for a header that is short, unreadable or invalid; otherwise sets
// the context's bucket count.
bool take_index_header(odb_obj_ctx& ctx, HANDLE file) {
    unsigned char header[index_header_size];
    DWORD read = 0;
    if (!ReadFile(file, header, index_header_size, &read, nullptr) || read != index_header_size)
        return false;
    const uint32_t buckets = get32(header + 8);
    // A bucket count the index never writes is damage, like a wrong magic.
    if (get32(header) != name_index_magic || buckets == 0 || buckets > 256) return false;
    ctx.bucket_count = buckets;
    return true;
}

void read_index_header(odb_obj_ctx& ctx, HANDLE file) {
    if (!take_index_header(ctx, file)) raise(ODB_E_FILE_ACCESS);
}

// The object's name as the index keeps it: the first 514 bytes of its name
// attribute as text, or the empty name.
void read_object_name(odb_obj_ctx& ctx, uint32_t id, WCHAR* name) {
    std::unique_ptr<odb_obj_ctx, context_closer> object(
        create_context(*ctx.db, ctx.cls, id, ctx.mode | ODB_MODE_READ));
    read_object_name_attribute(*object, name);
}

// With only_if_indexed, a missing or invalid names.dat ends the update
// before anything is written; otherwise it is damage.
void update_bucket(odb_obj_ctx& ctx, uint32_t id, const WCHAR* name, bool remove,
                   bool only_if_indexed) {
    if (only_if_indexed && probe_path(index_file_path(ctx, header_bucket)) != 0) return;
    file_handle header = open_index_file(ctx, header_bucket, false);
    if (!take_index_header(ctx, header.get())) {
        if (only_if_indexed) return;
        raise(ODB_E_FILE_ACCESS);
    }
    const stored_name stored = measure(name);
    file_handle bucket = open_index_file(ctx, static_cast<int>(name_hash(ctx, name)), true);

    uint64_t size = bucket_size(bucket.get());
    const bool new_bucket = size == 0;
    uint32_t count = 0;
    if (size == 0) {
        write_bucket_header(bucket.get(), 0);
        size = bucket_header_size;
    } else {
        count = read_bucket_header(bucket.get());
    }
    const uint32_t original_count = count;

    entry_scanner scanner(bucket.get(), size);
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
            seek_to(bucket.get(), offset);
            write_exactly(bucket.get(), entry, length);
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
        entry[0] = static_cast<unsigned char>(target_length);
        entry[1] = static_cast<unsigned char>(target_length >> 8);
        put32(entry + 2, id);
        put_name(entry, name, stored);
        seek_to(bucket.get(), target);
        write_exactly(bucket.get(), entry, target_length);
        ++count;
    }
    if (count != original_count) write_bucket_header(bucket.get(), count);
    flush_file(*ctx.db, bucket.get());
    if (new_bucket) flush_parent(*ctx.db, index_file_path(ctx, header_bucket));
}

}  // namespace

bool name_index_on(const odb_database& db) { return db.name_index_enabled.load() != 0; }

uint32_t name_hash(const odb_obj_ctx& ctx, const WCHAR* name) {
    uint32_t sum = 0;
    for (; *name != 0; ++name) sum += fold_ascii(static_cast<uint16_t>(*name));
    return ctx.bucket_count == 0 ? 0 : sum % ctx.bucket_count;
}

bool check_name_index(odb_obj_ctx& ctx) noexcept {
    try {
        const uint32_t now = seconds_since_1992_now();
        file_handle header = open_index_file(ctx, header_bucket, false);
        unsigned char bytes[index_header_size];
        DWORD read = 0;
        if (!ReadFile(header.get(), bytes, index_header_size, &read, nullptr) ||
            read != index_header_size)
            return false;
        const uint32_t built = get32(bytes + 4), buckets = get32(bytes + 8);
        if (get32(bytes) != name_index_magic || buckets == 0 || buckets > 256) return false;
        if (ctx.db->lifetime != 0 && now > built + ctx.db->lifetime) return false;
        ctx.bucket_count = buckets;
        return true;
    } catch (...) {
        return false;
    }
}

void rebuild_name_index(odb_obj_ctx& ctx) noexcept {
    odb_database& db = *ctx.db;
    file_handle header;
    file_handle buckets[256];
    uint32_t counts[256] = {};
    try {
        header = open_index_file(ctx, header_bucket, true);
        ctx.bucket_count = db.hash_count;
        // Invalid until the rebuild completes.
        const unsigned char zeros[index_header_size] = {};
        write_exactly(header.get(), zeros, index_header_size);
        // The index is invalid on disk before any bucket changes, and every
        // bucket is complete on disk before the header makes it valid.
        flush_file(db, header.get());
        for (uint32_t b = 0; b < ctx.bucket_count; ++b) {
            DeleteFileW(index_file_path(ctx, static_cast<int>(b)));
            buckets[b] = open_index_file(ctx, static_cast<int>(b), true);
            write_bucket_header(buckets[b].get(), 0);
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
            entry[0] = static_cast<unsigned char>(length);
            entry[1] = static_cast<unsigned char>(length >> 8);
            put32(entry + 2, id);
            put_name(entry, name, stored);
            write_exactly(buckets[b].get(), entry, length);
            ++counts[b];
        });
        for (uint32_t b = 0; b < ctx.bucket_count; ++b) {
            write_bucket_header(buckets[b].get(), counts[b]);
            flush_file(db, buckets[b].get());
            buckets[b].reset();
        }
        flush_parent(db, index_file_path(ctx, header_bucket));
        unsigned char bytes[index_header_size];
        put32(bytes, name_index_magic);
        put32(bytes + 4, seconds_since_1992_now());
        put32(bytes + 8, db.hash_count);
        seek_to(header.get(), 0);
        write_exactly(header.get(), bytes, index_header_size);
        flush_file(db, header.get());
    } catch (...) {
        header.reset();
        DeleteFileW(index_file_path(ctx, header_bucket));
        for (uint32_t b = 0; b < db.hash_count; ++b) {
            buckets[b].reset();
            DeleteFileW(index_file_path(ctx, static_cast<int>(b)));
        }
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

void update_unnamed_entry(odb_obj_ctx& ctx, uint32_t id, bool remove) noexcept {
    static const WCHAR empty_name[1] = {0};
    try {
        update_bucket(ctx, id, empty_name, remove, true);
    } catch (...) {
        reset_name_index(ctx);
        ctx.db->name_index_enabled = 0;
    }
}

void reset_name_index(odb_obj_ctx& ctx) noexcept {
    try {
        file_handle header = open_index_file(ctx, header_bucket, true);
        // Invalid first: a header that still read as valid over deleted
        // buckets would answer lookups wrongly.
        const unsigned char zeros[index_header_size] = {};
        write_exactly(header.get(), zeros, index_header_size);
        flush_file(*ctx.db, header.get());
        for (uint32_t b = 0; b < ctx.bucket_count && b < 256; ++b)
            DeleteFileW(index_file_path(ctx, static_cast<int>(b)));
        flush_parent(*ctx.db, index_file_path(ctx, header_bucket));
    } catch (...) {
    }
}

uint32_t find_name(odb_obj_ctx& ctx, const WCHAR* name) {
    file_handle header = open_index_file(ctx, header_bucket, false);
    read_index_header(ctx, header.get());
    file_handle bucket = open_index_file(ctx, static_cast<int>(name_hash(ctx, name)), false);
    const uint64_t size = bucket_size(bucket.get());
    if (size == 0) raise(ODB_E_NAME_NOT_INDEXED);
    read_bucket_header(bucket.get());

    // Entries are compared where they lie in the scanner's window, never
    // copied: a lookup in a large bucket visits thousands of them.
    entry_scanner scanner(bucket.get(), size);
    uint32_t length = 0;
    for (uint64_t offset = bucket_header_size;; offset += length) {
        const unsigned char* entry = scanner.view_at(offset, length);
        if (entry == nullptr) break;
        // The entry's last whole unit is its terminator, whatever it held.
        const uint32_t last = (length - 8) / 2;
        uint32_t i = 0;
        for (;; ++i) {
            const uint32_t stored = i == last ? 0 : entry[6 + 2 * i] | (entry[7 + 2 * i] << 8);
            const uint32_t wanted = static_cast<uint16_t>(name[i]);
            if (stored != wanted && fold_ascii(stored) != fold_ascii(wanted)) break;
            if (stored == 0) {
                if (i <= longest_indexed_name) return get32(entry + 2);
                break;
            }
        }
    }
    raise(ODB_E_NAME_NOT_INDEXED);
}

uint32_t count_by_index(odb_obj_ctx& ctx) {
    if (!check_name_index(ctx)) rebuild_name_index(ctx);
    file_handle header = open_index_file(ctx, header_bucket, false);
    read_index_header(ctx, header.get());
    uint32_t sum = 0;
    for (uint32_t b = 0; b < ctx.bucket_count; ++b) {
        file_handle bucket = open_index_file(ctx, static_cast<int>(b), false);
        DWORD high = 0;
        SetLastError(ERROR_SUCCESS);
        const DWORD size = GetFileSize(bucket.get(), &high);
        if (size == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) raise(ODB_E_FILE_ACCESS);
        if (size >= bucket_header_size || high != 0) sum += read_bucket_header(bucket.get());
    }
    return sum;
}

}  // namespace odb
