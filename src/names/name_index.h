// The per-class name index: names.dat (header) and names.000..names.0ff
// (buckets) in the class directory, mapping object names to identifiers.
// It is derived data: it never fails its caller; a failed update resets it
// and switches it off for the database handle, and its next use rebuilds it.
#pragma once

#include <cstdint>

#include "core/disk_format.h"
#include "core/file_io.h"
#include "platform/win32.h"

struct odb_obj_ctx;
struct odb_database;

namespace odb {

constexpr uint32_t name_index_magic = disk::name_index_magic;
constexpr uint32_t name_units = 257;         // a name and its terminator
constexpr uint32_t name_read_bytes = 514;    // bytes of the name attribute read
constexpr uint32_t max_entry_length = disk::max_name_entry_length;  // longest entry readers accept

// The index is maintained and used only while this is true for the handle.
bool name_index_on(const odb_database& db);

// True when the class's index is valid and current: sets ctx.bucket_count
// and leaves names.dat open for reading in header, where it stays while the
// buckets are read (lock order). False leaves header closed.
bool open_current_index(odb_obj_ctx& ctx, named_file& header) noexcept;
// Builds the class's index from its live objects; a failure leaves none
// and returns false. *total, when given, receives the number of entries.
bool rebuild_name_index(odb_obj_ctx& ctx, uint32_t* total = nullptr) noexcept;
// Adds or renames (remove false) or removes the entry of id.
void update_name_index(odb_obj_ctx& ctx, uint32_t id, const WCHAR* name, bool remove) noexcept;
// Adds (remove false) or removes the entry with the empty name that an
// object without a name attribute has, so the index keeps one entry per
// live object. A class whose index is missing or invalid is left alone:
// its next use rebuilds it from the objects, and making or removing an
// unnamed object is no reason to switch the index off. new_object says that
// id was claimed by this call's own creation of the object directory.
void update_unnamed_entry(odb_obj_ctx& ctx, uint32_t id, bool remove,
                          bool new_object = false) noexcept;
// Marks the class's index invalid.
void reset_name_index(odb_obj_ctx& ctx) noexcept;
// The identifier of the first entry with that name; ODB_E_NAME_NOT_INDEXED.
// header is names.dat as open_current_index left it, or closed (it is then
// opened and its header read).
uint32_t find_name(odb_obj_ctx& ctx, const WCHAR* name, named_file& header);
// The bucket a name belongs to (ctx.bucket_count must be set).
uint32_t name_hash(const odb_obj_ctx& ctx, const WCHAR* name);
// The entry counts of all buckets added up; raises on any damage.
uint32_t count_by_index(odb_obj_ctx& ctx);

}  // namespace odb
