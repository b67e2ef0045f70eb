// Raw building blocks of the floor programs: the system calls the library's
// algorithms prescribe, made directly, with no share-mode locks (unless
// floor_emulation adds them) and no Win32 emulation.
#pragma once

#include <cstdint>
#include <string>

#include "bench_support.h"

namespace bench::floor {

// mkdir that accepts an existing directory; whether it made one.
bool make_dir(const std::string& path);
// stat: whether anything exists at the path.
bool exists(const std::string& path);
// rename of an object directory; with floor_emulation it first holds
// every file of the tree as the platform layer does to refuse renaming a
// directory with an open file inside.
void rename_dir(const std::string& from, const std::string& to);
// Reads a key of DBCFG.INI the way a private-profile read does: the whole
// file, open, read, close.
void read_ini(const std::string& path);

// The record file (ATTRIBS.FDB) walked with raw preads: 8-byte file header,
// 28-byte record headers, each search starting with the file's size.
struct record {
    uint64_t offset = 0;
    uint32_t id = 0, capacity = 0, length = 0;
};
constexpr uint32_t every_record = 0xFFFFFFFFu;
// Opens the file and reads its header and first record, as an open does;
// the first record (id 0 and offset 0 when there is none) into *first.
int record_open(const std::string& path, bool write, record* first = nullptr);
bool record_find(int fd, uint32_t key, record& found);
// Appends a record as the record file does: compaction walk, first-fit
// search for free space, header and data written at the end.
void record_append(int fd, uint32_t id, const void* data, uint32_t size);
// Rewrites a record's header in place (its modified time).
void record_touch(int fd, const record& at);
// Rewrites a record's value in place (same size or smaller).
void record_replace(int fd, const record& at, const void* data, uint32_t size);
void record_create(const std::string& path);

}  // namespace bench::floor
