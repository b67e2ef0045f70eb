#include "attrs/record_file.h"

#include <cstring>

#include "core/disk_format.h"
#include "core/durability.h"
#include "core/failure_trace.h"
#include "core/file_io.h"
#include "core/status.h"

namespace odb {

namespace {

FILETIME now_as_filetime() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME result = {};
    SystemTimeToFileTime(&now, &result);
    return result;
}

// A range whose high end lies below its key still finds the key itself.
bool key_matches(uint32_t id, uint32_t key, uint32_t key_high) {
    if (key == match_every_record || id == key) return true;
    return key_high != 0 && key <= id && id <= key_high;
}

}  // namespace

void record_file::require_open() const {
    if (handle_ == INVALID_HANDLE_VALUE) raise(ODB_E_INVALID_CONTEXT);
}

file_ref record_file::file() const {
    return {handle_, path_, record_file_failures};
}

file_ref record_file::writer() {
    written_ = true;
    walked_ = packed_ = false;
    head_size_ = 0;
    return file();
}

void record_file::zero_fill(uint64_t offset, uint32_t count) {
    // A rewrite at offset 0 keeps the capacity and clears what follows, so
    // large areas are zeroed: 64 KiB per write keeps that to a few calls.
    // Zero-initialised static storage, never written: no stack, no heap.
    static unsigned char zeros[64 * 1024];
    while (count > 0) {
        uint32_t block = count < sizeof zeros ? count : static_cast<uint32_t>(sizeof zeros);
        writer().write_exactly_at(offset, zeros, block);
        offset += block;
        count -= block;
    }
}

void record_file::copy_range(uint64_t source, uint64_t destination, uint32_t count) {
    unsigned char block[1024];
    while (count > 0) {
        uint32_t size = count < sizeof block ? count : static_cast<uint32_t>(sizeof block);
        // The source lies inside a record the file holds whole, so every
        // byte is there: a short read is a failure, never zeros to copy.
        file().read_exactly_at(source, block, size);
        writer().write_exactly_at(destination, block, size);
        source += size;
        destination += size;
        count -= size;
    }
}

void record_file::write_header(uint64_t offset, const record_header& header) {
    unsigned char bytes[record_header_size];
    put32(bytes, header.id);
    put32(bytes + 4, header.capacity);
    put32(bytes + 8, header.length);
    put32(bytes + 12, header.created.dwLowDateTime);
    put32(bytes + 16, header.created.dwHighDateTime);
    put32(bytes + 20, header.modified.dwLowDateTime);
    put32(bytes + 24, header.modified.dwHighDateTime);
    writer().write_exactly_at(offset, bytes, record_header_size);
}

// A header that the end of the file cuts short, or whose data area runs
// past the end, is damage (a crash in the middle of an append): the chain
// is taken to end before it.
bool record_file::read_record_header(uint64_t offset, uint64_t size, record_header& header) {
    if (offset + record_header_size > size) return false;
    unsigned char bytes[record_header_size] = {};
    // The size says the header is there: a read that comes back short is a
    // failed read, not the damaged end of the chain, which compaction would
    // cut off together with every record behind it.
    if (offset + record_header_size <= head_size_)
        std::memcpy(bytes, head_ + offset, record_header_size);
    else
        file().read_exactly_at(offset, bytes, record_header_size);
    header.id = get32(bytes);
    header.capacity = get32(bytes + 4);
    header.length = get32(bytes + 8);
    header.created = {get32(bytes + 12), get32(bytes + 16)};
    header.modified = {get32(bytes + 20), get32(bytes + 24)};
    if (offset + record_header_size + header.capacity > size) return false;
    // A length beyond the data area can only come from damage; the value
    // never reads past its own area.
    if (header.length > header.capacity) header.length = header.capacity;
    return true;
}

void record_file::fill_header(record_header& out, uint32_t id, uint32_t capacity,
                              uint32_t length, const FILETIME* created,
                              const FILETIME* modified) {
    out = {};
    out.id = id;
    out.capacity = capacity;
    out.length = length;
    out.created = out.modified = now_as_filetime();
    if (created != nullptr) out.created = *created;
    if (modified != nullptr) out.modified = *modified;
}

void record_file::create(const WCHAR* path, DWORD flags, bool fresh) {
    close();
    std::memcpy(magic_, disk::record_magic, sizeof magic_);
    header_size_ = file_header_size;
    version_ = disk::record_version;
    if (tracing()) path_ = path_buffer(path);
    handle_ = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          fresh ? CREATE_NEW : CREATE_ALWAYS, flags, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE && fresh && GetLastError() == ERROR_FILE_EXISTS)
        handle_ = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              flags, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        note_failure("create", path, GetLastError());
        raise(ODB_E_FILE_CREATE);
    }
    unsigned char header[file_header_size];
    std::memcpy(header, magic_, 4);
    put16(header + 4, header_size_);
    put16(header + 6, version_);
    try {
        writer().write_exactly_at(0, header, file_header_size);
    } catch (odb_status) {
        close();
        DeleteFileW(path);
        throw;
    }
}

void record_file::publish(const WCHAR* temporary, const WCHAR* path) {
    try {
        flush();
    } catch (odb_status) {
        close();
        DeleteFileW(temporary);
        throw;
    }
    close();
    if (!MoveFileW(temporary, path)) {
        note_failure("rename to", path, GetLastError());
        DeleteFileW(temporary);
        raise(ODB_E_FILE_CREATE);
    }
    if (db_ != nullptr) flush_parent(*db_, path);
}

void record_file::flush() {
    if (db_ == nullptr || !written_ || handle_ == INVALID_HANDLE_VALUE) return;
    flush_file(*db_, handle_, path_);
    written_ = false;
}

bool record_file::open(const WCHAR* path, bool read_only, DWORD flags, bool* missing) {
    close();
    DWORD access = read_only ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    if (tracing()) path_ = path_buffer(path);
    handle_ = CreateFileW(path, access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (missing != nullptr && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
            *missing = true;
            return false;
        }
        note_failure("open", path, GetLastError());
        raise(ODB_E_FILE_ACCESS);
    }
    try {
        const unsigned char* header = head_;
        std::memset(head_, 0, file_header_size);
        head_size_ = file().read_at(0, head_, sizeof head_);
        // Only a file too short for a header has a bad one; a read that
        // comes back short from a longer file failed, and must not pass
        // for damage (a rebuilt name index would drop the object's name).
        if (head_size_ < file_header_size && file().size() >= file_header_size) {
            note_failure("read", path, ERROR_HANDLE_EOF);
            raise(ODB_E_ATTRIBUTE_READ);
        }
        std::memcpy(magic_, header, 4);
        header_size_ = get16(header + 4);
        version_ = get16(header + 6);
        if (std::memcmp(magic_, disk::record_magic, sizeof magic_) != 0) {
            note_damage("read", path, "not a record file (wrong magic)");
            raise(ODB_E_BAD_HEADER);
        }
        if (header_size_ < file_header_size) {
            note_damage("read", path, "damaged header (size below 8)");
            raise(ODB_E_BAD_HEADER);
        }
        if ((version_ >> 8) > 1) {
            note_damage("read", path, "unsupported version");
            raise(ODB_E_UNSUPPORTED_VERSION);
        }
        return find_first(match_every_record, 0);
    } catch (odb_status) {
        close();
        throw;
    }
}

void record_file::close() noexcept {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    written_ = false;
    walked_ = packed_ = false;
    head_size_ = 0;
}

bool record_file::find_first(uint32_t key, uint32_t key_high) {
    require_open();
    const uint64_t size = file().size();
    walked_ = true;
    free_seen_ = false;
    packed_ = size == header_size_;
    if (size <= header_size_) return false;
    current_offset_ = 0;
    current_.capacity = 0;
    return find_next(key, key_high);
}

bool record_file::find_next(uint32_t key, uint32_t key_high) {
    require_open();
    uint64_t position = current_offset_ == 0
                            ? header_size_
                            : current_offset_ + record_header_size + current_.capacity;
    const uint64_t size = file().size();
    record_header header;
    while (position < size && read_record_header(position, size, header)) {
        free_seen_ |= header.id == 0;
        if (key_matches(header.id, key, key_high)) {
            current_offset_ = position;
            current_ = header;
            return true;
        }
        position += record_header_size + header.capacity;
    }
    packed_ = walked_ && !free_seen_ && position == size;
    return false;
}

void record_file::seek_record(uint64_t offset) {
    require_open();
    // Offsets come from record_offset(). A stale one (the file changed in
    // between) yields an empty header, so a walk goes on from there rather
    // than trusting bytes that are not a header.
    if (offset < header_size_) offset = header_size_;
    walked_ = packed_ = false;
    record_header header = {};
    if (!read_record_header(offset, file().size(), header)) header = {};
    current_ = header;
    current_offset_ = offset;
}

uint64_t record_file::record_offset() const {
    require_open();
    return current_offset_;
}

uint32_t record_file::record_id() const {
    require_open();
    return current_.id;
}

uint32_t record_file::record_length() const {
    require_open();
    return current_.length;
}

uint32_t record_file::record_capacity() const {
    require_open();
    return current_.capacity;
}

void record_file::record_times(FILETIME* created, FILETIME* modified) const {
    require_open();
    if (created != nullptr) *created = current_.created;
    if (modified != nullptr) *modified = current_.modified;
}

uint32_t record_file::read_data(void* buffer, uint32_t size) {
    require_open();
    uint32_t count = size < current_.length ? size : current_.length;
    // The value lies inside the file (its header was checked against the
    // size), so a short read is a failure, not a shorter value.
    const uint64_t start = current_offset_ + record_header_size;
    if (start + count <= head_size_) {
        if (count > 0) std::memcpy(buffer, head_ + start, count);
    } else {
        file().read_exactly_at(start, buffer, count);
    }
    return count;
}

uint64_t record_file::chain_end() {
    const uint64_t size = file().size();
    uint64_t position = header_size_;
    record_header header;
    while (position < size && read_record_header(position, size, header))
        position += record_header_size + header.capacity;
    return position < size ? position : size;
}

bool record_file::compact() {
    require_open();
    if (find_first(match_every_record, 0)) {
        bool run_open = false;
        uint64_t run_start = 0;
        uint32_t run_count = 0;
        do {
            if (current_.id == 0) {
                if (!run_open) {
                    run_open = true;
                    run_start = current_offset_;
                    run_count = 0;
                }
                ++run_count;
            } else if (run_open) {
                run_open = false;
                if (run_count > 1) {
                    record_header merged = {};
                    merged.capacity =
                        static_cast<uint32_t>(current_offset_ - run_start - record_header_size);
                    write_header(run_start, merged);
                }
            }
        } while (find_next(match_every_record, 0));
        // Free records at the end of the file disappear, and so does a
        // damaged tail that no walk can reach.
        uint64_t end = run_open ? run_start : chain_end();
        if (end < file().size()) writer().cut_at(end);
    } else {
        uint64_t end = chain_end();
        if (end < file().size()) writer().cut_at(end);
    }
    return find_first(match_every_record, 0);
}

void record_file::append_record(uint32_t id, const void* data, uint32_t size,
                                const FILETIME* created, const FILETIME* modified, bool commit) {
    require_open();
    // A file a search has just walked to its end, packed, is left as it is:
    // compaction would change nothing and no free record can take the value
    // (one search less per record, on every new attribute).
    const bool packed = packed_;
    if (!packed) compact();
    // Merged free records are on disk before a record is placed in them.
    flush();
    // The record is written free (id 0) and gets its id last: until then a
    // failure or a crash leaves a free area, never a value cut short, nor a
    // second record of an id whose old record is still in place.
    record_header added;
    fill_header(added, 0, size, size, created, modified);
    uint64_t target = file().size();
    // Records start at header_size: in a file that ends before it, a record
    // appended at the end would never be found again.
    if (target < header_size_) {
        zero_fill(target, static_cast<uint32_t>(header_size_ - target));
        target = header_size_;
    }

    // First fit; a small value takes only an area of exactly its size, so
    // tiny values do not pin large free areas.
    for (bool found = !packed && find_first(0, 0); found; found = find_next(0, 0)) {
        bool fits = size <= 4 ? current_.capacity == size : current_.capacity >= size;
        if (fits) {
            target = current_offset_;
            added.capacity = current_.capacity;
            break;
        }
    }
    if (added.capacity - size >= 32) {
        record_header rest = {};
        rest.capacity = added.capacity - size - record_header_size;
        write_header(target + record_header_size + size, rest);
        added.capacity = size;
    }
    write_header(target, added);
    if (data != nullptr) {
        if (size > 0) writer().write_exactly_at(target + record_header_size, data, size);
    } else {
        zero_fill(target + record_header_size, size);
    }
    current_ = added;
    current_offset_ = target;
    if (commit) commit_record(id);
}

void record_file::commit_record(uint32_t id) {
    require_open();
    flush();  // the value before the id that makes it visible
    unsigned char bytes[4];
    put32(bytes, id);
    writer().write_exactly_at(current_offset_, bytes, sizeof bytes);
    current_.id = id;
}

bool record_file::open_at(const WCHAR* path, bool read_only, uint32_t key, DWORD flags,
                          bool* missing) {
    // open() has made the first record current: when it is the key's, it is
    // the key's first record, and it is not read a second time.
    if (!open(path, read_only, flags, missing)) return false;
    return key_matches(current_.id, key, 0) || find_next(key, 0);
}

void record_file::delete_duplicates() {
    require_open();
    const uint64_t first = current_offset_;
    const record_header kept = current_;
    while (find_next(kept.id, 0)) delete_record();
    // Freeing later records leaves this one's header as it was read.
    current_ = kept;
    current_offset_ = first;
}

void record_file::delete_record() {
    require_open();
    current_.id = 0;
    current_.length = 0;
    write_header(current_offset_, current_);
    // Freed before it is zeroed: zeros under a header that still names the
    // attribute would read as a value nobody wrote.
    flush();
    zero_fill(current_offset_ + record_header_size, current_.capacity);
}

void record_file::replace_data(const void* data, uint32_t size) {
    require_open();
    if (size > current_.capacity) {
        // The new copy is written before the old one is freed, so a failure
        // part-way leaves the old value in place rather than no value.
        const uint64_t old_offset = current_offset_;
        const FILETIME created = current_.created;
        append_record(current_.id, data, size, &created, nullptr);
        free_old_copy(old_offset);
        return;
    }
    current_.modified = now_as_filetime();
    // A value rewritten with fewer bytes keeps its length (the rest reads
    // as zeros); one rewritten with more, within the area, grows to cover
    // every byte written.
    if (size > current_.length) current_.length = size;
    write_header(current_offset_, current_);
    if (size > 0) writer().write_exactly_at(current_offset_ + record_header_size, data, size);
    if (size < current_.capacity)
        zero_fill(current_offset_ + record_header_size + size, current_.capacity - size);
}

void record_file::free_old_copy(uint64_t old_offset) {
    const uint64_t new_offset = current_offset_;
    flush();  // the new copy's id before the old copy goes
    seek_record(old_offset);
    delete_record();
    seek_record(new_offset);
}

void record_file::write_data_at(uint32_t position, const void* data, uint32_t size) {
    require_open();
    const uint64_t end = static_cast<uint64_t>(position) + size;
    if (end > 0xFFFFFFFFu) raise(ODB_E_ATTRIBUTE_SEEK);
    if (end > current_.capacity) {
        const uint64_t old_offset = current_offset_;
        const uint32_t old_length = current_.length;
        const FILETIME created = current_.created;
        const uint32_t id = current_.id;
        append_record(id, nullptr, static_cast<uint32_t>(end), &created, nullptr, false);
        const uint64_t new_offset = current_offset_;
        copy_range(old_offset + record_header_size, new_offset + record_header_size,
                   position < old_length ? position : old_length);
        if (size > 0) writer().write_exactly_at(new_offset + record_header_size + position, data, size);
        commit_record(id);
        free_old_copy(old_offset);
        return;
    }
    current_.modified = now_as_filetime();
    if (end > current_.length) {
        // The value grows to cover every byte written; slack between its old
        // end and the position may hold stale bytes, which must read as zero.
        if (position > current_.length)
            zero_fill(current_offset_ + record_header_size + current_.length,
                      position - current_.length);
        current_.length = static_cast<uint32_t>(end);
    }
    write_header(current_offset_, current_);
    if (size > 0) writer().write_exactly_at(current_offset_ + record_header_size + position, data, size);
}

}  // namespace odb
