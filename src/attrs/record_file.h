// A file of numbered variable-length records behind a "QFDB" header: the
// storage of an object's attributes in the single-file form (ATTRIBS.FDB).
//
// Layout, little-endian:
//   file header, 8 bytes:  magic[4] "QFDB", header_size u16 (8), version u16 (0x0100)
//   then records back to back from header_size to the end of the file:
//   record header, 28 bytes: id u32 (0 = free), capacity u32, length u32,
//                            created FILETIME, modified FILETIME
//   data area of capacity bytes: the value's length bytes, then slack.
//
// The class knows nothing of objects; its users build the path. It holds one open file and one current record, and is used for the
// length of one operation only.
#pragma once

#include <cstdint>

#include "core/disk_format.h"
#include "core/file_io.h"
#include "core/path_buffer.h"
#include "platform/win32.h"

struct odb_database;

namespace odb {

struct record_header {
    uint32_t id;
    uint32_t capacity;
    uint32_t length;
    FILETIME created;
    FILETIME modified;
};

constexpr uint32_t record_header_size = disk::record_header_size;
constexpr uint32_t file_header_size = disk::record_file_header_size;

// Search keys: (id, 0) one id; (0, 0) free records; (0xFFFFFFFF, 0) every
// record; (low, high) with high != 0 every id in low..high.
constexpr uint32_t match_every_record = 0xFFFFFFFFu;

class record_file {
public:
    record_file() = default;
    record_file(const record_file&) = delete;
    record_file& operator=(const record_file&) = delete;
    ~record_file() { close(); }

    // Flushes for this database (core/durability.h) from now on: the
    // file's bytes before the rename that publishes it, before the id that
    // makes a record visible, before the old copy of a moved value is
    // freed, and wherever flush() is called. Without it, none.
    void flush_for(const odb_database& db) { db_ = &db; }
    // Puts what was written since the last flush on stable storage, when
    // the database asks for it. ODB_E_FILE_WRITE when refused.
    void flush();

    // A new, empty file (header only), replacing one of that name.
    // ODB_E_FILE_CREATE when it cannot be created; a header that cannot be
    // written deletes the file again. With `fresh`, for a directory the
    // caller has just made, where no such file can be: one open creates
    // it (one found there all the same is replaced as without).
    // `flags` is CreateFileW's dwFlagsAndAttributes.
    void create(const WCHAR* path, DWORD flags = FILE_ATTRIBUTE_NORMAL, bool fresh = false);
    // Closes a file built under a temporary name and gives it its real
    // name, which must not exist yet: until then a crash leaves a stray
    // temporary file, never a half-built record file in use. On failure
    // the temporary file is deleted and ODB_E_FILE_CREATE raised.
    void publish(const WCHAR* temporary, const WCHAR* path);
    // True when the file holds at least one record, which is then current.
    // ODB_E_BAD_HEADER for a file without the magic or with a header size
    // below 8, ODB_E_UNSUPPORTED_VERSION for a major version above 1.
    // With `missing`, a file that is not there (nor the directory it would
    // be in) is no failure: *missing is set and the answer is false.
    bool open(const WCHAR* path, bool read_only, DWORD flags = FILE_ATTRIBUTE_NORMAL,
              bool* missing = nullptr);
    // open() and find_first(key, 0) in one: true when the file holds a
    // record of the key, which is then current.
    bool open_at(const WCHAR* path, bool read_only, uint32_t key,
                 DWORD flags = FILE_ATTRIBUTE_NORMAL, bool* missing = nullptr);
    void close() noexcept;
    bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }

    bool find_first(uint32_t key, uint32_t key_high);
    bool find_next(uint32_t key, uint32_t key_high);
    void seek_record(uint64_t offset);

    uint64_t record_offset() const;
    uint32_t record_id() const;
    uint32_t record_length() const;
    uint32_t record_capacity() const;
    void record_times(FILETIME* created, FILETIME* modified) const;

    uint32_t read_data(void* buffer, uint32_t size);
    void write_data_at(uint32_t position, const void* data, uint32_t size);
    void replace_data(const void* data, uint32_t size);
    // Appends a record (first fit after compaction), written free and
    // given its id last; with commit false the id is left to commit_record.
    void append_record(uint32_t id, const void* data, uint32_t size, const FILETIME* created,
                       const FILETIME* modified, bool commit = true);
    // Gives the current record its id: the one write that makes it visible.
    void commit_record(uint32_t id);
    // Frees every later record with the current record's id (left by a
    // moving rewrite that failed or was cut short between giving the new
    // copy its id and freeing the old one); the current record stays current.
    void delete_duplicates();
    void delete_record();
    // Merges runs of free records and cuts free records (and any damaged
    // tail) off the end of the file; leaves the first record current.
    bool compact();

private:
    void require_open() const;
    file_ref file() const;
    // file() for a change: what it writes is flushed by the next flush().
    file_ref writer();
    void zero_fill(uint64_t offset, uint32_t count);
    void copy_range(uint64_t source, uint64_t destination, uint32_t count);
    // Ends a moving rewrite: the value now lives in the copy just made
    // current, and the old copy at `old_offset` is freed.
    void free_old_copy(uint64_t old_offset);
    void write_header(uint64_t offset, const record_header& header);
    bool read_record_header(uint64_t offset, uint64_t size, record_header& header);
    uint64_t chain_end();
    static void fill_header(record_header& out, uint32_t id, uint32_t capacity, uint32_t length,
                            const FILETIME* created, const FILETIME* modified);

    char magic_[4] = {};
    uint16_t header_size_ = 0;
    uint16_t version_ = 0;
    record_header current_ = {};
    uint64_t current_offset_ = 0;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    const odb_database* db_ = nullptr;
    bool written_ = false;  // since the last flush
    // What the searches since the last find_first have seen, as long as no
    // write or seek came between: every record from the first on (walked),
    // any of them free (free_seen). packed_: such a walk reached the end of
    // the file exactly with no free record and no damage, so an append has
    // nothing to compact and no free area to fill; it goes at the end.
    bool walked_ = false;
    bool free_seen_ = false;
    bool packed_ = false;
    // The file's first bytes, read by open() in one read: the headers and
    // values of a small file are taken from here rather than read one by
    // one. No other handle can change the file while this one holds it;
    // a write of its own empties it (head_size_ 0).
    unsigned char head_[512] = {};
    uint32_t head_size_ = 0;
    path_buffer path_;  // kept only while failures are traced, to name the file
};

}  // namespace odb
